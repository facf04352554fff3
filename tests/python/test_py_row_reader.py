"""The pure-Python row reader and the prescan: row shapes, cells, actions and prescan results."""

import datetime
import io

import pytest

import sheetgen as gen
from testkit import MISSING, make_helpers, make_parser
from pure_prescan import prescan_sheet
from brindle.reader.rows import EMPTY_CELL, ReadOnlyCell, RowReader
from brindle.reader.xmlwindow import CellFault

MAIN = gen.MAIN


def doc(body, head="", tail=""):
    return (f'<worksheet xmlns="{MAIN}">{head}<sheetData>{body}</sheetData>{tail}'
            '</worksheet>').encode()


def reader(body, parser=None, **kw):
    return RowReader(io.BytesIO(doc(body, **kw)), parser or make_parser(), make_helpers())


def rows(body, min_col=1, max_col=None, values_only=True, **kw):
    r = reader(body, **kw)
    out = []
    while (row := r.next_row("ws", min_col, max_col, values_only, ReadOnlyCell, "_")) is not None:
        out.append(row)
    return out


@pytest.mark.parametrize("body,min_col,max_col,expected", [
    ("<row r='1'/>", 1, None, [(1, ())]),
    ("<row r='1'/>", 1, 3, [(1, ("_", "_", "_"))]),
    ("<row r='1'><c r='B1'><v>1</v></c><c r='E1'><v>2</v></c></row>", 1, None,
     [(1, ("_", 1, "_", "_", 2))]),
    ("<row r='1'><c r='B1'><v>1</v></c><c r='E1'><v>2</v></c></row>", 3, 4, [(1, ("_", "_"))]),
    ("<row r='1'><c r='B1'><v>1</v></c></row>", 5, None, [(1, ())]),
    # A cell left of an earlier one does not cut the row short.
    ("<row r='1'><c r='C1'><v>1</v></c><c r='A1'><v>2</v></c></row>", 1, None,
     [(1, (2, "_", 1))]),
    ("<row r='1'><c r='D1'><v>1</v></c><c r='B1'><v>2</v></c></row>", 2, None,
     [(1, (2, "_", 1))]),
    ("<row r='1'><c r='B1'><v>1</v></c><c r='B1'><v>2</v></c></row>", 1, None, [(1, ("_", 2))]),
    ("<row r='1'><c r='B5'><v>1</v></c></row><row><c><v>3</v></c></row>", 2, None,
     [(5, (1,)), (2, ())]),
])
def test_row_shapes(body, min_col, max_col, expected):
    assert rows(body, min_col, max_col) == expected


def test_cells_and_their_slots():
    r = reader("<row r='1'><c r='B5' s='3' t='s'><v>0</v></c><c><f>A1</f><v>7</v></c></row>",
               make_parser(shared_strings=["s0"], formula_and_value=True))
    # The cell without a reference is C1, the next column of its row; B5 comes as row 5.
    idx, (filler, _, c) = r.next_row("ws", 1, None, False, ReadOnlyCell, EMPTY_CELL)
    assert idx == 1 and filler is EMPTY_CELL and filler.value is None
    idx, (_, b5) = r.next_row("ws", 1, None, False, ReadOnlyCell, EMPTY_CELL)
    assert idx == 5
    assert (b5.parent, b5.row, b5.column, b5.value, b5.data_type, b5.style_id) == (
        "ws", 5, 2, "s0", "s", 3)
    assert b5.coordinate == "B5" and b5.formula is None and b5.cached_value == "s0"
    assert (c.value, c.formula, c.cached_value, c.data_type) == ("=A1", "=A1", 7, "f")
    assert r.next_row("ws", 1, None, False, ReadOnlyCell, EMPTY_CELL) is None
    assert r.next_row("ws", 1, None, False, ReadOnlyCell, EMPTY_CELL) is None


def test_unfilled_slots_read_as_defaults():
    r = reader("<row><c><v>4</v></c></row>")
    (cell,) = r.next_row("ws", 1, None, False, ReadOnlyCell, None)[1]
    assert cell.formula is None and cell.cached_value == 4


class Wide:
    __slots__ = ("parent", "row", "column", "_value", "data_type", "_style_id", "extra")


class Propertied:
    __slots__ = ("parent", "row", "column", "data_type", "_style_id")
    _value = property(lambda self: None)


def test_cell_classes():
    r = reader("<row><c><v>1</v></c></row><row><c><v>2</v></c></row>")
    (cell,) = r.next_row("ws", 1, None, False, Wide, None, ["extra"])[1]
    assert cell.extra is None and cell._value == 1
    with pytest.raises(TypeError, match="_value is not a slot"):
        r.next_row("ws", 1, None, False, Propertied, None)
    with pytest.raises(TypeError):
        reader("<row/>").next_row("ws", 1, None, False, Wide, None, "extra")


def test_next_raw_and_actions():
    r = reader("<row r='2'><c r='B2' s='1'><v>1e10</v></c></row><extLst/>",
               make_parser(date_formats={1}), head="<sheetPr/>", tail="<mergeCells/>")
    assert r.actions == []
    assert r.next_raw() == (2, [(2, 2, "#VALUE!", "e", 1)])
    assert [a[0] for a in r.actions] == ["element", "warn"]
    assert r.next_raw() is None
    assert [a[:2] for a in r.actions[2:]] == [("element", b"<extLst/>"),
                                              ("element", b"<mergeCells/>")]
    assert r.actions[0] == ("element", b"<sheetPr/>", [("", MAIN)])


@pytest.mark.parametrize("helpers,parser,message", [
    (make_helpers(rich_inline=MISSING), make_parser(), "missing helper rich_inline"),
    ([], make_parser(), "helpers must be dict"),
    (make_helpers(), make_parser(row_dimensions=[]), "row_dimensions must be dict"),
])
def test_construction_errors(helpers, parser, message):
    with pytest.raises(TypeError, match=message):
        RowReader(io.BytesIO(b""), parser, helpers)


def test_an_error_stays_an_error():
    r = reader("<row><c t='s'><v>5</v></c></row>")
    for _ in range(2):
        with pytest.raises(CellFault):
            r.next_raw()


def test_missing_formula_and_value_is_false():
    r = RowReader(io.BytesIO(doc("<row><c><f>A1</f><v>1</v></c></row>")),
                  make_parser(formula_and_value=MISSING), make_helpers())
    assert r.next_raw() == (1, [(1, 1, "=A1", "f", 0)])


def test_generated_sheet_row_by_row():
    rows_, strings = gen.random_sheet(7, n_rows=40)
    r = RowReader(io.BytesIO(gen.render(rows_)),
                  make_parser(shared_strings=strings, date_formats={gen.DATE_STYLE}),
                  make_helpers())
    got = []
    while (row := r.next_raw()) is not None:
        got.append(row)
    assert got == gen.expected_rows(rows_)


PRESCAN = doc(
    "<row r='1' spans='1:3'><c r='A1' s='4'/><c/><c r='D1'/></row>"
    "<row ht='20' xmlns:x='urn:x' x:y='1'><c s='9'/><c r='B7' s='2'/></row>"
    "<row x:z='1' xmlns:x='urn:x'><c r='C3' s='&amp;'/></row>",
    head="<sheetPr/><dimension ref='A1:D3'/>", tail="<mergeCells/>")


@pytest.mark.parametrize("want_rows,corners,rows_,found", [
    (False, None, [], {}),
    (True, None, [(2, [("ht", "20"), ("{urn:x}y", "1")])], {}),
    (False, [(1, 1), (1, 2), (1, 4), (2, 1), (7, 2), (3, 3), (9, 9)], [],
     {(1, 1): "4", (1, 2): None, (1, 4): None, (2, 1): "9", (7, 2): "2", (3, 3): "&"}),
])
def test_prescan(want_rows, corners, rows_, found):
    got = prescan_sheet(io.BytesIO(PRESCAN), want_rows, corners, make_helpers())
    assert list(got) == ["head", "tail", "rows", "corners"]
    assert got["head"] == [(b"<sheetPr/>", [("", MAIN)]), (b"<dimension ref='A1:D3'/>",
                                                           [("", MAIN)])]
    assert got["tail"] == [(b"<mergeCells/>", [("", MAIN)])]
    assert got["rows"] == rows_ and got["corners"] == found


def test_prescan_without_sheet_data():
    data = f'<worksheet xmlns="{MAIN}"><sheetPr/><mergeCells/></worksheet>'.encode()
    got = prescan_sheet(io.BytesIO(data), True, [(1, 1)], {"row_index": int})
    assert [d for d, _ in got["head"]] == [b"<sheetPr/>", b"<mergeCells/>"]
    assert got["tail"] == [] and got["rows"] == [] and got["corners"] == {}
    with pytest.raises(TypeError, match="missing helper row_index"):
        prescan_sheet(io.BytesIO(data), True, None, {})


def test_streamed_sheet():
    source = gen.PieceSource(gen.stream_sheet(3000, n_cols=6, n_strings=5))
    r = RowReader(source, make_parser(shared_strings=list("abcde"),
                                      date_formats={gen.DATE_STYLE}), make_helpers())
    count = 0
    while (row := r.next_row(None, 1, None, True, ReadOnlyCell, None)) is not None:
        idx, values = row
        assert len(values) == 6 and values[2] in "abcde"
        assert values[4] == datetime.datetime(1899, 12, 30) + datetime.timedelta(days=40000 + idx)
        assert values[5] == f"=A{idx}+1"
        count += 1
    assert count == 500 and [a[0] for a in r.actions] == ["element", "element"]


def native_reader_or_skip():
    from brindle import _brindle
    try:
        _brindle.RowReader(io.BytesIO(b"<a/>"), make_parser(), make_helpers())
    except _brindle.NativeFallback:
        pytest.skip("the native row reader is not built")
    return _brindle.RowReader


@pytest.mark.parametrize("seed", range(8))
def test_native_reader_gives_the_same_rows(seed):
    native = native_reader_or_skip()
    rows_, strings = gen.random_sheet(seed, n_rows=30)
    syntax = gen.Syntax(prefix="x" if seed & 1 else "", newline="\n" if seed & 2 else "",
                        odd_attrs=bool(seed & 4))
    data = gen.render(rows_, syntax)
    got = []
    for cls in (RowReader, native):
        r = cls(io.BytesIO(data), make_parser(shared_strings=strings,
                                              date_formats={gen.DATE_STYLE}), make_helpers())
        out = []
        while (row := r.next_raw()) is not None:
            out.append(row)
        got.append((out, r.actions))
    assert got[0] == got[1]
