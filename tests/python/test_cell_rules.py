"""The one table of cell rules (tests/support/cell_rules.py) held to every reader
on every path: the row reader of read-only sheets and the full loader's
bind_cells, each natively and in pure Python. The sheet parser and the native
row reader run the same table in their own modules."""

import io
import math

import pytest

from brindle import _brindle as m
from brindle.reader import full
from brindle.reader.rows import RowReader as PyRowReader
from brindle.styles.cell_style import StyleArray
from cell_rules import CELL_VALUES, STRINGS
from testkit import Cell, make_helpers, make_parser

MAIN = "http://schemas.openxmlformats.org/spreadsheetml/2006/main"
STYLES = [StyleArray()]


def sheet(cell):
    return (f'<worksheet xmlns="{MAIN}"><sheetData><row r="1">{cell}</row></sheetData>'
            "</worksheet>").encode()


def row_reader(cls, cell):
    r = cls(io.BytesIO(sheet(cell)), make_parser(shared_strings=STRINGS), make_helpers())
    (idx, cells) = r.next_raw()
    (row, col, value, data_type, style), = cells
    return (idx, row, col, style), value, data_type


def bind(bind_cells, store, cell):
    bind_cells(io.BytesIO(sheet(cell)), make_parser(shared_strings=STRINGS), "ws", store,
               STYLES, Cell, make_helpers(), [])
    (key, c), = ((k, store[k]) for k in list(store))
    return (1, *key, list(c._style)), c.value, c.data_type


READERS = {
    "rows-native": lambda cell: row_reader(m.RowReader, cell),
    "rows-pure": lambda cell: row_reader(PyRowReader, cell),
    "bind-native": lambda cell: bind(m.bind_cells, m.CellStore(), cell),
    "bind-pure": lambda cell: bind(full.bind_cells, {}, cell),
}


def same(a, b):
    return type(a) is type(b) and (a == b or (isinstance(a, float) and math.isnan(a)
                                              and math.isnan(b)))


@pytest.mark.parametrize("reader", list(READERS))
@pytest.mark.parametrize("cell,value,data_type", CELL_VALUES)
def test_every_reader_reads_a_cell_by_the_one_table(reader, cell, value, data_type):
    where, got, got_type = READERS[reader](cell)
    assert where[:3] == (1, 1, 1)
    assert where[3] in (0, list(STYLES[0]))
    assert (got_type, got) == (data_type, value) and same(got, value)
