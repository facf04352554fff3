"""What the tests read back out of a loaded workbook, to compare two loads."""

from brindle.formula import ArrayFormula


def snapshot(ws):
    """Everything a loaded cell carries, in the store's iteration order."""
    out = []
    for key in list(ws._cells):
        c = ws._cells[key]
        value = c._value
        if isinstance(value, ArrayFormula):
            value = ("array", value.ref, value.text)
        out.append((key, c.row, c.column, value, type(c._value).__name__, c.data_type,
                    None if c._style is None else (type(c._style).__name__,
                                                   c._style.typecode, list(c._style)),
                    c._hyperlink and (c._hyperlink.target, c._hyperlink.location),
                    c._comment and (c._comment.text, c._comment.author),
                    c._as_read, c.parent is ws))
    return out
