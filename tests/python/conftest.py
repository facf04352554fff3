import os

from hypothesis import HealthCheck, settings

# Property tests are seeded and bounded: CI runs a fixed, reproducible share.
settings.register_profile(
    "ci", derandomize=True, max_examples=200, deadline=None,
    suppress_health_check=[HealthCheck.too_slow],
)
settings.register_profile("dev", max_examples=100, deadline=None)
settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE") or "dev")
