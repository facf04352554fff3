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


_AMPM = re.compile(r"am/pm|a/p")
_TOKEN = re.compile(r"h+|m+|s+|[a-z]")
_DATE_LETTERS = frozenset("dybeg")  # day, year, era and the Buddhist year


def is_time_format(code):
    """Whether a number format code shows a time of day and no date part.

    Only the first section counts, as for the other format tests. "m" is
    a minute right after an hour or right before a second, and a month
    anywhere else, as is "mmm" and longer.
    """
    if code is None:
        return False
    text = _BRACKET.sub("", _LITERAL.sub("", code).split(";")[0]).lower()
    tokens = _TOKEN.findall(_AMPM.sub("", text))
    if not tokens or any(t[0] in _DATE_LETTERS for t in tokens):
        return False
    for i, t in enumerate(tokens):
        if t[0] != "m":
            continue
        before = tokens[i - 1][0] if i else ""
        after = tokens[i + 1][0] if i + 1 < len(tokens) else ""
        if len(t) > 2 or (before != "h" and after != "s"):
            return False
    return any(t[0] in "hs" for t in tokens)
