"""Number formats: the built-in table, the formats dates get by default, and
which formats show dates."""

import functools
import re

# Formats every SpreadsheetML consumer knows by id; custom ones start at 164.
BUILTIN_FORMATS = {
    0: "General", 1: "0", 2: "0.00", 3: "#,##0", 4: "#,##0.00",
    5: '"$"#,##0_);("$"#,##0)', 6: '"$"#,##0_);[Red]("$"#,##0)',
    7: '"$"#,##0.00_);("$"#,##0.00)', 8: '"$"#,##0.00_);[Red]("$"#,##0.00)',
    9: "0%", 10: "0.00%", 11: "0.00E+00", 12: "# ?/?", 13: "# ??/??",
    14: "mm-dd-yy", 15: "d-mmm-yy", 16: "d-mmm", 17: "mmm-yy",
    18: "h:mm AM/PM", 19: "h:mm:ss AM/PM", 20: "h:mm", 21: "h:mm:ss",
    22: "m/d/yy h:mm",
    37: "#,##0_);(#,##0)", 38: "#,##0_);[Red](#,##0)",
    39: "#,##0.00_);(#,##0.00)", 40: "#,##0.00_);[Red](#,##0.00)",
    41: '_(* #,##0_);_(* \\(#,##0\\);_(* "-"_);_(@_)',
    42: '_("$"* #,##0_);_("$"* \\(#,##0\\);_("$"* "-"_);_(@_)',
    43: '_(* #,##0.00_);_(* \\(#,##0.00\\);_(* "-"??_);_(@_)',
    44: '_("$"* #,##0.00_)_("$"* \\(#,##0.00\\)_("$"* "-"??_)_(@_)',
    45: "mm:ss", 46: "[h]:mm:ss", 47: "mmss.0", 48: "##0.0E+0", 49: "@",
}
BUILTIN_IDS = {fmt: i for i, fmt in BUILTIN_FORMATS.items()}
FIRST_CUSTOM_ID = 164

FORMAT_DATETIME = "yyyy-mm-dd h:mm:ss"
FORMAT_DATE = "yyyy-mm-dd"
FORMAT_TIME = "h:mm:ss"
FORMAT_DURATION = "[h]:mm:ss"


# Built-in formats that show dates or times; 46 ("[h]:mm:ss") is a duration.
BUILTIN_DATE_IDS = frozenset(range(14, 23)) | frozenset(range(27, 37)) | {45, 46, 47} \
    | frozenset(range(50, 59))
BUILTIN_DURATION_IDS = frozenset({46})

# Quoted text, an escaped character, and the character after "_" (a space
# as wide as it) or "*" (repeated to fill the cell) are shown, not read as
# codes: "_d" is a space, never a day.
_LITERAL = re.compile(r'"[^"]*"|\\.|_.|\*.')
_BRACKET = re.compile(r"\[[^\]]*\]")
_ELAPSED = re.compile(r"\[(?:h+|m+|s+)\]", re.I)


@functools.lru_cache(maxsize=256)  # asked per cell by `Cell.is_date`, of few formats
def is_date_format(code):
    """Whether a number format code shows a date, a time or a duration.

    The one rule for both directions: a number read from a file becomes a
    date exactly when `Cell.is_date` would say so of it before a save.
    Only the first section counts (the one for positive numbers and for
    the only section most formats have); colours, conditions and locales
    in brackets are not codes, elapsed-time brackets ("[h]") are."""
    if code is None:
        return False
    text = _LITERAL.sub("", code).split(";")[0]
    if _ELAPSED.search(text):
        return True
    text = _BRACKET.sub("", text)
    return re.search(r"[dmyhs]", text, re.I) is not None


def is_timedelta_format(code):
    """Whether a number format code shows a duration (elapsed hours, minutes or seconds)."""
    if code is None:
        return False
    return _ELAPSED.search(_LITERAL.sub("", code).split(";")[0]) is not None
