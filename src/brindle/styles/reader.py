"""Reading a stylesheet into a workbook's style tables.

Each cell format (`<xf>` of `cellXfs`) becomes a `StyleArray` whose
indexes point into the workbook's own tables (number formats, fonts,
fills, borders, alignments, protections), so that a loaded cell's style
is saved back as it was read. Entries the typed classes cannot hold
exactly (theme colours, gradient fills, borders) are kept as their XML.
"""

import os
import warnings

from brindle.package.names import quote, quote_text
from brindle.styles.cell_style import StyleArray
from brindle.styles.extra import Alignment, Border, Protection, RawFill
from brindle.styles.fonts import _COLOR_RE, _UNDERLINES, Font, PatternFill
from brindle.styles.numbers import BUILTIN_FORMATS, BUILTIN_IDS, FIRST_CUSTOM_ID
from brindle.utils.xml_encoding import parse_part

MAIN = "http://schemas.openxmlformats.org/spreadsheetml/2006/main"
_M = "{" + MAIN + "}"
_TRUE = ("1", "true", "on")
# Font children the `Font` fields describe exactly (family 2 is what it writes).
_FONT_PLAIN = {"b", "i", "strike", "u", "sz", "color", "name", "family"}


_XML_NS = "http://www.w3.org/XML/1998/namespace"
# Prefixes files usually give these namespaces; others get ns0, ns1 ...
_PREFIXES = {
    "http://schemas.openxmlformats.org/officeDocument/2006/relationships": "r",
    "http://schemas.openxmlformats.org/markup-compatibility/2006": "mc",
    "http://schemas.microsoft.com/office/spreadsheetml/2009/9/main": "x14",
    "http://schemas.microsoft.com/office/spreadsheetml/2009/9/ac": "x14ac",
    "http://schemas.microsoft.com/office/excel/2006/main": "xm",
}


def element_text(el):
    """`el` serialised on its own (without its tail), in the main namespace
    by default and with every other namespace it uses declared on it."""
    nodes = list(el.iter())
    # Without a namespace-less element anywhere, the main namespace can be the default.
    default = all(n.tag[:1] == "{" for n in nodes)
    prefixes = {}

    def name(tag, attr):
        if tag[:1] != "{":
            return tag
        uri, _, local = tag[1:].partition("}")
        if uri == MAIN and default and not attr:
            return local
        if uri == _XML_NS:
            return "xml:" + local
        prefix = prefixes.get(uri)
        if prefix is None:
            prefix = _PREFIXES.get(uri, "x" if uri == MAIN else f"ns{len(prefixes)}")
            if prefix in prefixes.values():
                prefix = f"ns{len(prefixes)}"
            prefixes[uri] = prefix
        return f"{prefix}:{local}"

    body = []
    # An explicit stack, not recursion: a part may nest its elements far
    # deeper than the interpreter's recursion limit.
    stack = []

    def tail(node):
        if node is not el and node.tail and not node.tail.isspace():
            body.append(quote_text(node.tail))

    def enter(node):
        tag = name(node.tag, False)
        attrs = "".join(f' {name(k, True)}="{quote(v)}"' for k, v in node.attrib.items())
        body.append(f"<{tag}{attrs}")
        # Whitespace between child elements is layout, not content.
        text = node.text if node.text and not (len(node) and node.text.isspace()) else None
        if len(node) or text:
            body.append(">")
            if text:
                body.append(quote_text(text))
            stack.append((node, f"</{tag}>", iter(node)))
        else:
            body.append("/>")
            tail(node)

    enter(el)
    while stack:
        node, close, children = stack[-1]
        child = next(children, None)
        if child is None:
            stack.pop()
            body.append(close)
            tail(node)
        else:
            enter(child)
    decls = (f' xmlns="{MAIN}"' if default else "") + "".join(
        f' xmlns:{p}="{quote(u)}"' for u, p in prefixes.items())
    tag_end = 1 + len(name(el.tag, False))
    body[0] = body[0][:tag_end] + decls + body[0][tag_end:]
    return "".join(body)


# The package's own frames: a warning points at the caller's line.
_HERE = (os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), ""),)


def _warn(message):
    warnings.warn(message, UserWarning, skip_file_prefixes=_HERE)


def _local(tag):
    return tag.rpartition("}")[2]


def _int(text, default=0):
    try:
        return int(text)
    except (TypeError, ValueError):
        return default


def _flag(el):
    """A boolean font property element: present and not val="0"/"false"."""
    return el is not None and el.get("val", "1").lower() in _TRUE


def _font(el):
    kids = {_local(child.tag): child for child in el}
    fields = {}
    exact = set(kids) <= _FONT_PLAIN and not el.attrib
    name = kids.get("name")
    if name is not None and name.get("val"):
        fields["name"] = name.get("val")
    else:
        exact = False
    sz = kids.get("sz")
    try:
        size = float(sz.get("val")) if sz is not None else 11.0
        if not 1 <= size <= 409:
            raise ValueError
        fields["size"] = size
        exact = exact and sz is not None
    except (TypeError, ValueError):
        exact = False
    for key, field in (("b", "bold"), ("i", "italic"), ("strike", "strike")):
        if key in kids:
            fields[field] = _flag(kids[key])
            exact = exact and fields[field] and not kids[key].attrib
    if "u" in kids:
        under = kids["u"].get("val", "single")
        if under in _UNDERLINES:
            fields["underline"] = under
        exact = exact and under in _UNDERLINES and under != "none"
    color = kids.get("color")
    if color is not None:
        rgb = color.get("rgb")
        if rgb and _COLOR_RE.match(rgb) and set(color.attrib) == {"rgb"}:
            fields["color"] = rgb
        else:
            exact = False
    family = kids.get("family")
    if family is not None and family.get("val") != "2":
        exact = False
    # `Font.to_xml` always names family 2; a font without it is kept as
    # read so the file keeps saying what it said.
    if exact and family is not None:
        return Font(**fields)
    return Font._as_read(element_text(el), **fields)


def _fill(el):
    """0 or 1 for the two fills every file starts with, else a fill object."""
    kids = list(el)
    if len(kids) == 1 and _local(kids[0].tag) == "patternFill" and not el.attrib:
        pattern = kids[0]
        ptype = pattern.get("patternType")
        colours = {_local(c.tag): c for c in pattern}
        if not len(pattern) and set(pattern.attrib) <= {"patternType"}:
            if ptype in (None, "none"):
                return 0
            if ptype == "gray125":
                return 1
        fg = colours.get("fgColor")
        if (ptype == "solid" and fg is not None and set(fg.attrib) == {"rgb"}
                and _COLOR_RE.match(fg.get("rgb", "")) and set(colours) <= {"fgColor", "bgColor"}
                and set(pattern.attrib) == {"patternType"}):
            bg = colours.get("bgColor")
            if bg is None or (bg.attrib == {"indexed": "64"} and not len(bg)):
                return PatternFill(fg.get("rgb"))
    return RawFill(element_text(el))


def _border(el):
    if not el.attrib and all(not c.attrib and not len(c) and not (c.text or "").strip()
                             for c in el):
        return Border()
    return Border(element_text(el))


def _attributes(cls, el):
    if el is None:
        return cls()
    return cls(**{_local(k): v for k, v in el.attrib.items()})


def read_stylesheet(data, wb):
    """Fill `wb`'s style tables from the styles part `data` (bytes); returns
    the list of style arrays indexed like the file's cell formats."""
    root = parse_part(data)
    formats = {}
    for fmt in root.iterfind(f"{_M}numFmts/{_M}numFmt"):
        fmt_id = _int(fmt.get("numFmtId"), None)
        code = fmt.get("formatCode")
        if fmt_id is None or code is None:
            continue
        if code in BUILTIN_IDS:
            formats[fmt_id] = BUILTIN_IDS[code]
        elif fmt_id < FIRST_CUSTOM_ID and BUILTIN_FORMATS.get(fmt_id) == code:
            formats[fmt_id] = fmt_id
        else:
            formats[fmt_id] = wb._number_formats.add(code) + FIRST_CUSTOM_ID
    fonts = [wb._fonts.add(_font(el)) for el in root.iterfind(f"{_M}fonts/{_M}font")]
    fills = []
    for el in root.iterfind(f"{_M}fills/{_M}fill"):
        fill = _fill(el)
        fills.append(fill if type(fill) is int else wb._fills.add(fill))
    borders = [wb._borders.add(_border(el)) for el in root.iterfind(f"{_M}borders/{_M}border")]
    styles = []
    xf_ids = []
    missing = {}  # attribute -> [count, first cell format, first id] of ids past the tables
    for xf in root.iterfind(f"{_M}cellXfs/{_M}xf"):
        def pick(table, attr):
            i = _int(xf.get(attr))
            if 0 <= i < len(table):
                return table[i]
            # What applications do with an entry the stylesheet lacks (a
            # negative id must not count from the end): the default one.
            if xf.get(attr) is not None:
                seen = missing.setdefault(attr, [0, len(styles), xf.get(attr)])
                seen[0] += 1
            return 0

        fmt_id = _int(xf.get("numFmtId"))
        numfmt = formats.get(fmt_id, fmt_id if 0 <= fmt_id < FIRST_CUSTOM_ID else 0)
        alignment = wb._alignments.add(_attributes(Alignment, xf.find(_M + "alignment")))
        protection = wb._protections.add(_attributes(Protection, xf.find(_M + "protection")))
        styles.append(StyleArray([
            pick(fonts, "fontId"), pick(fills, "fillId"), pick(borders, "borderId"), numfmt,
            protection, alignment,
            xf.get("pivotButton", "0").lower() in _TRUE,
            xf.get("quotePrefix", "0").lower() in _TRUE, 0]))
        xf_ids.append(_int(xf.get("xfId")))
    for attr, (count, first, value) in missing.items():
        kind = attr[:-2]
        _warn(f"{count} cell format{'s' if count > 1 else ''} name{'' if count > 1 else 's'} "
              f"a {kind} the stylesheet lacks (the first: cell format {first}, {kind} "
              f"{value}); the default {kind} is used")
    if not styles:
        styles.append(StyleArray())
    # Named cell styles ("Normal", "Heading 1", ...): their formats are kept,
    # pointed at the tables as this workbook numbers them, and each cell
    # format keeps the named style it is based on.
    named = []
    for xf in root.iterfind(f"{_M}cellStyleXfs/{_M}xf"):
        fmt_id = _int(xf.get("numFmtId"))
        for attr, table in (("fontId", fonts), ("fillId", fills), ("borderId", borders)):
            i = _int(xf.get(attr))
            if xf.get(attr) is not None:
                xf.set(attr, str(table[i] if 0 <= i < len(table) else 0))
        if xf.get("numFmtId") is not None:
            xf.set("numFmtId", str(formats.get(fmt_id, fmt_id if 0 <= fmt_id < FIRST_CUSTOM_ID
                                               else 0)))
        named.append(element_text(xf))
    cell_styles = root.find(_M + "cellStyles")
    if named and cell_styles is not None:
        wb._named_style_xfs = named
        wb._cell_styles_xml = element_text(cell_styles)
        for style, xf_id in zip(styles, xf_ids):
            style[8] = xf_id if 0 <= xf_id < len(named) else 0
    for name in ("tableStyles", "extLst"):
        el = root.find(_M + name)
        if el is not None:
            wb._styles_kept[name] = element_text(el)
    dxfs = root.find(_M + "dxfs")
    if dxfs is not None and len(dxfs):
        wb._dxfs_xml = element_text(dxfs)
    colors = root.find(_M + "colors")
    if colors is not None:
        wb._colors_xml = element_text(colors)
    return styles
