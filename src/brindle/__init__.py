"""brindle: read and write xlsx workbooks, with a native engine for the hot paths."""

__version__ = "0.1.0"
