"""Which texts a workbook can hold.

Apart from the cell model so that everything that takes text from a user
(cells, notes, links) checks it the same way without importing the cell.
"""

import re

# Characters XML 1.0 cannot carry at all, so a cell holding one could only be
# written as a corrupt part. Surrogates are listed because a lone one cannot
# be encoded.
ILLEGAL_CHARACTERS_RE = re.compile(r"[\x00-\x08\x0b\x0c\x0e-\x1f\ud800-\udfff\ufffe\uffff]")


class IllegalCharacterError(ValueError):
    """The text holds a character that cannot be stored in a workbook."""


def check_string(value):
    """`value` itself; IllegalCharacterError when XML cannot carry one of its characters."""
    if ILLEGAL_CHARACTERS_RE.search(value):
        raise IllegalCharacterError(f"{value!r} cannot be used in worksheets.")
    return value
