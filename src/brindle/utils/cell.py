"""Cell references: column letters and "A1" coordinates."""

import operator
import re

from brindle.utils.limits import MAX_COLUMN_LETTERS


def _letters(index):
    out = []
    while index:
        index, rem = divmod(index - 1, 26)
        out.append(chr(65 + rem))
    return "".join(reversed(out))


# Computed once: most sheets touch few columns, but every cell asks.
_COLUMN_LETTERS = [""] + [_letters(i) for i in range(1, MAX_COLUMN_LETTERS + 1)]
_COLUMN_INDEX = {letters: i for i, letters in enumerate(_COLUMN_LETTERS) if i}


def get_column_letter(index):
    """The letters of a 1-based column index: 1 -> "A", 27 -> "AA"."""
    try:
        i = operator.index(index)
    except TypeError:
        raise ValueError(f"Invalid column index {index!r}") from None
    if not 1 <= i <= MAX_COLUMN_LETTERS:
        raise ValueError(f"Invalid column index {index!r}")
    return _COLUMN_LETTERS[i]


def column_index_from_string(letters):
    """The 1-based index of column letters: "A" -> 1, "aa" -> 27."""
    try:
        return _COLUMN_INDEX[letters.upper()]
    except (KeyError, AttributeError):
        raise ValueError(f"Invalid column letters {letters!r}") from None


_COORD_RE = re.compile(r"^\$?([A-Za-z]{1,3})\$?([1-9][0-9]*)$")


def coordinate_to_tuple(coordinate):
    """(row, column) of an "A1"-style reference; "$" anchors are ignored."""
    m = _COORD_RE.match(coordinate) if isinstance(coordinate, str) else None
    if m is None:
        raise ValueError(f"Invalid cell coordinates ({coordinate!r})")
    return int(m.group(2)), column_index_from_string(m.group(1))


def row_index(text):
    """Row number of the `r` attribute of a row, with the interpreter's int() rules."""
    return int(text)
