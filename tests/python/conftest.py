import contextlib
import os

import pytest
from hypothesis import HealthCheck, settings

import brindle
from brindle import settings as brindle_settings

# Property tests are seeded and bounded: CI runs a fixed, reproducible share.
settings.register_profile(
    "ci", derandomize=True, max_examples=200, deadline=None,
    suppress_health_check=[HealthCheck.too_slow],
)
settings.register_profile("dev", max_examples=100, deadline=None)
settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE") or "dev")


def pytest_sessionfinish(session, exitstatus):
    # Under CI everything is built and installed, so a test that skips (an
    # engine part not built, a converter missing) hides a broken build: fail.
    if os.environ.get("CI") != "true":
        return
    reporter = session.config.pluginmanager.get_plugin("terminalreporter")
    skipped = reporter.stats.get("skipped", []) if reporter else []
    if skipped:
        reporter.write_line(f"CI: {len(skipped)} test(s) skipped; every test must run here",
                            red=True)
        session.exitstatus = 1


@pytest.fixture
def brindle_options():
    """Sets options for the rest of the test: `brindle_options(read_ahead=True)`
    (fields replaced in the options in effect, or in a given `Options`) returns the
    options set. Everything set is undone when the test ends."""
    with contextlib.ExitStack() as stack:
        yield lambda base=None, **changes: stack.enter_context(brindle.options(base, **changes))


@pytest.fixture(autouse=True)
def _options_stay_in_their_test():
    # A test that set options without undoing them would change how every
    # later test reads and writes: put the defaults back and fail it.
    yield
    leaked = brindle.current_options()
    if leaked != brindle_settings.DEFAULT:
        brindle_settings._current.set(brindle_settings.DEFAULT)
        pytest.fail(f"the test left options set: {leaked!r}")
