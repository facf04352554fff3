"""Cell references: A1-style coordinates, column letters and row numbers."""

import re

MAX_COLUMN = 18278  # "ZZZ"
MAX_ROW = 1048576

_COORD = re.compile(r"^\$?([A-Za-z]{1,3})\$?(\d+)$")


def column_index_from_string(letters):
    """Column number of `letters` in the bijective base-26 naming (A = 1, ZZZ = 18278)."""
    if not isinstance(letters, str) or not 1 <= len(letters) <= 3:
        raise ValueError(f"{letters!r} is not a valid column name")
    index = 0
    for ch in letters.upper():
        if not "A" <= ch <= "Z":
            raise ValueError(f"{letters!r} is not a valid column name")
        index = index * 26 + (ord(ch) - 64)
    return index


def get_column_letter(index):
    """Column name of the 1-based column number `index`."""
    if not isinstance(index, int) or not 1 <= index <= MAX_COLUMN:
        raise ValueError(f"Invalid column index {index!r}")
    letters = []
    while index:
        index, rem = divmod(index - 1, 26)
        letters.append(chr(65 + rem))
    return "".join(reversed(letters))


def coordinate_to_tuple(coordinate):
    """(row, column) of an A1-style reference; "$" markers and lower case are allowed."""
    m = _COORD.match(coordinate) if isinstance(coordinate, str) else None
    if m is None:
        raise ValueError(f"Invalid cell coordinates ({coordinate!r})")
    row = int(m.group(2))
    if row < 1:
        raise ValueError(f"Invalid cell coordinates ({coordinate!r})")
    return row, column_index_from_string(m.group(1))


def row_index(text):
    """Row number of the `r` attribute of a row, with the interpreter's int() rules."""
    return int(text)
