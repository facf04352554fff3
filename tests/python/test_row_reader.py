"""The native read-only row reader against rows worked out by hand and the
host's own conversions (from_excel, Translator, the formula classes)."""

import datetime as dt
import gc
import io
import sys
import threading

import pytest

from brindle import _brindle as m
from cell_rules import CELL_VALUES, STRINGS
from testkit import MISSING, make_helpers, make_parser
from brindle.formula import ArrayFormula, DataTableFormula, Translator
from brindle.utils import datetime as xl_dates
from brindle.utils.cell import coordinate_to_tuple
from brindle.reader.rows import RowReader as PyRowReader
from brindle.reader.xmlwindow import CellFault

MAIN = "http://schemas.openxmlformats.org/spreadsheetml/2006/main"
NS = f'xmlns="{MAIN}"'


def sheet(rows="", before="", after="", root=NS):
    return f"<worksheet {root}>{before}<sheetData>{rows}</sheetData>{after}</worksheet>".encode()


def reader(data, helpers=None, **parser):
    return m.RowReader(io.BytesIO(data), make_parser(**parser), helpers or make_helpers())


def raw(data, **parser):
    r = reader(data, **parser)
    rows = []
    while (row := r.next_raw()) is not None:
        rows.append(row)
    return rows, r.actions


def one_cell(cell, **parser):
    rows, _ = raw(sheet(f'<row r="1">{cell}</row>'), **parser)
    (_, cells), = rows
    (c,) = cells
    return c


def fallback_message(data, **parser):
    with pytest.raises(m.NativeFallback) as info:
        raw(data, **parser)
    return info.value.args[0]


def wrapped(exc):
    return f"native reader error: {type(exc).__qualname__}: {exc}"


class Cell:
    __slots__ = ("parent", "row", "column", "_value", "data_type", "_style_id", "formula",
                 "cached_value", "extra")


FILLER = object()


# --- values ------------------------------------------------------------------

@pytest.mark.parametrize("cell, value, data_type", CELL_VALUES)
def test_values(cell, value, data_type):
    row, col, got, got_type, style = one_cell(cell, shared_strings=STRINGS)
    assert (row, col, style) == (1, 1, 0)
    assert (got, got_type) == (value, data_type)
    assert type(got) is type(value)


@pytest.mark.parametrize("text", ["1e", "1.2.3", "inf", "nan", "0x10", "", "1e+"])
def test_numbers_the_host_refuses(text):
    cell = f'<c r="A1"><v>{text}</v></c>'
    if not text:
        assert one_cell(cell)[2] is None
        return
    conv = float if any(ch in text for ch in ".eE") else int
    with pytest.raises(ValueError) as host:
        conv(text)
    assert fallback_message(sheet(f'<row r="1">{cell}</row>')) == wrapped(host.value)


def test_host_helpers_decide_odd_numbers():
    calls = []

    def my_int(text):
        calls.append(("int", text))
        return 5

    def my_float(text):
        calls.append(("float", text))
        return "kept"

    h = make_helpers(int=my_int, float=my_float)
    r = m.RowReader(io.BytesIO(sheet('<row r="1"><c><v>+5</v></c><c><v>1.5</v></c>'
                                     '<c><v>1.5x</v></c><c t="b"><v>yes</v></c>'
                                     '<c s="+2"><v>3</v></c></row>')), make_parser(), h)
    _, cells = r.next_raw()
    assert [c[2] for c in cells] == [5, 1.5, "kept", True, 3]
    assert cells[4][4] == 5
    assert calls == [("int", "+5"), ("float", "1.5x"), ("int", "yes"), ("int", "+2")]


@pytest.mark.parametrize("s, style", [
    ('s="0"', 0), ('s="007"', 7), ('s="-3"', -3), ('s="+3"', 3), ('s=" 3"', 3),
    ('s="1_0"', 10), ('s="12345678901234567890"', 12345678901234567890),
    ('s="-123456789012345678"', -123456789012345678),
])
def test_style_ids(s, style):
    got = one_cell(f'<c r="A1" {s}><v>1</v></c>')[4]
    assert got == style and type(got) is type(style)


@pytest.mark.parametrize("s, reason", [('s=""', "empty style"), ('s="x"', "style is no number")])
def test_absent_style_is_zero_and_bad_style_is_declined(s, reason):
    # The host refuses the file, naming the cell.
    assert one_cell('<c r="A1"><v>1</v></c>')[4] == 0
    assert fallback_message(sheet(f'<row><c {s}><v>1</v></c></row>')) == f"malformed: {reason}"


@pytest.mark.parametrize("index", ["3", "99999999999999999999", "-4"])
def test_shared_string_index_out_of_range(index):
    data = sheet(f'<row><c t="s"><v>{index}</v></c></row>')
    # The engine declines; the host names the cell (a negative index never
    # counts from the end of the table).
    assert fallback_message(data, shared_strings=["a", "b", "c"]) == "malformed: shared string index"
    with pytest.raises(CellFault, match=f"cell A1 names shared string {int(index)}, but the "
                                        "workbook has 3"):
        PyRowReader(io.BytesIO(data), make_parser(shared_strings=["a", "b", "c"]),
                    make_helpers()).next_raw()


def test_shared_strings_of_other_types_are_indexed_by_python():
    class Table:
        def __getitem__(self, i):
            return f"item {i}"

    data = sheet('<row><c t="s"><v>0</v></c><c t="s"><v>7</v></c></row>')
    (_, cells), = raw(data, shared_strings=Table())[0]
    assert [c[2] for c in cells] == ["item 0", "item 7"]
    data = sheet('<row><c t="s"><v>0</v></c><c t="s"><v>1</v></c></row>')
    (_, cells), = raw(data, shared_strings=("x", "y"))[0]
    assert [c[2] for c in cells] == ["x", "y"]
    # Without a length, only the negative index is refused.
    data = sheet('<row><c t="s"><v>-7</v></c></row>')
    assert fallback_message(data, shared_strings=Table()) == "malformed: shared string index"


# --- dates -------------------------------------------------------------------

SERIALS = ["0", "1", "59", "60", "61", "-1", "2958465", "0.5", "1.5", "59.75", "60.25", "-0.5",
           "0.99999999999", "43831.0000000058", "43831.123456", "1e-9", "-693593", "-693594",
           "2958465.9999999", "36526.5000005"]


@pytest.mark.parametrize("epoch", [xl_dates.WINDOWS_EPOCH, xl_dates.MAC_EPOCH,
                                   dt.datetime(2000, 5, 6, 7, 8, 9, 123456)],
                         ids=["1900", "1904", "odd"])
def test_dates_match_from_excel(epoch):
    cells = "".join(f'<c s="7"><v>{v}</v></c>' for v in SERIALS)
    (_, got), = raw(sheet(f"<row>{cells}</row>"), epoch=epoch, date_formats={7})[0]
    for text, cell in zip(SERIALS, got):
        number = float(text) if "." in text or "e" in text else int(text)
        try:
            want = (xl_dates.from_excel(number, epoch), "d")
        except (OverflowError, ValueError):
            want = ("#VALUE!", "e")
        assert (cell[2], cell[3]) == want, text
        assert type(cell[2]) is type(want[0])


def test_date_edges_of_the_1900_system():
    cells = "".join(f'<c s="1"><v>{v}</v></c>' for v in ["1", "60", "0", "2958466", "1000000000"])
    (_, got), = raw(sheet(f"<row>{cells}</row>"), date_formats={1})[0]
    assert [c[2] for c in got] == [dt.datetime(1900, 1, 1), dt.datetime(1900, 2, 28), dt.time(0),
                                   "#VALUE!", "#VALUE!"]


def test_out_of_range_date_warns_except_in_formula_cells():
    data = sheet('<row r="2"><c r="B2" s="1"><v>1e10</v></c><c s="1"><v>-1e10</v></c></row>'
                 '<row r="3"><c r="A3" s="1"><f>1+1</f><v>1e10</v></c></row>')
    rows, actions = raw(data, date_formats={1}, formula_and_value=True)
    assert [c[2:4] for c in rows[0][1]] == [("#VALUE!", "e"), ("#VALUE!", "e")]
    assert rows[1][1][0][2:4] == ("=1+1", "f")
    assert actions == [("warn", xl_dates.date_warning("B2", 1e10)),
                       ("warn", xl_dates.date_warning(None, -1e10))]


@pytest.mark.parametrize("epoch", [
    dt.datetime(1899, 12, 30, tzinfo=dt.timezone.utc),
    dt.date(1899, 12, 30),
    type("Sub", (dt.datetime,), {})(1899, 12, 30),
], ids=["tz", "date", "subclass"])
def test_epochs_without_native_form_use_the_host(epoch):
    seen = []

    def from_excel(value, epoch, timedelta=False):
        seen.append((value, epoch, timedelta))
        return "converted"

    r = m.RowReader(io.BytesIO(sheet('<row><c s="1"><v>2</v></c></row>')),
                    make_parser(epoch=epoch, date_formats={1}), make_helpers(from_excel=from_excel))
    assert r.next_raw() == (1, [(1, 1, "converted", "d", 1)])
    assert seen == [(2, epoch, False)]


def test_duration_styles_and_big_numbers_go_to_from_excel():
    data = sheet('<row><c s="1"><v>1.5</v></c><c s="2"><v>12345678901234567890</v></c>'
                 '<c s="3"><v>2</v></c></row>')
    (_, cells), = raw(data, date_formats={1, 2, "3"}, timedelta_formats={1})[0]
    assert cells[0][2:4] == (dt.timedelta(days=1.5), "d")
    assert cells[1][2:4] == ("#VALUE!", "e")
    assert cells[2][2:4] == (2, "n")


def test_from_excel_errors_other_than_range_are_raised():
    def from_excel(value, epoch, timedelta=False):
        raise KeyError("boom")

    r = m.RowReader(io.BytesIO(sheet('<row><c s="1"><v>2</v></c></row>')),
                    make_parser(date_formats={1}, timedelta_formats={1}),
                    make_helpers(from_excel=from_excel))
    with pytest.raises(m.NativeFallback, match="^native reader error: KeyError: 'boom'$"):
        r.next_raw()


# --- formulas ----------------------------------------------------------------

def formula_rows(rows_xml, **parser):
    return [[c[2] for c in cells] for _, cells in raw(sheet(rows_xml), **parser)[0]]


def test_plain_array_and_data_table_formulas():
    got, = formula_rows(
        '<row r="1"><c r="A1"><f>SUM(B1:B2)</f><v>3</v></c><c r="B1"><f/></c>'
        '<c r="C1"><f t="array" ref="C1:C2">B1*2</f></c><c r="D1"><f t="array">1</f></c>'
        '<c r="E1"><f t="dataTable" ref="E1:F2" dt2D="1" r1="A1" r2="B1"/></c>'
        '<c r="F1"><f t="normal">1+1</f></c></row>')
    assert got == ["=SUM(B1:B2)", "=", ArrayFormula("C1:C2", "=B1*2"), ArrayFormula(None, "=1"),
                   DataTableFormula(ref="E1:F2", dt2D="1", r1="A1", r2="B1", t="dataTable"),
                   "=1+1"]
    assert got[3].ref is None


def test_shared_formulas_translate_like_the_host():
    master = "SUM($A1:B$2)+'x y'!C3+D:D+4:4"
    rows = (f'<row r="5"><c r="B5"><f t="shared" si="0" ref="B5:C9">{master}</f></c></row>'
            '<row r="6"><c r="C6"><f t="shared" si="0"/></c><c r="D6"><f t="shared" si="0">ZZ</f></c></row>'
            '<row r="9"><c r="E9"><f t="shared" si="0"/></c><c><f t="shared" si="0"/></c></row>')
    host = Translator("=" + master, "B5")
    assert formula_rows(rows) == [
        ["=" + master], [host.translate_formula("C6"), host.translate_formula("D6")],
        [host.translate_formula("E9"), host.translate_formula(None)]]


def test_shared_formula_groups_by_si_bytes_and_without_si():
    rows = ('<row r="1"><c r="A1"><f t="shared" si="1">A2</f></c><c r="B1"><f t="shared" si="01">A3</f></c>'
            '<c r="C1"><f t="shared">A4</f></c></row>'
            '<row r="2"><c r="A2"><f t="shared" si="1"/></c><c r="B2"><f t="shared" si="01"/></c>'
            '<c r="C2"><f t="shared"/></c><c r="D2"><f t="shared" si="7"/></c></row>')
    assert formula_rows(rows) == [["=A2", "=A3", "=A4"], ["=A3", "=A4", "=A5", "="]]


def test_shared_master_without_coordinate_uses_the_host_translator():
    rows = ('<row r="1"><c><f t="shared" si="0">A1+1</f></c></row>'
            '<row r="2"><c r="A2"><f t="shared" si="0"/></c></row>')
    assert formula_rows(rows[:rows.index("</row>") + 6]) == [["=A1+1"]]
    # The host's translator cannot move a formula that has no origin cell.
    with pytest.raises(ValueError) as host:
        Translator("=A1+1", None).translate_formula("A2")
    assert fallback_message(sheet(rows)) == wrapped(host.value)


def test_dependent_moved_off_the_sheet_raises_translator_error():
    rows = ('<row r="2"><c r="A2"><f t="shared" si="0">A1</f></c></row>'
            '<row r="1"><c r="A1"><f t="shared" si="0"/></c></row>')
    assert fallback_message(sheet(rows)) == (
        "native reader error: TranslatorError: Formula out of range")


@pytest.mark.parametrize("formula", ['"open', "SUM(1))", "#NOPE"])
def test_masters_that_tokenize_badly_raise_the_host_error(formula):
    data = sheet(f'<row r="1"><c r="A1"><f t="shared" si="0">{formula}</f></c></row>')
    try:
        Translator("=" + formula, "A1").translate_formula("A2")
    except Exception as host:  # noqa: BLE001 - whatever the host raises is the expectation
        assert fallback_message(data) == wrapped(host)
    else:
        pytest.fail("the host accepted the formula")


def test_formula_and_value_modes():
    row = ('<row r="1"><c r="A1"><f>1+1</f><v>2</v></c><c r="B1" t="s"><f t="array" ref="B1">"a"</f>'
           '<v>0</v></c><c r="C1"><v>5</v></c></row>')
    full = raw(sheet(row), shared_strings=["a"], formula_and_value=True)[0][0][1]
    assert [c[2:4] for c in full] == [("=1+1", "f"), (ArrayFormula("B1", '="a"'), "f"), (5, "n")]
    values = raw(sheet(row), shared_strings=["a"], data_only=True)[0][0][1]
    assert [c[2:4] for c in values] == [(2, "n"), ("a", "s"), (5, "n")]

    r = reader(sheet(row), shared_strings=["a"], formula_and_value=True)
    _, cells = r.next_row("ws", 1, None, False, Cell, FILLER)
    assert [(c._value, c.formula, c.cached_value) for c in cells] == [
        ("=1+1", "=1+1", 2), (ArrayFormula("B1", '="a"'), ArrayFormula("B1", '="a"'), "a"),
        (5, None, 5)]
    assert cells[0].formula is cells[0]._value and cells[2].cached_value is cells[2]._value

    r = reader(sheet(row), shared_strings=["a"], formula_and_value=True, data_only=True)
    _, cells = r.next_row("ws", 1, None, False, Cell, FILLER)
    assert [(c._value, c.data_type, c.formula, c.cached_value) for c in cells] == [
        (2, "n", "=1+1", 2), ("a", "s", ArrayFormula("B1", '="a"'), "a"), (5, "n", None, 5)]


def test_data_only_ignores_formulas_entirely():
    rows = ('<row r="1"><c r="A1"><f t="shared" si="0">"unclosed</f><v>1</v></c></row>'
            '<row r="2"><c r="A2"><f t="shared" si="0"/><v>2</v></c></row>')
    assert formula_rows(rows, data_only=True) == [[1], [2]]


def test_inline_strings_the_host_builds():
    calls = []

    def record(name):
        def helper(data, namespaces):
            calls.append((name, data, namespaces))
            return f"{name} value"
        return helper

    helpers = make_helpers(text_content=record("text"), rich_inline=record("rich"))
    data = sheet('<row><c t="inlineStr"><is odd="1"><t>a</t></is></c>'
                 '<c t="inlineStr"><is><r><rPr><b/></rPr><t>b</t></r></is></c></row>')
    r = m.RowReader(io.BytesIO(data), make_parser(), helpers)
    assert [c[2:4] for c in r.next_raw()[1]] == [("text value", "s"), ("b", "s")]
    assert calls == [("text", b'<is odd="1"><t>a</t></is>', [("", MAIN)])]
    calls.clear()
    r = m.RowReader(io.BytesIO(data), make_parser(rich_text=True), helpers)
    assert [c[2:4] for c in r.next_raw()[1]] == [("rich value", "s"), ("rich value", "s")]
    assert [c[1] for c in calls] == [b'<is odd="1"><t>a</t></is>',
                                     b"<is><r><rPr><b/></rPr><t>b</t></r></is>"]


def test_run_properties_are_judged_once_per_text():
    seen = []

    def validate(data, namespaces):
        seen.append(data)
        return b"<i/>" not in data

    helpers = make_helpers(validate_rpr=validate, text_content=lambda d, n: "host")
    run = '<c t="inlineStr"><is><r><rPr>{}</rPr><t>x</t></r></is></c>'
    data = sheet("<row>" + run.format("<b/>") * 3 + run.format("<i/>") * 2 + "</row>")
    r = m.RowReader(io.BytesIO(data), make_parser(), helpers)
    assert [c[2] for c in r.next_raw()[1]] == ["x", "x", "x", "host", "host"]
    assert seen == [b"<rPr><b/></rPr>", b"<rPr><i/></rPr>"]


# --- rows and the document ---------------------------------------------------

def test_row_and_column_numbering():
    rows, actions = raw(sheet('<row r="10"><c><v>1</v></c></row><row><c r="C5"><v>2</v></c><c/><c/></row>'
                              '<row/><row r="2"><c r="B2"/></row><row r="007"><c/></row>'))
    # C5 is given in a row of its own; the cells after it stay in row 11.
    assert [(idx, [c[:2] for c in cells]) for idx, cells in rows] == [
        (10, [(10, 1)]), (5, [(5, 3)]), (11, [(11, 4), (11, 5)]), (12, []), (2, [(2, 2)]),
        (7, [(7, 1)])]
    assert actions == [("sheet_warn", 'cell C5 lies in <row r="11">; it is read as C5')]


def test_references_the_fast_rule_leaves_to_the_host():
    rows, _ = raw(sheet('<row r="1"><c r="$B$1"/><c r="b1"/><c r="A&#49;"/></row>'))
    ((_, cells),) = rows
    assert [c[:2] for c in cells] == [(1, 2), (1, 2), (1, 1)]


@pytest.mark.parametrize("r", ["ZZZZ1", "A0", "A01", "A1B", "1A", "A1234567890123"])
def test_bad_coordinates_raise_the_host_error(r):
    try:
        coordinate_to_tuple(r)
    except ValueError as host:
        assert fallback_message(sheet(f'<row><c r="{r}"/></row>')) == wrapped(host)
    else:
        row, column = coordinate_to_tuple(r)
        if row > 1_048_576 or column > 16_384:
            # A place the host names but no sheet has: the file is refused.
            assert fallback_message(sheet(f'<row><c r="{r}"/></row>')) == (
                f"cell {r} outside the cells of a worksheet (A1:XFD1048576)")
            return
        rows, _ = raw(sheet(f'<row><c r="{r}"/></row>'))
        assert rows[0][1][0][:2] == (row, column)


@pytest.mark.parametrize("r, result", [
    ("", ValueError), ("+4", 4), (" 4 ", 4), ("99999999999999999999", "unsupported: row index"),
    ("x", ValueError), ("-2", "row -2 outside the rows of a worksheet (1 to 1048576)"),
    ("1048577", "row 1048577 outside the rows of a worksheet (1 to 1048576)"),
])
def test_row_numbers(r, result):
    data = sheet(f'<row r="{r}"><c/></row>')
    if isinstance(result, int):
        assert raw(data)[0][0][0] == result
    elif isinstance(result, str):
        # Past 64 bits the host, whose ints have no bound, reads the sheet.
        assert fallback_message(data) == result
    else:
        assert fallback_message(data).startswith(f"native reader error: {result.__name__}: ")


def test_row_dimensions():
    parser_dims = {}
    raw(sheet('<row r="1" spans="1:2"/><row r="2" x:ht="3" xmlns:x="urn:x"/>'
              '<row r="3" ht="15" customHeight="1" x:y="z" xmlns:x="urn:x"/><row ht="a&amp;b"/>'),
        row_dimensions=parser_dims)
    assert parser_dims == {"3": {"ht": "15", "customHeight": "1", "{urn:x}y": "z"},
                           "4": {"ht": "a&b"}}


def test_elements_are_actions_in_document_order():
    before = '<sheetPr><tabColor rgb="FF0000"/></sheetPr><dimension ref="A1"/>'
    after = ('<mergeCells count="1"><mergeCell ref="A1:B1"/></mergeCells>'
             f'<x:extLst xmlns:x="{MAIN}"/><y:extLst xmlns:y="urn:y"/><odd/>')
    data = sheet('<row r="1"><c r="A1" s="1"><v>1e10</v></c></row><odd a="1">t</odd>'
                 '<row r="2"/>', before, after)
    rows, actions = raw(data, date_formats={1})
    assert [r[0] for r in rows] == [1, 2]
    ns = [("", MAIN)]
    assert actions == [
        ("element", b'<sheetPr><tabColor rgb="FF0000"/></sheetPr>', ns),
        ("element", b'<dimension ref="A1"/>', ns),
        ("warn", xl_dates.date_warning("A1", 1e10)),
        # Elements no workbook keeps are named, once each, not captured.
        ("unknown", "odd"),
        ("element", b'<mergeCells count="1"><mergeCell ref="A1:B1"/></mergeCells>', ns),
        ("element", f'<x:extLst xmlns:x="{MAIN}"/>'.encode(), ns),
        ("unknown", "extLst"),
    ]


def test_sheets_without_rows():
    assert raw(sheet("").replace(b"<sheetData></sheetData>", b"<sheetData/>")) == ([], [])
    assert raw(f'<worksheet {NS}><dimension ref="A1"/></worksheet>'.encode()) == (
        [], [("element", b'<dimension ref="A1"/>', [("", MAIN)])])


def test_prefixed_main_namespace_and_foreign_elements():
    data = (f'<x:worksheet xmlns:x="{MAIN}" xmlns:o="urn:o"><x:sheetData>'
            '<x:row r="3"><x:c r="B3" t="s"><x:v>0</x:v></x:c><o:c><x:v>5</x:v></o:c></x:row>'
            '<row xmlns="urn:other"><c><v>1</v></c></row>'
            '</x:sheetData></x:worksheet>').encode()
    rows, actions = raw(data, shared_strings=["s"])
    assert rows == [(3, [(3, 2, "s", "s", 0), (3, 3, 5, "n", 0)])]
    assert actions == [("unknown", "row")]


def test_default_namespace_elsewhere_reads_through_events():
    data = (f'<worksheet xmlns="urn:x" xmlns:m="{MAIN}"><m:sheetData><m:row>'
            '<m:c><m:v>1</m:v></m:c><c><v>2</v></c></m:row></m:sheetData></worksheet>').encode()
    # <c> in another namespace is still a cell; its <v> is not the main one.
    assert raw(data)[0] == [(1, [(1, 1, 1, "n", 0), (1, 2, None, "n", 0)])]


# --- refused input -----------------------------------------------------------

@pytest.mark.parametrize("rows, message", [
    ('<row><row/></row>', "unsupported: dispatch tag inside row"),
    ('<row><mergeCells/></row>', "unsupported: dispatch tag inside row"),
    ('<row><c><col/></c></row>', "unsupported: dispatch tag inside cell"),
    ('<row><c><v>1<row/></v></c></row>', "unsupported: nested element handled by dispatcher"),
    ('<row><c><x:extra xmlns:x="urn:x"><hyperlinks/></x:extra></c></row>',
     "unsupported: nested element handled by dispatcher"),
    ('<row><c><other><sheetPr/></other></c></row>', "unsupported: nested element handled by dispatcher"),
    ('<row><c t="inlineStr"><is><t>a</t><extLst/></is></c></row>',
     "unsupported: nested element handled by dispatcher"),
])
def test_dispatch_elements_where_cells_belong(rows, message):
    assert fallback_message(sheet(rows)) == message


def test_unexpected_nesting():
    data = f'<worksheet {NS}><sheetData><row/></sheetData></worksheet>'.encode()
    assert raw(data)[0] == [(1, [])]
    data = f'<a {NS}><b><sheetData><row/></sheetData></b></a>'.encode()
    assert raw(data) == ([], [("unknown", "b")])


@pytest.mark.parametrize("cut", [30, 80, 95, 100, 120, -20, -1])
def test_truncated_worksheets(cut):
    data = sheet('<row r="1"><c r="A1" t="s"><v>0</v></c></row><row r="2"><c><f>1</f></c></row>')
    assert fallback_message(data[:cut], shared_strings=["a"]).startswith("malformed: ")


def test_error_shortly_after_the_last_row_comes_before_it():
    rows = "".join(f'<row r="{i}"><c r="A{i}"><v>{i}</v></c></row>' for i in range(1, 40))
    data = sheet(rows, after="<broken></worksheet>")
    r = reader(data)
    with pytest.raises(m.NativeFallback, match="^malformed: "):
        r.next_raw()
    with pytest.raises(m.NativeFallback, match="^malformed: "):
        r.next_raw()  # the same error again, not rows after it


def test_rows_well_before_an_error_are_released():
    row = '<row r="{0}"><c r="A{0}"><v>{0}</v></c></row>'
    rows = "".join(row.format(i) for i in range(1, 2001))
    data = sheet(rows + "<row><c><v>1</v></c>")[:-len("</sheetData></worksheet>")]
    r = reader(data)
    got = []
    with pytest.raises(m.NativeFallback, match="^malformed: "):
        while (item := r.next_raw()) is not None:
            got.append(item[0])
    ends = [data.index(row.format(i).encode()) + len(row.format(i)) for i in range(1, 2001)]
    # A row is out once parsing has passed the 16 KiB boundary above its end;
    # the last complete row ends where the broken one starts.
    released = [i for i, e in enumerate(ends, 1) if e // 16384 * 16384 + 16384 <= ends[-1]]
    assert got == released and 1000 < len(got) < 2000


def test_host_exceptions_are_folded_into_native_fallback():
    class Weird(Exception):
        def __str__(self):
            raise RuntimeError("no text")

    def bad_int(text):
        raise Weird

    r = m.RowReader(io.BytesIO(sheet('<row><c><v>+1</v></c></row>')), make_parser(),
                    make_helpers(int=bad_int))
    with pytest.raises(m.NativeFallback) as info:
        r.next_raw()
    assert info.value.args == (
        "native reader error: test_host_exceptions_are_folded_into_native_fallback.<locals>.Weird"
        ": <exception str() failed>",)
    assert isinstance(info.value.__context__, Weird)


def test_source_errors_are_folded_too():
    class Source:
        def read(self, n):
            raise OSError("disk gone")

    r = m.RowReader(Source(), make_parser(), make_helpers())
    with pytest.raises(m.NativeFallback, match="^native reader error: OSError: disk gone$"):
        r.next_raw()


def test_construction_errors_are_raised_as_they_are():
    with pytest.raises(TypeError, match="missing helper int"):
        m.RowReader(io.BytesIO(b""), make_parser(), make_helpers(int=MISSING))
    with pytest.raises(TypeError):
        m.RowReader(io.BytesIO(b""), make_parser(row_dimensions=[]), make_helpers())
    with pytest.raises(AttributeError):
        m.RowReader(io.BytesIO(b""), make_parser(data_only=MISSING), make_helpers())
    with pytest.raises(TypeError, match="helpers"):
        m.RowReader(io.BytesIO(b""), make_parser(), [])
    r = m.RowReader(io.BytesIO(sheet()), make_parser(formula_and_value=MISSING), make_helpers())
    assert r.next_raw() is None and r.next_raw() is None


def test_parser_settings_are_read_once_in_order():
    seen = []

    class Parser:
        def __init__(self):
            self.__dict__.update(vars(make_parser(shared_strings=["a"])))

        def __getattribute__(self, name):
            if not name.startswith("__"):
                seen.append(name)
            return object.__getattribute__(self, name)

    parser = Parser()
    r = m.RowReader(io.BytesIO(sheet('<row><c t="s"><v>0</v></c></row>')), parser, make_helpers())
    assert seen == ["epoch", "epoch", "formula_and_value", "shared_strings", "shared_strings",
                    "data_only", "rich_text", "date_formats", "timedelta_formats", "time_formats",
                    "row_dimensions"]
    object.__setattr__(parser, "shared_strings", ["changed"])
    assert r.next_raw() == (1, [(1, 1, "a", "s", 0)])
    assert len(seen) == 11


# --- next_row ----------------------------------------------------------------

def rows_of(data, *args, **parser):
    r = reader(data, **parser)
    out = []
    while (row := r.next_row(*args)) is not None:
        out.append(row)
    return out


def test_next_row_shapes():
    data = sheet('<row r="1"/><row r="2"><c r="B2"><v>1</v></c><c r="E2"><v>2</v></c></row>'
                 '<row r="3"><c r="B5"><v>3</v></c><c r="B3"><v>4</v></c></row>')
    # B5 is given as row 5 of its own, after the rest of row 3.
    assert rows_of(data, "ws", 1, None, True, Cell, None) == [
        (1, ()), (2, (None, 1, None, None, 2)), (3, (None, 4)), (5, (None, 3))]
    assert rows_of(data, "ws", 1, 3, True, Cell, 0) == [
        (1, (0, 0, 0)), (2, (0, 1, 0)), (3, (0, 4, 0)), (5, (0, 3, 0))]
    assert rows_of(data, "ws", 3, None, True, Cell, 0) == [(1, ()), (2, (0, 0, 2)), (3, ()), (5, ())]
    assert rows_of(data, "ws", 9, 4, True, Cell, 0) == [(1, ()), (2, ()), (3, ()), (5, ())]

    (_, first), (_, second), (_, third), (_, fourth) = rows_of(data, "ws", 1, None, False, Cell,
                                                               FILLER)
    assert first == ()
    assert second[0] is FILLER and second[2] is FILLER and second[3] is FILLER
    cell = second[1]
    assert (cell.parent, cell.row, cell.column, cell._value, cell.data_type, cell._style_id) == (
        "ws", 2, 2, 1, "n", 0)
    assert not hasattr(cell, "formula") and not hasattr(cell, "extra")
    kept, moved = third[1], fourth[1]
    assert (kept.row, kept.column, kept._value) == (3, 2, 4)
    assert (moved.row, moved.column, moved._value) == (5, 2, 3)


def test_next_row_cells_from_another_row_keep_their_row():
    data = sheet('<row r="1"><c r="B5"><v>3</v></c></row>')
    (_, cells), = rows_of(data, "ws", 1, None, False, Cell, FILLER)
    assert cells[1].row == 5 and cells[1].column == 2


def test_next_row_extra_slots_and_layout_changes():
    class Other:
        __slots__ = ("parent", "row", "column", "_value", "data_type", "_style_id", "more")

    data = sheet('<row><c><v>1</v></c></row><row><c><v>2</v></c></row><row><c><v>3</v></c></row>')
    r = reader(data)
    (_, (c1,)) = r.next_row("ws", 1, None, False, Cell, FILLER, ["extra"])
    assert c1.extra is None and not hasattr(c1, "formula")
    (_, (c2,)) = r.next_row("ws", 1, None, False, Other, FILLER, ("more",))
    assert type(c2) is Other and c2.more is None and c2._value == 2
    (_, (c3,)) = r.next_row("ws", 1, None, False, Cell, FILLER)
    assert type(c3) is Cell and not hasattr(c3, "extra")


def test_shared_row_numbers_within_a_row():
    data = sheet('<row r="1048576"><c/><c/><c r="C5"/></row>')
    _, (_, cells) = rows_of(data, "ws", 1, None, False, Cell, FILLER)
    assert cells[0].row is cells[1].row


@pytest.mark.parametrize("args, name", [
    (("ws", "1", None, True, Cell, None), "min_col"),
    (("ws", 1, 2.0, True, Cell, None), "max_col"),
    (("ws", 1, None, 1, Cell, None), "values_only"),
    (("ws", 1, None, False, "Cell", None), "cell_cls"),
    (("ws", 1, None, False, Cell, None, "extra"), "extra_none"),
    (("ws", 1, None, False, Cell, None, 5), "extra_none"),
])
def test_next_row_argument_types(args, name):
    r = reader(sheet("<row><c/></row>"))
    with pytest.raises(TypeError, match=name):
        r.next_row(*args)


def test_next_row_slot_errors():
    class NoSlots:
        pass

    r = reader(sheet("<row><c/></row>"))
    with pytest.raises(AttributeError):
        r.next_row("ws", 1, None, False, NoSlots, None)
    with pytest.raises(AttributeError, match="nothing"):
        r.next_row("ws", 1, None, False, Cell, None, ["nothing"])


# --- ownership, GC, threads --------------------------------------------------

def test_no_references_are_leaked():
    filler, ws, shared = object(), object(), "shared text"
    helpers = make_helpers()
    parser = make_parser(shared_strings=[shared], date_formats={1}, formula_and_value=True)
    data = sheet("".join(f'<row r="{i}"><c r="A{i}" t="s"><v>0</v></c><c s="1"><v>{i}.5</v></c>'
                         f'<c><f>A{i}</f><v>1</v></c><c t="inlineStr"><is><t>x</t></is></c>'
                         f'<c r="E{i}"><f t="shared" si="0">A1</f></c></row>'
                         for i in range(1, 50)), after="<mergeCells/>")

    def run():
        r = m.RowReader(io.BytesIO(data), parser, helpers)
        while r.next_row(ws, 1, 8, False, Cell, filler, ["extra"]) is not None:
            pass
        r = m.RowReader(io.BytesIO(data), parser, helpers)
        while r.next_raw() is not None:
            pass

    run()
    gc.collect()
    before = [sys.getrefcount(o) for o in (filler, ws, shared, helpers["int"], parser, Cell)]
    for _ in range(5):
        run()
    gc.collect()
    after = [sys.getrefcount(o) for o in (filler, ws, shared, helpers["int"], parser, Cell)]
    assert after == before


@pytest.mark.parametrize("cell", [
    '<c r="A{i}" t="s"><v>0</v></c><c s="1"><v>{i}.5</v></c><c t="str"><v>t{i}</v></c>',
    '<c r="B{i}"><f t="shared" si="0">A1</f></c><c t="inlineStr"><is><t>x{i}</t></is></c>',
    '<c><f t="array" ref="Z1">1</f><v>{i}</v></c><c t="d"><v>2020-01-0{d}</v></c>',
], ids=["values", "formulas", "objects"])
def test_memory_does_not_grow_per_row(cell):
    data = sheet("".join(f'<row r="{i}" ht="1">' + cell.format(i=i, d=i % 9 + 1) + "</row>"
                         for i in range(1, 2001)))
    parser = make_parser(shared_strings=["s"], date_formats={1}, formula_and_value=True)
    helpers = make_helpers()

    def run():
        parser.row_dimensions = {}
        r = m.RowReader(io.BytesIO(data), parser, helpers)
        while r.next_row("ws", 1, None, False, Cell, None, ["extra"]) is not None:
            pass
        r = m.RowReader(io.BytesIO(data), parser, helpers)
        while r.next_raw() is not None:
            pass

    for _ in range(2):
        run()
    gc.collect()
    before = sys.getallocatedblocks()
    for _ in range(5):
        run()
    gc.collect()
    assert sys.getallocatedblocks() - before < 500  # 20,000 rows went through


def test_cycles_through_the_reader_are_collected():
    class Marker:
        collected = False

        def __del__(self):
            Marker.collected = True

    r = reader(sheet("<row><c/></row>"))
    marker = Marker()
    marker.r = r
    r.actions.append(marker)
    del r, marker
    gc.collect()
    assert Marker.collected


def test_concurrent_use_is_refused():
    entered, release = threading.Event(), threading.Event()

    class Slow:
        def __init__(self):
            self.data = io.BytesIO(sheet("<row><c/></row>"))

        def read(self, n):
            entered.set()
            assert release.wait(10)
            return self.data.read(n)

    r = m.RowReader(Slow(), make_parser(), make_helpers())
    results = []
    t = threading.Thread(target=lambda: results.append(r.next_raw()))
    t.start()
    try:
        assert entered.wait(10)
        for call in (r.next_raw, lambda: r.next_row("ws", 1, None, True, Cell, None)):
            with pytest.raises(RuntimeError, match="^Already borrowed$"):
                call()
    finally:
        release.set()
        t.join(10)
    assert results == [(1, [(1, 1, None, "n", 0)])]


def test_reentrant_use_is_refused():
    class Source:
        def __init__(self):
            self.data = io.BytesIO(sheet("<row><c/></row>"))
            self.reader = None

        def read(self, n):
            self.reader.next_raw()
            return self.data.read(n)

    src = Source()
    r = m.RowReader(src, make_parser(), make_helpers())
    src.reader = r
    with pytest.raises(m.NativeFallback, match="^native reader error: RuntimeError: Already borrowed$"):
        r.next_raw()
    src.reader = None


# --- the window fast path against the event path ------------------------------

from hypothesis import given, strategies as st  # noqa: E402

_texts = st.sampled_from(["1", "007", "-3", "1.5", "2e3", "x", "", " 4", "a&amp;b", "&#49;", "\t5\n",
                          "6\r\n", "caf\u00e9", "1<!---->2", "<![CDATA[9]]>", "A1+B$2", "\u20ac"])
_attrs = st.sampled_from(['', ' r="B3"', ' r="A&#49;"', ' s="2"', ' s=""', ' t="s"', ' t="str"',
                          ' t="b"', ' t="e"', ' t="inlineStr"', ' t=\'n\'', ' odd="1"', '  s="1" ',
                          ' r="C4" s="1" t="str"'])
_children = st.lists(st.one_of(
    st.builds(lambda t: f"<v>{t}</v>", _texts),
    st.just("<v/>"),
    st.builds(lambda t: f"<f>{t}</f>", _texts),
    st.builds(lambda t, a: f"<f{a}>{t}</f>", _texts,
              st.sampled_from([' t="shared" si="0"', ' t="array" ref="A1"', ' si="1" t="shared"',
                               ' t="shared"', ' t="normal"', ' ca="1"'])),
    st.just("<f/>"),
    st.just('<is><t>in</t></is>'),
    st.just(" "),
), max_size=4)
_cells = st.lists(st.tuples(_attrs, _children, st.booleans()), min_size=1, max_size=6)


def _doc(cells, prefix):
    p = "x:" if prefix else ""
    out = []
    for attrs, children, empty in cells:
        if empty and not children:
            out.append(f"<{p}c{attrs}/>")
        else:
            body = "".join(ch.replace("<v", f"<{p}v").replace("</v", f"</{p}v")
                           .replace("<f", f"<{p}f").replace("</f", f"</{p}f")
                           .replace("<is>", f"<{p}is>").replace("</is>", f"</{p}is>")
                           .replace("<t>", f"<{p}t>").replace("</t>", f"</{p}t>")
                           for ch in children)
            out.append(f"<{p}c{attrs}>{body}</{p}c>")
    rows = (f'<{p}row r="3">{"".join(out)}</{p}row>'
            f'<{p}row r="4"><{p}c><{p}f t="shared" si="0"/></{p}c></{p}row>')
    if prefix:
        return (f'<x:worksheet xmlns:x="{MAIN}"><x:sheetData>{rows}</x:sheetData></x:worksheet>').encode()
    return sheet(rows)


def _outcome(data, **parser):
    try:
        return raw(data, **parser)[0]
    except m.NativeFallback as e:
        return ("fallback", e.args)


class _Trickle(io.BytesIO):
    def read(self, n):
        return super().read(5)


@given(_cells, st.booleans(), st.booleans())
def test_fast_cells_read_like_event_cells(cells, fav, data_only):
    parser = dict(shared_strings=["s0", "s1", "s2"], date_formats={2}, formula_and_value=fav,
                  data_only=data_only)
    fast = _outcome(_doc(cells, False), **parser)
    assert fast == _outcome(_doc(cells, True), **parser)
    # Cells cut by the end of the window are read through events.
    r = m.RowReader(_Trickle(_doc(cells, False)), make_parser(**parser), make_helpers())
    try:
        trickled = []
        while (row := r.next_raw()) is not None:
            trickled.append(row)
    except m.NativeFallback as e:
        trickled = ("fallback", e.args)
    assert trickled == fast


# --- a formula_and_value attribute that fails ---------------------------------

def _failing_parser(exc_type):
    class Parser:
        def __init__(self):
            self.__dict__.update(vars(make_parser(data_only=True)))
            self.__dict__.pop("formula_and_value")

        @property
        def formula_and_value(self):
            raise exc_type("no setting")

    return Parser()


@pytest.mark.parametrize("exc_type", [AttributeError, ValueError, RuntimeError, LookupError])
def test_a_failing_formula_and_value_means_false_in_both_readers(exc_type):
    from brindle.reader import rows as py_rows

    data = sheet('<row r="1"><c r="A1"><f>B1</f><v>7</v></c></row>')
    for cls in (m.RowReader, py_rows.RowReader):
        r = cls(io.BytesIO(data), _failing_parser(exc_type), make_helpers())
        # data_only alone: the cached value, not the formula beside it.
        assert r.next_raw() == (1, [(1, 1, 7, "n", 0)])


@pytest.mark.parametrize("exc_type", [KeyboardInterrupt, SystemExit])
def test_an_interrupt_from_formula_and_value_propagates_from_both_readers(exc_type):
    from brindle.reader import rows as py_rows

    for cls in (m.RowReader, py_rows.RowReader):
        with pytest.raises(exc_type):
            r = cls(io.BytesIO(sheet()), _failing_parser(exc_type), make_helpers())
            r.next_raw()
