"""Access to the native engine, which may be absent from a build."""

from brindle._native import native_engine  # noqa: F401
