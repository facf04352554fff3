"""Building string values from the XML of string items.

The native engine reads plain string items itself and hands these helpers
the items it cannot vouch for, as the raw bytes of the element and the
namespace bindings (prefix, URI) of its ancestors.
"""

import xml.etree.ElementTree as ET
from xml.sax.saxutils import quoteattr

from brindle.cell.rich_text import CellRichText, InlineFont, TextBlock
from brindle.utils.escapes import decode_escapes

# Children whose content this module interprets, so items holding them must
# come here: markup-compatibility alternatives are resolved to their Fallback.
text_dangerous = frozenset({"AlternateContent"})
rich_dangerous = frozenset({"AlternateContent"})

_PHONETIC = ("rPh", "phoneticPr")

_BOOL_PROPS = frozenset({"b", "i", "strike", "outline", "shadow", "condense", "extend"})
_ENUM_PROPS = {
    "u": frozenset({"single", "double", "singleAccounting", "doubleAccounting", "none"}),
    "vertAlign": frozenset({"superscript", "subscript", "baseline"}),
    "scheme": frozenset({"major", "minor", "none"}),
}
_BOOL_TEXT = frozenset({"true", "false", "1", "0"})
_COLOR_ATTRS = frozenset({"rgb", "theme", "indexed", "auto", "tint"})


def _local(tag):
    return tag.rpartition("}")[2]


def _parse(data, namespaces):
    """The element in `data`, parsed with the bindings its ancestors had in scope."""
    decls = "".join(
        f" xmlns{':' + prefix if prefix else ''}={quoteattr(uri)}" for prefix, uri in namespaces)
    wrapper = ET.fromstring(f"<_w{decls}>".encode() + bytes(data) + b"</_w>")
    return wrapper[0]


def _children(elem):
    """Children with AlternateContent replaced by the children of its Fallback."""
    for child in elem:
        if _local(child.tag) == "AlternateContent":
            for alt in child:
                if _local(alt.tag) == "Fallback":
                    yield from _children(alt)
                    break
        else:
            yield child


def _runs(item):
    """(item text or None, [(rPr element or None, run text or None)]) of a string item."""
    text = None
    runs = []
    for child in _children(item):
        name = _local(child.tag)
        if name == "t":
            text = child.text
        elif name == "r":
            rpr = run_text = None
            for part in _children(child):
                pname = _local(part.tag)
                if pname == "rPr":
                    rpr = part
                elif pname == "t":
                    run_text = part.text
            runs.append((rpr, run_text))
    return text, runs


def _plain(data, namespaces):
    text, runs = _runs(_parse(data, namespaces))
    return (text or "") + "".join(t for _, t in runs if t is not None)


def si_content(data, namespaces):
    """The value of a shared string item (`<si>`)."""
    return decode_escapes(_plain(data, namespaces))


def si_runs(data, namespaces):
    """A shared string item that has runs, for a reader that keeps them:
    (its value as `si_content` gives it, its rich text)."""
    return si_content(data, namespaces), rich_inline(data, namespaces)


def text_content(data, namespaces):
    """The value of a cell's inline string (`<is>`)."""
    return decode_escapes(_plain(data, namespaces))


def _font(rpr):
    props = {}
    for prop in rpr:
        name = _local(prop.tag)
        if name == "color":
            props[name] = dict(prop.attrib)
        else:
            props[name] = prop.get("val", True)
    return InlineFont(**props)


def rich_inline(data, namespaces):
    """A cell's inline string (`<is>`) as rich text: runs keep their fonts."""
    text, runs = _runs(_parse(data, namespaces))
    out = CellRichText()
    if text:
        out.append(decode_escapes(text))
    for rpr, run_text in runs:
        if run_text is None:
            continue
        run_text = decode_escapes(run_text)
        out.append(TextBlock(_font(rpr), run_text) if rpr is not None else run_text)
    return out


def validate_rpr(data, namespaces):
    """Whether the run properties `data` (an `<rPr>` element) are ones the font model reads.

    A false answer sends the string item to the host, which then keeps what
    it can of an odd run instead of the engine flattening it silently.
    """
    try:
        rpr = _parse(data, namespaces)
    except ET.ParseError:
        return False
    for prop in rpr:
        name = _local(prop.tag)
        attrs = prop.attrib
        if name == "color":
            if not attrs or not attrs.keys() <= _COLOR_ATTRS:
                return False
            continue
        if not attrs.keys() <= {"val"} or len(prop):
            return False
        val = attrs.get("val")
        if name in _BOOL_PROPS:
            if val is not None and val not in _BOOL_TEXT:
                return False
        elif name in _ENUM_PROPS:
            if val is not None and val not in _ENUM_PROPS[name]:
                return False
        elif name == "sz":
            try:
                float(val)
            except (TypeError, ValueError):
                return False
        elif name in ("family", "charset"):
            if val is None or not val.isdigit():
                return False
        elif name != "rFont" or val is None:
            return False
    return True
