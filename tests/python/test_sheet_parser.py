"""The pure-Python worksheet parser: values, dates, formulas, positions and item order."""

import datetime as dt
import io
import xml.etree.ElementTree as ET

import pytest
from hypothesis import given, strategies as st

import sheetgen as gen
from cell_rules import CELL_VALUES
from testkit import make_helpers, make_parser
from brindle.formula import ArrayFormula, DataTableFormula, TranslatorError
from brindle.utils.datetime import MAC_EPOCH
from brindle.reader.xmlwindow import CellFault
from sources import Trickle

MAIN = gen.MAIN
STRINGS = ["zero", "one", "two"]


def items(body, helpers=None, **settings):
    """Items of a worksheet whose sheetData holds `body` (or, without "<row", one row of it)."""
    if "<row" not in body:
        body = f'<row r="1">{body}</row>'
    doc = f'<worksheet xmlns="{MAIN}"><sheetData>{body}</sheetData></worksheet>'.encode()
    settings.setdefault("shared_strings", STRINGS)
    parser = make_parser(**settings)
    parser.source = io.BytesIO(doc)
    return list(parser.parse(helpers))


def cells(body, **settings):
    return [c for item in items(body, **settings) if item[0] == "row" for c in item[2]]


def one(body, **settings):
    (cell,) = cells(body, **settings)
    return cell[2], cell[3], cell[4]


@pytest.mark.parametrize("body,value,data_type", CELL_VALUES)
def test_values(body, value, data_type):
    got, got_type, _ = one(body)
    assert (got, got_type) == (value, data_type) and type(got) is type(value)


@pytest.mark.parametrize("body,error", [
    ("<c><v>1e</v></c>", ValueError),
    ("<c><v>inf</v></c>", ValueError),
    ("<c><v>1..2</v></c>", ValueError),
    ("<c t='b'><v>x</v></c>", ValueError),
    ("<c t='s'><v>3</v></c>", CellFault),
    ("<c t='s'><v>-1</v></c>", CellFault),  # never counted from the end
    ("<c t='d'><v>yesterday</v></c>", ValueError),
    ("<c r='A0'><v>1</v></c>", ValueError),
    ("<c s='x'/>", CellFault),
    ("<c s=''/>", CellFault),
])
def test_value_errors_are_the_helpers(body, error):
    with pytest.raises(error):
        cells(body)


@pytest.mark.parametrize("s,style", [
    (None, 0), ("007", 7), ("-3", -3), ("+5", 5),
    ("99999999999999999999", 99999999999999999999),
])
def test_style_ids(s, style):
    attr = "" if s is None else f" s='{s}'"
    assert one(f"<c{attr}><v>1</v></c>")[2] == style


def test_odd_texts_go_to_the_host_helpers():
    calls = []

    def spy(name, fn):
        return lambda text: calls.append((name, text)) or fn(text)

    h = make_helpers(int=spy("int", int), float=spy("float", float))
    body = ("<c s='2'><v>12</v></c><c s='+2'><v>1.5</v></c><c><v>+4</v></c><c><v>1_0.5</v></c>"
            "<c t='s'><v> 1</v></c><c t='b'><v>1</v></c>")
    values = [c[2] for c in cells(body, helpers=h)]
    assert values == [12, 1.5, 4, 10.5, "one", True]
    assert calls == [("int", "+2"), ("int", "+4"), ("float", "1_0.5"), ("int", " 1")]


DATES = {"date_formats": {5, 6}, "timedelta_formats": {6}}


@pytest.mark.parametrize("s,v,epoch,value,data_type", [
    (5, "1", None, dt.datetime(1900, 1, 1), "d"),
    (5, "60", None, dt.datetime(1900, 2, 28), "d"),
    (5, "0", None, dt.time(0), "d"),
    (5, "0.5", None, dt.time(12), "d"),
    (5, "43831.0000000058", None, dt.datetime(2020, 1, 1, 0, 0, 0, 1000), "d"),
    (5, "1", MAC_EPOCH, dt.datetime(1904, 1, 2), "d"),
    (6, "1.5", None, dt.timedelta(days=1, hours=12), "d"),
    (5, "2958466", None, "#VALUE!", "e"),
    (5, "-700000", None, "#VALUE!", "e"),
    (6, "1e300", None, "#VALUE!", "e"),
    (7, "1", None, 1, "n"),
])
def test_dates(s, v, epoch, value, data_type):
    settings = dict(DATES, epoch=epoch) if epoch else DATES
    assert one(f"<c s='{s}'><v>{v}</v></c>", **settings)[:2] == (value, data_type)


def test_only_plain_ints_name_date_styles():
    for formats in ({True, "1"}, {1.0}):  # one set cannot hold both True and 1.0
        assert one("<c s='1'><v>1</v></c>", date_formats=formats)[:2] == (1, "n")
    assert one("<c s='1'><v>1</v></c>", date_formats=[True, 1])[:2] == (dt.datetime(1900, 1, 1),
                                                                         "d")


def test_date_warning_is_an_action_except_in_formula_cells():
    got = items("<c r='B1' s='5'><v>1e10</v></c><c r='C1' s='5'><f>X1</f><v>1e10</v></c>",
                formula_and_value=True, **DATES)
    (warn, row) = got
    assert warn == ("warn", "Cell B1 is marked as a date but the serial value 10000000000.0 is "
                    "outside the limits for dates. The cell will be treated as an error.")
    assert [c[2:4] for c in row[2]] == [("#VALUE!", "e"), ("=X1", "f")]
    assert row[2][1][6] == "#VALUE!"  # the cached value


def test_date_helper_gets_the_timedelta_keyword():
    seen = []
    h = make_helpers(from_excel=lambda v, epoch, timedelta: seen.append((v, timedelta)) or v)
    cells("<c s='5'><v>2</v></c><c s='6'><v>3</v></c>", helpers=h, **DATES)
    assert seen == [(2, False), (3, True)]


@pytest.mark.parametrize("settings,value,data_type,formula,cached", [
    ({}, "=SUM(B1)", "f", "=SUM(B1)", "=SUM(B1)"),
    ({"data_only": True}, 3, "n", None, 3),
    ({"formula_and_value": True}, "=SUM(B1)", "f", "=SUM(B1)", 3),
    ({"formula_and_value": True, "data_only": True}, 3, "n", "=SUM(B1)", 3),
])
def test_formula_settings(settings, value, data_type, formula, cached):
    (cell,) = cells("<c r='A1'><f>SUM(B1)</f><v>3</v></c>", **settings)
    assert cell[2:4] + cell[5:] == (value, data_type, formula, cached)


def test_shared_formulas():
    body = ("<row r='2'><c r='B2'><f t='shared' si='0' ref='B2:B4'>A2*$C$1</f></c>"
            "<c r='C2'><f t='shared' si='7'/></c></row>"
            "<row r='3'><c r='B3'><f t='shared' si='0'/><v>1</v></c>"
            "<c r='C3'><f t='shared' si='0'>ignored</f></c></row>"
            "<row r='4'><c><f t='shared' si='0'/></c></row>")
    got = [c[2] for c in cells(body)]
    assert got == ["=A2*$C$1", "=", "=A3*$C$1", "=B3*$C$1", "=A2*$C$1"]


def test_shared_formula_out_of_range():
    with pytest.raises(TranslatorError, match="Formula out of range"):
        cells("<row r='2'><c r='A2'><f t='shared' si='0'>A1</f></c></row>"
              "<row r='1'><c r='A1'><f t='shared' si='0'/></c></row>")


def test_ignored_formulas_register_no_master():
    made = []

    class Spy:
        def __init__(self, *args):
            made.append(args)

    h = make_helpers(Translator=Spy)
    cells("<c r='A1'><f t='shared' si='0'>B1</f><v>1</v></c>", helpers=h, data_only=True)
    assert made == []
    cells("<c r='A1'><f t='shared' si='0'>B1</f><v>1</v></c>", helpers=h)
    assert made == [("=B1", "A1")]


def test_array_and_data_table_formulas():
    body = ("<c r='A1'><f t='array'>B1:B2*2</f></c><c r='B1'><f t='array' ref='B1:B2'/></c>"
            "<c r='C1'><f t='dataTable' ref='C1:D2' dt2D='1' r1='A1' r2='A2' "
            "xmlns:x='urn:x' x:odd='y'/></c>")
    a, b, table = (c[2] for c in cells(body))
    assert a == ArrayFormula(None, "=B1:B2*2") and b == ArrayFormula("B1:B2", "=")
    assert table == DataTableFormula(ref="C1:D2", dt2D="1", r1="A1", r2="A2")
    (cell,) = cells("<c r='C1'><f t='dataTable' ref='C1:D2'/><v>5</v></c>",
                    data_only=True, formula_and_value=True)
    assert cell[2] == 5 and cell[5] == DataTableFormula()  # attributes unread when data_only


def test_positions_without_r():
    body = ("<row r='10'><c><v>1</v></c></row><row><c r='C5'/><c/><c/></row>"
            "<row spans='1:2'><c r='B1'/><c/></row>")
    got = items(body)
    # Cells naming other rows come as rows of their own, one warning for the sheet.
    assert [(i[1], [(c[0], c[1]) for c in i[2]]) for i in got if i[0] == "row"] == [
        (10, [(10, 1)]), (5, [(5, 3)]), (11, [(11, 4), (11, 5)]), (1, [(1, 2)]), (12, [(12, 3)])]
    assert [i for i in got if i[0] != "row"] == [
        ("sheet_warn", 'cell C5 lies in <row r="11">; it is read as C5')]


def test_row_dimensions():
    parser = make_parser(row_dimensions={})
    body = ("<row r='1' spans='1:2'/><row r='3' ht='15' customHeight='1'/>"
            "<row xmlns:x='urn:x' x:a='1'/><row x:b='2' hidden='1' xmlns:x='urn:x'/>"
            "<row r='007' s='1'/>")
    parser.source = io.BytesIO(f'<worksheet xmlns="{MAIN}"><sheetData>{body}</sheetData>'
                               '</worksheet>'.encode())
    assert [i[1] for i in parser.parse()] == [1, 3, 4, 5, 7]
    assert parser.row_dimensions == {
        "3": {"ht": "15", "customHeight": "1"},
        "5": {"{urn:x}b": "2", "hidden": "1"},
        "7": {"s": "1"},
    }


SHEET = (
    '<?xml version="1.0"?>\n<w:worksheet xmlns:w="%s" xmlns:r="urn:r">'
    '<w:sheetPr xmlns:q="urn:q"><w:tabColor q:x="a&gt;b"/></w:sheetPr>'
    '<w:sheetData><w:row r="1"><w:c r="A1" s="5"><w:v>1e9</w:v></w:c></w:row>'
    '<w:extLst  a=">"  >text<w:row/></w:extLst >'
    '<w:row><w:mergeCells><w:c/></w:mergeCells><w:c><w:v>2</w:v></w:c></w:row>'
    '</w:sheetData><w:mergeCells count="1"><w:mergeCell ref="A1:B1"/></w:mergeCells>'
    '<w:pageMargins xmlns:r="urn:other" left="1"/></w:worksheet>' % MAIN).encode()


def test_items_in_document_order_with_exact_bytes():
    parser = make_parser(date_formats={5})
    parser.source = io.BytesIO(SHEET)
    got = list(parser.parse())
    ns = [("w", MAIN), ("r", "urn:r")]
    kinds = [(i[0], i[1] if i[0] != "row" else i[1]) for i in got]
    assert [k for k, _ in kinds] == ["element", "warn", "row", "element", "element", "row",
                                     "element", "element"]
    elements = [i for i in got if i[0] == "element"]
    for data, namespaces in (e[1:] for e in elements):
        assert data in SHEET and namespaces == ns
        ET.fromstring(data.replace(b"<w:", b"<").replace(b"</w:", b"</")
                      .replace(b"q:x", b"x").replace(b"xmlns:q", b"xmlns:qq"))
    assert elements[0][1] == b'<w:sheetPr xmlns:q="urn:q"><w:tabColor q:x="a&gt;b"/></w:sheetPr>'
    assert elements[1][1] == b'<w:extLst  a=">"  >text<w:row/></w:extLst >'
    # A dispatched element inside a row goes to its handler, not into the row.
    assert elements[2][1] == b"<w:mergeCells><w:c/></w:mergeCells>"
    assert got[5] == ("row", 2, [(2, 1, 2, "n", 0, None, 2)])
    assert elements[4][1] == b'<w:pageMargins xmlns:r="urn:other" left="1"/>'




@given(st.integers(1, 64))
def test_reads_of_any_size_give_the_same_items(n):
    reference = make_parser(date_formats={5})
    reference.source = io.BytesIO(SHEET)
    parser = make_parser(date_formats={5})
    parser.source = Trickle(SHEET, n)
    assert list(parser.parse()) == list(reference.parse())


SYNTAX = st.builds(
    gen.Syntax, prefix=st.sampled_from(["", "x", "main"]), quote=st.sampled_from(['"', "'"]),
    sep=st.sampled_from([" ", "\n ", "\t"]), newline=st.sampled_from(["", "\n", "\r\n  "]),
    shuffle=st.randoms(use_true_random=False) | st.none(), escape_all=st.booleans(),
    odd_attrs=st.booleans(), cdata=st.booleans())


@given(st.integers(0, 10**6), SYNTAX, st.sampled_from([gen.WINDOWS_EPOCH, gen.MAC_EPOCH]))
def test_generated_sheets(seed, syntax, epoch):
    rows, strings = gen.random_sheet(seed, epoch=epoch)
    parser = make_parser(shared_strings=strings, date_formats={gen.DATE_STYLE}, epoch=epoch)
    parser.source = io.BytesIO(gen.render(rows, syntax))
    got = [(i[1], [c[:5] for c in i[2]]) for i in parser.parse() if i[0] == "row"]
    assert got == gen.expected_rows(rows)


@pytest.mark.parametrize("doc", [
    b"<worksheet><sheetData><row></sheetData></worksheet>",
    b"<worksheet><sheetData><row><c><v>1</v></c></row></sheetData>",
    b'<!DOCTYPE w [<!ENTITY e "x">]><worksheet/>',
    b"",
])
def test_malformed_xml_raises_parse_error(doc):
    parser = make_parser()
    parser.source = io.BytesIO(doc)
    with pytest.raises(ET.ParseError):
        list(parser.parse())


def test_settings_are_checked_before_reading():
    class Unread:
        def read(self, n):
            raise AssertionError("read")

    parser = make_parser()
    parser.source = Unread()
    with pytest.raises(TypeError, match="missing helper validate_rpr"):
        parser.parse(make_helpers(validate_rpr=make_helpers.__globals__["MISSING"]))
    with pytest.raises(TypeError):
        parser.parse(make_helpers(text_dangerous=["AlternateContent", 3]))


def test_dispatched_elements_inside_cells_go_to_their_handler():
    got = items("<c r='A1'><v>1<col min='1'/>2</v></c><c><x:e xmlns:x='urn:x'><sheetPr/></x:e></c>")
    assert got == [("element", b"<col min='1'/>", [("", MAIN)]),
                   ("element", b"<sheetPr/>", [("", MAIN), ("x", "urn:x")]),
                   ("row", 1, [(1, 1, 1, "n", 0, None, 1), (1, 2, None, "n", 0, None, None)])]



# An element kept whole holds what looks like rows, cells and values; once it
# closes, reading goes on as before it opened.
_DECOY = "<row r='7'><c r='Z7'><v>9</v><f>X</f></c></row>"


@pytest.mark.parametrize("body,kept", [
    (f"<smartTags>{_DECOY}</smartTags><row r='2'><c><v>1</v></c></row>",
     f"<smartTags>{_DECOY}</smartTags>"),
    (f"<row r='2'><c><v>1</v></c><mergeCells>{_DECOY}</mergeCells></row>",
     f"<mergeCells>{_DECOY}</mergeCells>"),
    (f"<row r='2'><c><v>1<col>{_DECOY}</col></v></c></row>", f"<col>{_DECOY}</col>"),
    (f"<row r='2'><c><v>1</v><sheetPr>{_DECOY}</sheetPr></c></row>",
     f"<sheetPr>{_DECOY}</sheetPr>"),
])
def test_reading_resumes_after_an_element_kept_whole(body, kept):
    after = "<row r='3'><c><v>2</v><f>A1</f></c><c t='inlineStr'><is><t>t</t></is></c></row>"
    assert items(body + after) == [
        ("element", kept.encode(), [("", MAIN)]),
        ("row", 2, [(2, 1, 1, "n", 0, None, 1)]),
        ("row", 3, [(3, 1, "=A1", "f", 0, "=A1", "=A1"), (3, 2, "t", "s", 0, None, "t")])]


@pytest.mark.parametrize("inline,value", [
    ("<is><t>a</t><t>b</t></is>", "b"),
    ("<is x='1'><t>a</t></is>", "a"),
    ("<is><t>a<b/>c</t></is>", "a"),
    ("<is><mc:AlternateContent xmlns:mc='urn:mc'><mc:Choice><t>no</t></mc:Choice>"
     "<mc:Fallback><t>yes</t></mc:Fallback></mc:AlternateContent></is>", "yes"),
])
def test_inline_strings_built_by_the_host(inline, value):
    assert one(f"<c t='inlineStr'>{inline}</c>")[:2] == (value, "s")


def test_rich_inline_strings():
    from brindle.cell.rich_text import CellRichText, InlineFont, TextBlock
    value, data_type, _ = one("<c t='inlineStr'><is><r><rPr><b/></rPr><t>bold</t></r>"
                              "<r><t> plain</t></r><mergeCells/></is></c>", rich_text=True)
    assert data_type == "s" and isinstance(value, CellRichText)
    assert value == [TextBlock(InlineFont(b=True), "bold"), " plain"]


@given(st.lists(st.tuples(st.sampled_from(["A", "B", "c", "$D", "XFD", "ZZZ"]),
                          st.sampled_from(["1", "2", "$2", "10"]), st.booleans()),
                max_size=6))
def test_references_in_any_order(refs):
    from brindle.utils.cell import coordinate_to_tuple
    body = "".join(f"<c r='{c}{r}'/>" if write else "<c/>" for c, r, write in refs)
    want, col = [], 0
    for c, r, write in refs:
        row, col = coordinate_to_tuple(c + r) if write else (2, col + 1)
        want.append((row, col))
        if col > 16_384:  # past XFD: the sheet is refused at that cell
            with pytest.raises(ValueError, match="outside the cells of a worksheet"):
                cells(f"<row r='2'>{body}</row>")
            return
    got = [(c[0], c[1]) for c in cells(f"<row r='2'>{body}</row>")]
    # Each row a cell names is given as one, in ascending order, cells in file order.
    assert got == sorted(want, key=lambda cell: cell[0])


@pytest.mark.parametrize("body", ["<row r='0'><c r='A0'/></row>",
                                  "<row r='-1'><c r='A-1'/></row>"])
def test_references_the_shortcut_must_not_accept(body):
    with pytest.raises(ValueError):
        cells(body)


@pytest.mark.parametrize("encoding,declared", [("utf-16", False), ("iso-8859-1", True),
                                               ("utf-8", True)])
def test_captured_elements_are_utf8(encoding, declared):
    decl = f'<?xml version="1.0" encoding="{encoding}"?>' if declared else ""
    text = (f'{decl}<worksheet xmlns="{MAIN}"><sheetPr codeName="caf\u00e9"/><sheetData>'
            "<row><c t='str'><v>\u00e9</v></c></row></sheetData></worksheet>")
    parser = make_parser()
    parser.source = io.BytesIO(text.encode(encoding))
    got = list(parser.parse())
    assert got[0][1] == '<sheetPr codeName="caf\u00e9"/>'.encode()
    assert got[1][2][0][2] == "\u00e9"


@given(st.lists(st.characters(codec="utf-8", exclude_categories=["Cs", "Cc"])
                | st.sampled_from(["\r\n", "\r", "\t", "\n"])).map("".join))
def test_plain_inline_strings_agree_with_the_host_builder(text):
    from xml.sax.saxutils import escape
    from brindle.reader.strings import text_content
    inline = f"<is><t>{escape(text)}</t></is>"
    value = one(f"<c t='inlineStr'>{inline}</c>")[0]
    assert value == text_content(inline.encode(), [("", MAIN)])


@given(st.integers(0, 10**6))
def test_prescan_finds_the_styles_the_parse_reads(seed):
    from pure_prescan import prescan_sheet
    rows, strings = gen.random_sheet(seed)
    data = gen.render(rows, gen.Syntax(newline="\n"))
    where = {(row.number, col): cell.s for row in rows for col, cell in row.cells}
    got = prescan_sheet(io.BytesIO(data), True, list(where), make_helpers())
    assert got["corners"] == where
    assert got["rows"] == [(row.number, [("r", str(row.number))] * row.write_r + list(row.attrs))
                           for row in rows if row.attrs]


@given(st.integers(1, 40))
def test_captures_end_where_their_end_tag_does(n):
    data = (f'<worksheet xmlns="{MAIN}"><sheetPr>abc &amp; d</sheetPr ><sheetData/>'
            f'<x:extLst xmlns:x="{MAIN}">t<![CDATA[c>]]></x:extLst></worksheet>').encode()
    parser = make_parser()
    parser.source = Trickle(data, n)
    assert [i[1] for i in parser.parse()] == [b"<sheetPr>abc &amp; d</sheetPr >",
                                              f'<x:extLst xmlns:x="{MAIN}">t<![CDATA[c>]]>'
                                              '</x:extLst>'.encode()]
