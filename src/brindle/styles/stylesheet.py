"""The styles part: number formats and one cell format per style array."""

from brindle.package.names import quote
from brindle.styles.cell_style import FIELDS
from brindle.styles.numbers import FIRST_CUSTOM_ID

MAIN_NS = "http://schemas.openxmlformats.org/spreadsheetml/2006/main"

# The first two fills are fixed by the file format: none and gray125.
FIXED_FILLS = ['<fill><patternFill/></fill>', '<fill><patternFill patternType="gray125"/></fill>']


def _xf(style, wb, n_formats, n_fonts, n_fills):
    font, fill, border, numfmt, protection, alignment, pivot, quote_prefix, xf_id = style
    # An index past a table's end would make the file unreadable; refuse it
    # here rather than write it.
    limits = {"fontId": (font, n_fonts), "fillId": (fill, n_fills),
              "borderId": (border, len(wb._borders)),
              "protectionId": (protection, len(wb._protections)),
              "alignmentId": (alignment, len(wb._alignments)),
              "xfId": (xf_id, len(wb._named_style_xfs or ()) or 1)}
    for name, (value, size) in limits.items():
        if not 0 <= value < size:
            raise ValueError(f"style {list(style)}: {name} {value} has no entry in the workbook")
    if not (0 <= numfmt < FIRST_CUSTOM_ID or FIRST_CUSTOM_ID <= numfmt < FIRST_CUSTOM_ID + n_formats):
        raise ValueError(f"style {list(style)}: numFmtId {numfmt} has no entry in the workbook")
    attrs = f'numFmtId="{numfmt}" fontId="{font}" fillId="{fill}" borderId="{border}" xfId="{xf_id}"'
    if numfmt:
        attrs += ' applyNumberFormat="1"'
    if font:
        attrs += ' applyFont="1"'
    if fill:
        attrs += ' applyFill="1"'
    if border:
        attrs += ' applyBorder="1"'
    if pivot:
        attrs += ' pivotButton="1"'
    if quote_prefix:
        attrs += ' quotePrefix="1"'
    children = ""
    if alignment and wb._alignments[alignment]:
        attrs += ' applyAlignment="1"'
        children += wb._alignments[alignment].to_xml(quote)
    if protection and wb._protections[protection]:
        attrs += ' applyProtection="1"'
        children += wb._protections[protection].to_xml(quote)
    return f"<xf {attrs}>{children}</xf>" if children else f"<xf {attrs}/>"


def stylesheet_xml(wb):
    assert len(FIELDS) == 9
    formats = list(wb._number_formats)
    parts = ['<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n',
             f'<styleSheet xmlns="{MAIN_NS}">']
    if formats:
        parts.append(f'<numFmts count="{len(formats)}">')
        parts.extend(f'<numFmt numFmtId="{FIRST_CUSTOM_ID + i}" formatCode="{quote(f)}"/>'
                     for i, f in enumerate(formats))
        parts.append("</numFmts>")
    fonts = [font.to_xml(quote) for font in wb._fonts]
    fills = FIXED_FILLS + [fill.to_xml(quote) for fill in wb._fills[len(FIXED_FILLS):]]
    borders = [border.to_xml(quote) for border in wb._borders]
    for tag, items in (("fonts", fonts), ("fills", fills), ("borders", borders)):
        parts.append(f'<{tag} count="{len(items)}">{"".join(items)}</{tag}>')
    named = wb._named_style_xfs
    if named:
        parts.append(f'<cellStyleXfs count="{len(named)}">{"".join(named)}</cellStyleXfs>')
    else:
        parts.append('<cellStyleXfs count="1"><xf numFmtId="0" fontId="0" fillId="0" '
                     'borderId="0"/></cellStyleXfs>')
    xfs = [_xf(style, wb, len(formats), len(fonts), len(fills)) for style in wb._cell_styles]
    parts.append(f'<cellXfs count="{len(xfs)}">{"".join(xfs)}</cellXfs>')
    parts.append(wb._cell_styles_xml if named else
                 '<cellStyles count="1"><cellStyle name="Normal" xfId="0" builtinId="0"/>'
                 '</cellStyles>')
    parts.append(wb._dxfs_xml or '<dxfs count="0"/>')
    parts.append(wb._styles_kept.get("tableStyles", '<tableStyles count="0"/>'))
    if wb._colors_xml:
        parts.append(wb._colors_xml)
    parts.append(wb._styles_kept.get("extLst", ""))
    parts.append("</styleSheet>")
    return "".join(parts)
