"""The native engine: whether it is loaded, and why not.

The one switch users have is the environment variable BRINDLE_NO_NATIVE (any
non-empty value keeps the engine out), plus the `native=` argument where an
API takes one.
"""

from __future__ import annotations

import importlib
import os
from types import ModuleType
from typing import Any

_UNSET: Any = object()
_engine: Any = _UNSET
_error: ImportError | None = None


def native_engine() -> ModuleType | None:
    """The module `brindle._brindle`, or None when it cannot be imported or
    the environment variable BRINDLE_NO_NATIVE is set to a non-empty value."""
    global _engine, _error
    if os.environ.get("BRINDLE_NO_NATIVE"):
        return None
    if _engine is _UNSET:
        try:
            _engine = importlib.import_module("brindle._brindle")
        except ImportError as exc:
            _engine, _error = None, exc
    return _engine


class NativeStatus:
    """True when the engine is loaded; `reason` says why it is not."""

    __slots__ = ("reason",)

    def __init__(self, reason: str | None) -> None:
        self.reason = reason

    def __bool__(self) -> bool:
        return self.reason is None

    def __repr__(self) -> str:
        return "NativeStatus(loaded)" if self.reason is None else f"NativeStatus({self.reason!r})"


def native_available() -> NativeStatus:
    """Whether the native engine is in use; when it is not, the result is
    false and its `reason` says why (switched off, or not importable)."""
    if os.environ.get("BRINDLE_NO_NATIVE"):
        return NativeStatus("switched off by the environment variable BRINDLE_NO_NATIVE")
    if native_engine() is None:
        return NativeStatus(f"brindle._brindle cannot be imported: {_error}")
    return NativeStatus(None)
