"""The `_xHHHH_` escapes of workbook text.

Strings in a workbook carry characters XML cannot (C0 controls other than
TAB, LF and CR; U+FFFE, U+FFFF) as `_xHHHH_`, four hex digits of a UTF-16
code unit. Text that only looks like an escape has its underscore written
`_x005F_`. (A carriage return is a character reference instead, which every
XML reader keeps and which applications that do not decode escapes read.)

Decoding reads every well-formed escape, in either case of hex digit, left
to right; two that spell a surrogate pair give the one character they stand
for, while a lone surrogate, which is no character, is left as it was
written, as is every malformed sequence. Encoding is its exact inverse: the
decoding of an encoded string is the string.
"""

import re

_DECODE = re.compile(
    r"_x([dD][89abAB][0-9a-fA-F]{2})__x([dD][c-fC-F][0-9a-fA-F]{2})_"
    r"|_x([0-9a-fA-F]{4})_")

# Characters written as escapes. An underscore is escaped when what follows
# would make it read as the start of an escape: four hex digits and either
# an underscore or a character that is itself written as an escape.
_ESCAPED = r"\x00-\x08\x0b\x0c\x0e-\x1f\ufffe\uffff"
_ENCODE = re.compile(rf"[{_ESCAPED}]|_(?=x[0-9a-fA-F]{{4}}[_{_ESCAPED}])")

# Text that may need encoding, or cannot be written at all (lone surrogates,
# which UTF-8 cannot encode): one search decides for most strings.
_WRITE_CHECK = re.compile(rf"[{_ESCAPED}\ud800-\udfff]|_x")
_SURROGATE = re.compile(r"[\ud800-\udfff]")


def _decoded(m):
    high = m.group(1)
    if high is not None:
        pair = (int(high, 16) - 0xD800) << 10 | (int(m.group(2), 16) - 0xDC00)
        return chr(0x10000 + pair)
    code = int(m.group(3), 16)
    if 0xD800 <= code <= 0xDFFF:
        return m.group(0)
    return chr(code)


def decode_escapes(text):
    """`text` as read from a workbook string, with its escapes decoded."""
    if "_x" not in text:
        return text
    return _DECODE.sub(_decoded, text)


def _encoded(m):
    c = m.group(0)
    return "_x005F_" if c == "_" else f"_x{ord(c):04X}_"


class LoneSurrogateError(ValueError):
    """Text with a lone surrogate, which no workbook can hold."""


def encode_escapes(text):
    """`text` as a workbook string holds it; LoneSurrogateError for text
    with a lone surrogate."""
    if not _WRITE_CHECK.search(text):
        return text
    if _SURROGATE.search(text):
        raise LoneSurrogateError(text)
    return _ENCODE.sub(_encoded, text)
