"""What the tests read back out of a loaded workbook, to compare two loads."""

import io

import pytest

import brindle
from brindle.formula import ArrayFormula
from brindle.reader import full
from brindle.worksheet.store import cell_store_class

NATIVE_STORE = cell_store_class() is not None


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


class Forbidden:
    def __init__(self, *args, **kw):
        raise AssertionError("the pure-Python loader was used")


def forbidden_bind(*args):
    raise AssertionError("the pure-Python loader was used")


def load(data, native=True, **kw):
    """The workbook in `data` (bytes or a path), through the engine or kept away from it.

    With the engine's store in the build and `native`, the pure-Python loader
    must not be needed for well-formed input."""
    src = io.BytesIO(data) if isinstance(data, bytes) else data
    with pytest.MonkeyPatch.context() as m:
        if not native:
            kw["native"] = False
        elif NATIVE_STORE and kw.pop("strict", True):
            m.setattr(full, "bind_cells", forbidden_bind)
        kw.pop("strict", None)
        return brindle.load_workbook(src, **kw)


def saved(wb):
    out = io.BytesIO()
    wb.save(out)
    return out.getvalue()
