"""Test support: the objects the host hands the native engine, built as the reader builds them."""

from brindle.cell.cell import Cell  # noqa: F401 - the slot layout the full-mode loader fills
from brindle.reader.helpers import reading_helpers
from brindle.reader.worksheet import WorkSheetParser
from brindle.utils import datetime as xl_dates  # noqa: F401 - tests reach the epochs here

MISSING = object()  # an override that removes the attribute from the parser


def make_helpers(**overrides):
    """The complete reading-side helpers dict (with "si_content"), keys in the engine's order."""
    helpers = reading_helpers()
    for key, value in overrides.items():
        if value is MISSING:
            helpers.pop(key, None)
        else:
            helpers[key] = value
    return helpers


def make_parser(**overrides):
    """A worksheet parser with the defaults of a plain load; MISSING drops an attribute."""
    parser = WorkSheetParser()
    for name, value in overrides.items():
        if value is MISSING:
            delattr(parser, name)
        else:
            setattr(parser, name, value)
    return parser


class IntLike:
    """A key equal to and hashing like the int `n`, but not an int."""

    def __init__(self, n):
        self.n = n

    def __index__(self):
        return self.n

    def __eq__(self, other):
        return other == self.n

    def __hash__(self):
        return hash(self.n)

    def __repr__(self):
        return f"IntLike({self.n})"
