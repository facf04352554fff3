"""A cell whose reference names another row than the <row> holding it: its own
reference wins in both modes, on the engine and in pure Python, with one
warning per sheet naming the sheet and the first such cell. Streaming gives
the cells of each named row as a row of their own, in file order."""

import io
import warnings

import pytest

import brindle
from brindle import _brindle as m
from brindle.reader import rows as rows_mod
from sheetgen import package
from testkit import make_helpers, make_parser

MAIN = "http://schemas.openxmlformats.org/spreadsheetml/2006/main"
ENGINE = [pytest.param(True, id="engine"), pytest.param(False, id="pure")]
MODES = [pytest.param(False, id="full"), pytest.param(True, id="read_only")]


def sheet(rows):
    return f'<worksheet xmlns="{MAIN}"><sheetData>{rows}</sheetData></worksheet>'.encode()


def v(ref, value):
    return f'<c r="{ref}"><v>{value}</v></c>' if ref else f"<c><v>{value}</v></c>"


# (rows, the cells full mode holds, the rows streaming gives as (row, values),
#  the warning or None)
CASES = [
    pytest.param(
        f'<row r="3">{v("A3", 1)}{v("B5", 2)}{v("C3", 3)}</row><row r="6">{v("A6", 4)}</row>',
        {"A3": 1, "C3": 3, "B5": 2, "A6": 4},
        [(3, (1, None, 3)), (5, (None, 2)), (6, (4,))],
        'cell B5 lies in <row r="3">; it is read as B5',
        id="later_row"),
    pytest.param(
        f'<row r="2">{v("A2", 1)}</row><row r="4">{v("A4", 2)}{v("B2", 3)}{v("C4", 4)}</row>',
        {"A2": 1, "B2": 3, "A4": 2, "C4": 4},
        [(2, (1,)), (2, (None, 3)), (4, (2, None, 4))],
        'cell B2 lies in <row r="4">; it is read as B2',
        id="earlier_row"),
    pytest.param(
        f'<row r="3">{v("C3", 1)}{v("A3", 2)}</row>',
        {"C3": 1, "A3": 2},
        [(3, (2, None, 1))],
        None,
        id="same_row_out_of_column_order"),
    pytest.param(
        # Only the first cell is named; a cell without a reference takes the
        # next column of its <row>, as other applications place it too.
        f'<row r="4">{v("A4", 1)}{v("B6", 2)}{v("$C$1", 3)}{v(None, 4)}</row>',
        {"A4": 1, "B6": 2, "C1": 3, "D4": 4},
        [(1, (None, None, 3)), (4, (1, None, None, 4)), (6, (None, 2))],
        'cell B6 lies in <row r="4">; it is read as B6',
        id="several_rows_one_warning"),
    pytest.param(
        # A row counted without a number is named by the number it takes.
        f'<row>{v("A2", 1)}</row>',
        {"A2": 1},
        [(2, (1,))],
        'cell A2 lies in <row r="1">; it is read as A2',
        id="counted_row"),
]


def loaded(data, native, read_only):
    """({coordinate: value} as the mode holds it, the rows streaming gives, the warnings)."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        wb = brindle.load_workbook(io.BytesIO(data), read_only=read_only, native=native)
        ws = wb.worksheets[0]
        if read_only:
            rows = []
            cells = {}
            for row in ws.iter_rows():
                numbers = {c.row for c in row if c is not rows_mod.EMPTY_CELL}
                # Every cell of a streamed row is the row's own.
                assert len(numbers) <= 1, numbers
                if numbers:
                    rows.append((numbers.pop(), tuple(c.value for c in row)))
                cells.update((c.coordinate, c.value) for c in row
                             if c is not rows_mod.EMPTY_CELL)
        else:
            rows = None
            cells = {c.coordinate: c.value for c in map(ws._cells.get, list(ws._cells))}
    return cells, rows, [str(w.message) for w in caught]


@pytest.mark.parametrize("native", ENGINE)
@pytest.mark.parametrize("read_only", MODES)
@pytest.mark.parametrize("rows, cells, streamed, warning", CASES)
def test_a_cell_is_read_where_its_reference_says(native, read_only, rows, cells, streamed,
                                                 warning):
    got_cells, got_rows, caught = loaded(package(sheet(rows)), native, read_only)
    assert got_cells == cells
    if read_only:
        assert got_rows == streamed
    assert caught == ([f"worksheet 'S': {warning}"] if warning else [])


@pytest.mark.parametrize("rows, cells, streamed, warning", CASES)
@pytest.mark.parametrize("mode", ["raw", "values"])
def test_the_engine_splits_rows_as_the_host_does(rows, cells, streamed, warning, mode):
    def run(cls):
        r = cls(io.BytesIO(sheet(rows)), make_parser(), make_helpers())
        out = []
        while (row := r.next_raw() if mode == "raw" else
               r.next_row("ws", 1, None, True, rows_mod.ReadOnlyCell, None)) is not None:
            out.append(row)
        return out, r.actions

    native = run(m.RowReader)
    assert native == run(rows_mod.RowReader)
    if mode == "values":
        assert native[0] == streamed
    assert [a[1] for a in native[1]] == ([warning] if warning else [])


@pytest.mark.parametrize("native", ENGINE)
def test_streaming_pads_no_row_twice_after_an_earlier_one(native):
    # Row 2 comes again after row 4: the blank rows before row 6 are 5 alone.
    rows = (f'<row r="2">{v("A2", 1)}</row><row r="4">{v("A4", 2)}{v("B2", 3)}</row>'
            f'<row r="6">{v("A6", 4)}</row>')
    with pytest.warns(UserWarning, match="cell B2 lies in"):
        wb = brindle.load_workbook(io.BytesIO(package(sheet(rows))), read_only=True,
                                   native=native)
        got = list(wb.worksheets[0].iter_rows(values_only=True))
    assert got == [(), (1,), (None, 3), (), (2,), (), (4,)]


@pytest.mark.parametrize("native", ENGINE)
def test_the_warning_comes_once_per_sheet_and_names_each_sheet(native):
    from sheetgen import xlsx
    first = sheet(f'<row r="1">{v("A2", 1)}</row><row r="3">{v("A4", 2)}</row>')
    second = sheet(f'<row r="7">{v("C9", 1)}</row>')
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        brindle.load_workbook(io.BytesIO(xlsx([first, second])), native=native)
    assert [str(w.message) for w in caught] == [
        "worksheet 'S1': cell A2 lies in <row r=\"1\">; it is read as A2",
        "worksheet 'S2': cell C9 lies in <row r=\"7\">; it is read as C9",
    ]
