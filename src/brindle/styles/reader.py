"""Reading a stylesheet into a workbook's style tables.

Each cell format (`<xf>` of `cellXfs`) becomes a `StyleArray` whose
indexes point into the workbook's own tables (number formats, fonts,
fills, borders, alignments, protections), so that a loaded cell's style
is saved back as it was read. Entries the typed classes cannot hold
exactly (theme colours, gradient fills, borders) are kept as their XML.
"""

import xml.etree.ElementTree as ET

from brindle.styles.cell_style import StyleArray
from brindle.styles.extra import Alignment, Border, Protection, RawFill
from brindle.styles.fonts import _COLOR_RE, _UNDERLINES, Font, PatternFill
from brindle.styles.numbers import BUILTIN_FORMATS, BUILTIN_IDS, FIRST_CUSTOM_ID

MAIN = "http://schemas.openxmlformats.org/spreadsheetml/2006/main"
_M = "{" + MAIN + "}"
_TRUE = ("1", "true", "on")
# Font children the `Font` fields describe exactly (family 2 is what it writes).
_FONT_PLAIN = {"b", "i", "strike", "u", "sz", "color", "name", "family"}


def element_text(el):
    """`el` serialised on its own, with its namespace declarations."""
    try:
        return ET.tostring(el, encoding="unicode", default_namespace=MAIN)
    except ValueError:  # an element outside any namespace
        return ET.tostring(el, encoding="unicode")


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
    root = ET.fromstring(data)
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
    for xf in root.iterfind(f"{_M}cellXfs/{_M}xf"):
        def pick(table, attr):
            i = _int(xf.get(attr))
            return table[i] if 0 <= i < len(table) else 0

        fmt_id = _int(xf.get("numFmtId"))
        numfmt = formats.get(fmt_id, fmt_id if 0 <= fmt_id < FIRST_CUSTOM_ID else 0)
        alignment = wb._alignments.add(_attributes(Alignment, xf.find(_M + "alignment")))
        protection = wb._protections.add(_attributes(Protection, xf.find(_M + "protection")))
        styles.append(StyleArray([
            pick(fonts, "fontId"), pick(fills, "fillId"), pick(borders, "borderId"), numfmt,
            protection, alignment,
            xf.get("pivotButton", "0").lower() in _TRUE,
            xf.get("quotePrefix", "0").lower() in _TRUE, 0]))
    if not styles:
        styles.append(StyleArray())
    dxfs = root.find(_M + "dxfs")
    if dxfs is not None and len(dxfs):
        wb._dxfs_xml = element_text(dxfs)
    colors = root.find(_M + "colors")
    if colors is not None:
        wb._colors_xml = element_text(colors)
    return styles
