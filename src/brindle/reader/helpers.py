"""The reading helpers: the host functions and classes that build cell values.

The same dictionary is handed to the native engine, so that both readers
build every value that is more than a plain number or string with the very
same code.
"""

import builtins

from brindle.formula import (ArrayFormula, DataTableFormula, TokenizerError, Translator,
                             TranslatorError)
from brindle.reader import strings
from brindle.utils import cell, datetime as xl_dates

# In the order the engine reads them; "si_content" is only used for string tables.
READING_KEYS = (
    "int", "float", "coordinate_to_tuple", "row_index", "from_excel", "from_ISO8601",
    "date_warning", "ArrayFormula", "DataTableFormula", "Translator", "TokenizerError",
    "TranslatorError", "text_content", "rich_inline", "validate_rpr", "text_dangerous",
    "rich_dangerous",
)

_ABSENT = object()


def reading_helpers():
    """A new helpers dict with the library's own reading helpers (and "si_content")."""
    return {
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


def checked_helpers(helpers):
    """The reading entries of `helpers`, each required, looked up as the engine does.

    The dict's own lookup is used (a subclass's __getitem__ or __missing__
    plays no part), and the two name collections are turned into sets of
    `str`, so that a bad helpers dict fails before any byte is read.
    """
    if not isinstance(helpers, dict):
        raise TypeError(f"helpers must be dict, not {type(helpers).__name__}")
    out = {}
    for key in READING_KEYS:
        value = dict.get(helpers, key, _ABSENT)
        if value is _ABSENT:
            raise TypeError(f"missing helper {key}")
        if key in ("text_dangerous", "rich_dangerous"):
            names = set()
            for name in value:
                if not isinstance(name, str):
                    raise TypeError(f"{key} must hold str, not {type(name).__name__}")
                names.add(name)
            value = frozenset(names)
        out[key] = value
    return out
