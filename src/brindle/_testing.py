"""Test support: the objects the host hands the native engine, built as the reader builds them."""

import builtins

from brindle.formula import (ArrayFormula, DataTableFormula, TokenizerError, Translator,
                             TranslatorError)
from brindle.reader import strings
from brindle.utils import cell, datetime as xl_dates

MISSING = object()  # an override that removes the attribute from the parser


def make_helpers(**overrides):
    """The complete reading-side helpers dict (with "si_content"), keys in the engine's order."""
    helpers = {
        "int": builtins.int,
        "float": builtins.float,
        "coordinate_to_tuple": cell.coordinate_to_tuple,
        "row_index": cell.row_index,
        "from_excel": xl_dates.from_excel,
        "from_ISO8601": xl_dates.from_ISO8601,
        "date_warning": xl_dates.date_warning,
        "ArrayFormula": ArrayFormula,
        "DataTableFormula": DataTableFormula,
        "Translator": Translator,
        "TokenizerError": TokenizerError,
        "TranslatorError": TranslatorError,
        "text_content": strings.text_content,
        "rich_inline": strings.rich_inline,
        "validate_rpr": strings.validate_rpr,
        "text_dangerous": strings.text_dangerous,
        "rich_dangerous": strings.rich_dangerous,
        "si_content": strings.si_content,
    }
    for key, value in overrides.items():
        if value is MISSING:
            helpers.pop(key, None)
        else:
            helpers[key] = value
    return helpers


class WorksheetParserState:
    """The settings a worksheet parser carries into a parse, and nothing else."""

    def __init__(self, **attrs):
        for name, value in attrs.items():
            setattr(self, name, value)

    def __repr__(self):
        return f"WorksheetParserState({vars(self)!r})"


def make_parser(**overrides):
    """A worksheet parser with the defaults of a plain load; MISSING drops an attribute."""
    attrs = {
        "epoch": xl_dates.WINDOWS_EPOCH,
        "formula_and_value": False,
        "shared_strings": [],
        "data_only": False,
        "rich_text": False,
        "date_formats": set(),
        "timedelta_formats": set(),
        "row_dimensions": {},
    }
    attrs.update(overrides)
    return WorksheetParserState(**{k: v for k, v in attrs.items() if v is not MISSING})


class Cell:
    """A host cell with the slot layout the full-mode loader fills."""

    __slots__ = ("parent", "_style", "row", "column", "_value", "_hyperlink", "data_type",
                 "_comment")

    def __init__(self, worksheet, row=None, column=None, value=None, style_array=None):
        self.parent = worksheet
        self.row = row
        self.column = column
        self._value = value
        self._style = style_array
        self._hyperlink = None
        self.data_type = "n"
        self._comment = None

    @property
    def value(self):
        return self._value
