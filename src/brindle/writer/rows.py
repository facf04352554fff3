"""Rows of `<c>` elements: the pure-Python sheet-data writer.

`write_row` and `write_rows` produce, byte for byte, the text the native
`SheetWriter` produces for the same worksheet; they are used whenever the
engine is missing or declines an input.
"""

import io
import xml.etree.ElementTree as ET

from brindle.writer.cell import add_comment, etree_cell, etree_text, lxml_cell


def cells_to_write(ws, cells):
    """(cell, styled) for the cells of a row that are written.

    Comments are recorded even for cells that are then skipped; a cell is
    skipped when it has no value, no style and no comment.
    """
    for cell in cells:
        comment = cell._comment
        if comment is not None:
            add_comment(ws, cell)
        value = cell._value
        style = cell._style
        styled = style is not None and any(style)
        if value is None and not styled and not comment:
            continue
        yield cell, styled


def row_attributes(ws, row_idx):
    """The attributes of the `<row>` start tag: "r" first, then whatever the
    row's dimension contributes (it may replace "r")."""
    attrs = {"r": str(row_idx)}
    dim = ws.row_dimensions.get(row_idx)
    if dim is not None:
        attrs.update(dim)
    return attrs


def _etree_row(ws, attrs, cells):
    row = ET.Element("row", attrs)
    for cell, styled in cells_to_write(ws, cells):
        row.append(etree_cell(ws, cell, styled))
    text = etree_text(row)
    if not len(row):
        # Rows are written as start and end tags even when empty.
        text = text[:-3] + "></row>"
    return text


def _lxml_row(xf, ws, attrs, cells):
    with xf.element("row", attrs):
        for cell, styled in cells_to_write(ws, cells):
            lxml_cell(xf, ws, cell, styled)


def write_row(ws, cells, row_idx, lxml=False):
    """One `<row>` element: a str (ElementTree form) or bytes (lxml form)."""
    attrs = row_attributes(ws, row_idx)
    if not lxml:
        return _etree_row(ws, attrs, cells)
    from lxml.etree import xmlfile

    out = io.BytesIO()
    with xmlfile(out) as xf:
        _lxml_row(xf, ws, attrs, cells)
    return out.getvalue()


def sorted_rows(ws):
    """(row index, cells in column order) for every row to write, ascending,
    including rows that have only a dimension."""
    by_row = {}
    cells = ws._cells
    # Keys, then lookups: a cell store answers the mapping protocol only.
    for key in list(cells):
        row, column = key
        by_row.setdefault(row, []).append((column, cells[key]))
    for row in ws.row_dimensions.keys():
        by_row.setdefault(row, [])
    return [(row, [cell for _, cell in sorted(by_row[row], key=_first)])
            for row in sorted(by_row)]


def _first(pair):
    return pair[0]


# Rows are handed to `write` in batches of about this many characters.
_CHUNK = 1 << 20


def write_rows(ws, write, lxml=False):
    """The whole `<sheetData>` element of a worksheet, passed to `write` in
    pieces (str for the ElementTree form, bytes for lxml)."""
    if lxml:
        from lxml.etree import xmlfile

        out = io.BytesIO()
        with xmlfile(out) as xf:
            with xf.element("sheetData"):
                for row, cells in sorted_rows(ws):
                    _lxml_row(xf, ws, row_attributes(ws, row), cells)
                    xf.flush()
                    if out.tell() >= _CHUNK:
                        write(out.getvalue())
                        out.seek(0)
                        out.truncate()
        write(out.getvalue())
        return
    parts = ["<sheetData>"]
    size = 0
    for row, cells in sorted_rows(ws):
        text = _etree_row(ws, row_attributes(ws, row), cells)
        parts.append(text)
        size += len(text)
        if size >= _CHUNK:
            write("".join(parts))
            parts.clear()
            size = 0
    parts.append("</sheetData>")
    write("".join(parts))
