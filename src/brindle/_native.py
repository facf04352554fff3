"""The loader of the native engine, which may be absent from a build.

Every part of the package that can use the engine asks `native_engine()`,
so that the engine is imported once and one environment variable keeps it
out everywhere.
"""

import importlib
import os

_UNSET = object()
_engine = _UNSET


def native_engine():
    """The module `brindle._brindle`, or None when it cannot be imported or
    the environment variable BRINDLE_NO_NATIVE is set to a non-empty value."""
    global _engine
    if os.environ.get("BRINDLE_NO_NATIVE"):
        return None
    if _engine is _UNSET:
        try:
            _engine = importlib.import_module("brindle._brindle")
        except ImportError:
            _engine = None
    return _engine
