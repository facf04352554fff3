"""Which number formats show only a time of day.

In the 1904 date system serial 0 is a real day (1904-01-01), so a serial
below 1 under a date format is a date there; only a format that shows a time
of day and no date keeps it a `time`.
"""

import re

# Built-in formats that show a time and no date (46 is a duration).
BUILTIN_TIMES = frozenset({18, 19, 20, 21, 45, 47})

_LITERAL = re.compile(r'"[^"]*"|\\.|_.|\*.')
_BRACKET = re.compile(r"\[[^\]]*\]")


def is_time_format(code):
    """Whether a number format code shows a time of day and no date part.

    Only the first section counts, as for the other format tests; "m" alone
    is a month, so a time format needs an hour or a second.
    """
    if code is None:
        return False
    text = _BRACKET.sub("", _LITERAL.sub("", code).split(";")[0]).lower()
    return "d" not in text and "y" not in text and ("h" in text or "s" in text)
