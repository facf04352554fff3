"""bind_cells against the pure-Python parse that the host's full-mode loader
runs (WorkSheetParser.parse, each cell put into a dict under (row, column)
with a copy of its style): the same cells in the same order (value, data
type, style, formula text), the same actions and row dimensions, or the
same exception; a NativeFallback only where the engine declines on purpose."""

import datetime as dt
import io

import pytest
from hypothesis import example, given, strategies as st

from brindle import _brindle as m
import sheetgen as gen
import sheet_strategies as strategies
from testkit import Cell, make_helpers, make_parser
from brindle.styles.cell_style import StyleArray
from bind_check import STYLES, check, native_bind, pure_bind

MAIN = gen.MAIN


values = st.sampled_from(["0", "1", "-0", "007", "2.5", "1e3", "-1.5E-3", "abc", "", " 3",
                          "12345678901234567890", "1e", "60", "2958466", "0.5", "a&amp;b",
                          "\u00e9", "-1", "3", "2147483648", "-2147483648", "43831.25"])
types = st.sampled_from([None, "n", "s", "b", "e", "str", "d", "inlineStr", "odd", "", "f"])
styles = st.sampled_from([None, "0", "1", "2", "3", "-1", "4", "", "+1", "01",
                          "99999999999999999999"])
refs = st.sampled_from([None, "", "A1", "B2", "C1", "D3", "$A$1", "ZZZ9", "AAAA1", "A0", "B1"])
formulas = st.sampled_from([None, "<f>1+1</f>", "<f/>", '<f t="array" ref="A1:A2">B1</f>',
                            '<f t="array">B1</f>', '<f t="shared" si="0" ref="A1:D9">A1+B$1</f>',
                            '<f t="shared" si="0"/>', '<f t="shared" si="1">"x</f>',
                            '<f t="shared">C1</f>', '<f t="shared"/>', "<f>SUM(A1:B2)*2</f>",
                            '<f t="dataTable" ref="A1:B2" r1="A1"/>'])
extras = st.sampled_from(["", "<is><t>in</t></is>", "<is><r><t>a</t></r><r><t>b</t></r></is>",
                          "<is><r><rPr><b/></rPr><t>a</t></r></is>", "<v>7</v>", "<extra/>"])


worksheet = strategies.worksheets(
    strategies.cells(refs, styles, types, formulas, values, extras),
    rows=5, cells_per_row=5, row_refs=[None, "1", "2", "3", "5", "+3", ""],
    heads=["", "<sheetPr/>", "<dimension ref='A1'/>"])


@given(worksheet, st.booleans(), st.booleans(), st.booleans())
# A bad style before a cell outside the sheet: the first fault wins on both paths.
@example(('<worksheet xmlns="http://schemas.openxmlformats.org/spreadsheetml/2006/main">'
          '<sheetData><row><c s="-1"/><c r="ZZZ9"/></row></sheetData></worksheet>').encode(),
         False, False, False)
def test_odd_sheets_load_like_the_pure_parse(data, fav, data_only, rich):
    check(data, dict(shared_strings=["s0", "s1", "s2", "s3"], date_formats={1, 2},
                     timedelta_formats={2}, formula_and_value=fav, data_only=data_only,
                     rich_text=rich))


@pytest.mark.parametrize("seed", range(6))
@pytest.mark.parametrize("epoch", [gen.WINDOWS_EPOCH, gen.MAC_EPOCH])
def test_generated_sheets_of_every_kind(seed, epoch):
    rows, strings = gen.random_sheet(seed, n_rows=30, n_cols=10, epoch=epoch)
    syntax = gen.Syntax(prefix="x" if seed % 2 else "", newline="\n" if seed % 3 else "",
                        odd_attrs=seed == 4)
    out = check(gen.render(rows, syntax), dict(shared_strings=strings, epoch=epoch,
                                               date_formats={gen.DATE_STYLE}))
    assert out[0] == "ok" and len(out[1]) > 30
    kinds = {d[0] for _, d in out[1]}
    assert {"int", "float", "str", "bool", "datetime", "NoneType"} <= kinds


def sheet(rows_xml, head="", tail=""):
    return (f'<worksheet xmlns="{MAIN}">{head}<sheetData>{rows_xml}</sheetData>{tail}'
            f'</worksheet>').encode()


@pytest.mark.parametrize("rows_xml", [
    # Rows out of order: row 5 is packed, row 3 and later rows are not.
    '<row r="5"><c r="A5"><v>5</v></c><c r="B5"><v>6</v></c></row>'
    '<row r="3"><c r="A3"><v>3</v></c></row><row r="9"><c r="C9"><v>9</v></c></row>',
    # A repeated cell keeps its first place and takes the last value.
    '<row r="1"><c r="A1"><v>1</v></c><c r="B1"><v>2</v></c><c r="A1" t="s"><v>0</v></c>'
    '<c r="B1" t="str"><v>x</v></c></row><row r="2"><c r="B1"><v>3</v></c></row>',
    # Rows and cells without r, after a numbered row and cell.
    '<row r="10"><c r="C10"><v>1</v></c><c><v>2</v></c><c/></row><row><c><v>3</v></c></row>'
    '<row><c t="b"><v>1</v></c></row>',
    # Formula runs that earn templates, absolute references, quoted text.
    "".join(f'<row r="{r}"><c r="A{r}"><f>B{r}*2+$C$1</f><v>0</v></c>'
            f'<c r="B{r}"><f>"A{r}"&amp;D{r + 1}</f></c><c r="C{r}"><f>A1</f></c></row>'
            for r in range(1, 8)),
    # Shared formulas: a keyed group, an unkeyed group, dependents without r.
    '<row r="2"><c r="A2"><f t="shared" si="0" ref="A2:A5">B2*2</f><v>1</v></c>'
    '<c r="B2"><f t="shared">A1</f></c></row>'
    '<row r="3"><c r="A3"><f t="shared" si="0"/></c><c><f t="shared"/></c></row>'
    '<row r="4"><c><f t="shared" si="0"/></c></row>',
    # Array formula and inline strings, plain and rich.
    '<row r="1"><c r="A1"><f t="array" ref="A1:A2">SUM(B1:B2)</f><v>3</v></c>'
    '<c r="B1" t="inlineStr"><is><t>plain</t></is></c>'
    '<c r="C1" t="inlineStr"><is><r><t>ri</t></r><r><t>ch</t></r></is></c></row>',
    # Dates: in range, out of range (a warning), a time, a duration style.
    '<row r="1"><c r="A1" s="1"><v>43831.5</v></c><c r="B1" s="1"><v>99999999</v></c>'
    '<c r="C1" s="1"><v>0.25</v></c><c r="D1" s="2"><v>1.5</v></c><c r="E1" s="1"><v>0</v></c>'
    '</row>',
    # Texts: empty, long, repeated (one arena copy), characters outside ASCII.
    '<row r="1"><c r="A1" t="str"><v></v></c><c r="B1" t="str"><v>' + "x" * 5000 + '</v></c>'
    '<c r="C1" t="str"><v>same</v></c><c r="D1" t="str"><v>same</v></c>'
    '<c r="E1" t="e"><v>#N/A</v></c><c r="F1" t="str"><v>\u65e5\u00e9</v></c></row>',
    # Custom data types get codes of their own and keep their text.
    '<row r="1"><c r="A1" t="str"/><c r="B1" t="odd"/><c r="C1" t="str"/><c r="D1" t="x"><v>1</v></c>'
    '</row>',
    # Integers at the edges of the inline form, and beyond 64 bits.
    '<row r="1"><c r="A1"><v>2147483647</v></c><c r="B1"><v>-2147483648</v></c>'
    '<c r="C1"><v>2147483648</v></c><c r="D1"><v>-9223372036854775808</v></c>'
    '<c r="E1"><v>123456789012345678901234</v></c></row>',
    # Style ids with leading zeros and signs.
    '<row r="1"><c r="A1" s="+1"><v>1</v></c><c r="B1" s="003"><v>2</v></c><c r="C1" s="-0"/></row>',
])
def test_sheets_with_odd_structure(rows_xml):
    data = sheet(rows_xml, "<sheetPr/>", '<mergeCells count="1"><mergeCell ref="A1:B1"/></mergeCells>')
    out = check(data, dict(shared_strings=["s0", "s1"], date_formats={1, 2},
                           timedelta_formats={2}))
    assert out[0] == "ok"
    assert [a[0] for a in out[2] if a[0] == "element"] == ["element", "element"]


def test_wide_columns_and_rows_beyond_excel():
    # A row of more cells than a sheet has columns (they would also exceed a
    # packed record's) and a row past the last are refused, not taken in
    # where no saved file could give them back.
    wide = "<c><v>1</v></c>" * 65_540
    data = sheet(f'<row r="1">{wide}</row><row r="2"><c r="B2"><v>3</v></c></row>')
    assert native_bind(data, {}, STYLES) == (
        "fallback", "cell XFE1 outside the cells of a worksheet (A1:XFD1048576)")
    data = sheet('<row r="2000000"><c r="A2000000"><v>2</v></c></row>')
    assert native_bind(data, {}, STYLES) == (
        "fallback", "row 2000000 outside the rows of a worksheet (1 to 1048576)")
    data = sheet(f'<row r="1">{wide[:16_384 * 15]}</row>'
                 '<row r="1048576"><c r="XFD1048576"><v>2</v></c></row>')
    store = m.CellStore()
    native_bind(data, {}, STYLES, store)
    assert store[(1, 16_384)].value == 1 and store._bounds() == (1, 1_048_576, 1, 16_384)


@pytest.mark.parametrize("rows_xml,styles,expected", [
    # Past either end of the table (never counted from its end): the engine
    # declines, the host names the cell.
    ('<row r="1"><c r="A1" s="4"><v>1</v></c></row>', STYLES, "malformed: style index"),
    ('<row r="1"><c r="A1" s="-5"><v>1</v></c></row>', STYLES, "malformed: style index"),
    ('<row r="1"><c r="A1" s="-1"><v>1</v></c></row>', STYLES, "malformed: style index"),
    ('<row r="1"><c r="A1" s=""><v>1</v></c></row>', STYLES, "malformed: empty style"),
    ('<row r="1"><c r="A1" s="x"><v>1</v></c></row>', STYLES, "malformed: style is no number"),
    ('<row r="1"><c r="A1" s="99999999999999999999"/></row>', STYLES, "unusual style id"),
    ('<row r="1"><c r="A1" s="1"/></row>', tuple(STYLES), None),
    # Styles that are no arrays: the host's copy of one fails; the engine,
    # whose copy takes the class for an array's, leaves the sheet to it.
    ('<row r="1"><c r="A1" s="1"/></row>', [[0] * 9, [1] * 9], "style of another kind"),
    ('<row r="1"><c r="A1" s="1"/></row>', ([0] * 9, "x"), "style of another kind"),
    # A sequence that answers for any index: its length still bounds the ids.
    ('<row r="1"><c r="A1" s="7"/></row>', "AnyIndex", "malformed: style index"),
    ('<row r="1"><c r="A1" s=""/></row>', "AnyIndex", "malformed: empty style"),
    ('<row r="0"><c><v>1</v></c></row>', STYLES,
     "row 0 outside the rows of a worksheet (1 to 1048576)"),
    ('<row r="4294967296"><c><v>1</v></c></row>', STYLES,
     "row 4294967296 outside the rows of a worksheet (1 to 1048576)"),
    ('<row r="-1"><c><v>1</v></c></row>', STYLES,
     "row -1 outside the rows of a worksheet (1 to 1048576)"),
])
def test_styles_and_coordinates(rows_xml, styles, expected):
    if styles == "AnyIndex":
        class AnyIndex(list):
            def __getitem__(self, i):
                return STYLES[0]
        styles = AnyIndex(STYLES)
    data = sheet(rows_xml)
    native = native_bind(data, {}, styles)
    if expected is None:
        assert native == pure_bind(data, {}, styles)
    elif isinstance(expected, str):
        assert native == ("fallback", expected)
    else:
        assert native[:2] == ("error", expected)
        assert native == pure_bind(data, {}, styles)


def test_too_many_data_types():
    cells = "".join(f'<c r="A{k}" t="t{k}"/>' for k in range(1, 249))
    data = sheet(f'<row r="1">{cells}</row>')
    assert native_bind(data, {}, STYLES)[0] == "ok"
    cells += '<c r="A250" t="t1"/>'  # a known type is fine
    assert native_bind(sheet(f'<row r="1">{cells}</row>'), {}, STYLES)[0] == "ok"
    cells += '<c r="A251" t="one-too-many"/>'
    assert native_bind(sheet(f'<row r="1">{cells}</row>'), {}, STYLES) == \
        ("fallback", "too many data types")


def test_parse_errors_and_host_errors_reach_the_caller_and_empty_the_store():
    store = m.CellStore()
    store[(1, 1)] = "kept until the load"
    good = sheet('<row r="1"><c r="A1" t="s"><v>0</v></c></row>')
    bad_xml = good.replace(b"</sheetData>", b"")
    assert native_bind(bad_xml, {"shared_strings": ["a"]}, STYLES, store)[0] == "fallback"
    assert len(store) == 0 and store._stats() == (0, 0, 0, 0)
    # A shared-string index past the table: declined, for the host to name the cell.
    bad_index = sheet('<row r="1"><c r="A1"><f t="shared" si="0">B1</f></c>'
                      '<c r="A2"><f t="shared" si="0"/></c><c r="A3" t="s"><v>5</v></c></row>')
    assert native_bind(bad_index, {"shared_strings": ["a"]}, STYLES, store) == \
        ("fallback", "malformed: shared string index")
    assert len(store) == 0 and list(store) == []
    # A host error still reaches the caller as it is.
    bad_value = sheet('<row r="1"><c r="A1" t="b"><v>yes</v></c></row>')
    assert native_bind(bad_value, {}, STYLES, store)[:2] == ("error", ValueError)
    assert len(store) == 0 and list(store) == []
    # The store loads again afterwards.
    assert native_bind(good, {"shared_strings": ["a"]}, STYLES, store)[1] == \
        [((1, 1), ("str", "a", "s", "StyleArray", [0] * 9, "ws"))]


def test_a_second_load_forgets_the_first():
    store = m.CellStore()
    first = sheet('<row r="1"><c r="A1" s="1" t="odd"><f>B1*2</f></c><c r="A2"><f>B2*2</f></c>'
                  '<c r="A3"><f>B3*2</f></c></row>')
    native_bind(first, {}, STYLES, store)
    assert store[(1, 1)]._style == STYLES[1]
    other_styles = [StyleArray([9] * 9), StyleArray([8] * 9)]
    second = sheet('<row r="2"><c r="A2" s="1" t="new"><v>1</v></c></row>')
    out = native_bind(second, {}, other_styles, store)
    assert out[1] == [((2, 1), ("str", "1", "new", "StyleArray", [8] * 9, "ws"))]
    assert store._stats()[2] == 0  # the templates of the first load are gone


def test_argument_kinds():
    args = dict(source=io.BytesIO(sheet("")), parser=make_parser(), ws=None, store=m.CellStore(),
                cell_styles=STYLES, cell_cls=Cell, helpers=make_helpers(), actions=[])
    m.bind_cells(**args)
    for name, bad, want in [("store", {}, "CellStore"), ("cell_cls", Cell(None), "a type"),
                            ("helpers", [], "dict"), ("actions", (), "list")]:
        with pytest.raises(TypeError, match=f"argument '{name}' must be {want}, not"):
            m.bind_cells(**{**args, name: bad})
    sub = type("Sub", (m.CellStore,), {})()
    m.bind_cells(**{**args, "store": sub, "source": io.BytesIO(sheet('<row><c><v>1</v></c></row>'))})
    assert sub[(1, 1)].value == 1


def test_dates_in_both_epochs_and_a_native_epoch_absent():
    data = sheet('<row r="1"><c r="A1" s="1"><v>1</v></c><c r="B1" s="1"><v>61.5</v></c></row>')
    for epoch in (gen.WINDOWS_EPOCH, gen.MAC_EPOCH, dt.datetime(1900, 1, 1, 6, tzinfo=dt.timezone.utc)):
        out = check(data, dict(epoch=epoch, date_formats={1}))
        assert out[0] == "ok" and out[1][0][1][0] == "datetime"


def test_a_style_that_is_no_array_fails_as_the_cell_is_made_never_crashes():
    class Styles:  # a sequence the engine cannot look through before the load
        def __len__(self):
            return 2

        def __getitem__(self, i):
            return [i] * 9

    store = m.CellStore()
    m.bind_cells(io.BytesIO(sheet('<row r="1"><c r="A1" s="1"><v>1</v></c></row>')),
                 make_parser(), "ws", store, Styles(), Cell, make_helpers(), [])
    with pytest.raises(TypeError, match="not a subtype of array.array"):
        store[(1, 1)]
