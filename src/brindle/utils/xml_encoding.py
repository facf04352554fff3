"""The character encoding of an XML part, and parsing a whole part with it.

Every part is read through here, so that a part in an encoding no reader
takes (UTF-32, a name no codec answers to, a codec that does not turn bytes
into text) fails as XML that is not well-formed, the one error a damaged
part gives, whichever reader meets it first.
"""

import codecs
import re
import xml.etree.ElementTree as ET

_DECLARED = re.compile(rb"""<\?xml[^>]*?encoding\s*=\s*["']([A-Za-z0-9._-]+)""")


def part_encoding(head):
    """The encoding of a part that starts with the bytes `head` (its first 256
    or more), None when it is UTF-8; ET.ParseError when no reader takes it."""
    # Four-byte units first: the UTF-32 little-endian mark starts like UTF-16's.
    if head[:4] in (codecs.BOM_UTF32_LE, codecs.BOM_UTF32_BE) or \
            head[:4] in (b"<\0\0\0", b"\0\0\0<"):
        raise ET.ParseError("it is encoded in UTF-32, which XML readers need not read")
    if head[:2] in (codecs.BOM_UTF16_LE, codecs.BOM_UTF16_BE):
        return "utf-16"
    if head[:4] == b"<\0?\0":
        return "utf-16-le"
    if head[:4] == b"\0<\0?":
        return "utf-16-be"
    m = _DECLARED.match(head)
    if not m or m.group(1).lower().replace(b"_", b"-") in (b"utf-8", b"utf8"):
        return None
    name = m.group(1).decode("ascii")
    try:
        info = codecs.lookup(name)
    except LookupError:
        raise ET.ParseError(f"its encoding {name!r} is unknown") from None
    # Codecs such as zlib or rot13 share the registry but decode no text.
    if not getattr(info, "_is_text_encoding", True) or info.name.startswith("utf-32"):
        raise ET.ParseError(f"its encoding {name!r} is no text encoding")
    return name


def parse_part(data):
    """The root element of the XML part `data` (bytes), in whichever encoding it declares."""
    encoding = part_encoding(data[:256])
    if encoding is None:
        return ET.fromstring(data)
    try:
        text = data.decode(encoding)
    except UnicodeDecodeError as exc:
        raise ET.ParseError(f"it is not valid {encoding}: {exc.reason}") from None
    # Handed text, the parser leaves the declared encoding aside.
    return ET.fromstring(text)
