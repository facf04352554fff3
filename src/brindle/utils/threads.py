"""Whether work spread over threads can run in parallel."""

import sys


def free_threaded() -> bool:
    """True when the interpreter runs without the GIL, so that threads run
    Python (and the engine) at the same time instead of taking turns."""
    gil_enabled = getattr(sys, "_is_gil_enabled", None)
    return gil_enabled is not None and not gil_enabled()
