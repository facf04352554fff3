"""A loaded cell keeps what was read until the program changes it: the cached
results of formulas (with their types) and numbers whose date would not give
them back, written again as the file held them, by the engine and by pure
Python alike (same cells, same saved bytes, both serialisers); applications
that do not recalculate see the cached values of a saved workbook."""

import datetime as dt
import io
import math
import re
import warnings
import zipfile

import pytest

import brindle
import sheetgen as gen
from brindle._native import native_engine
from brindle.cell.rich_text import CellRichText, InlineFont, TextBlock
from brindle.worksheet.store import cell_store_class

from apps import libreoffice, needs_libreoffice
from loaded import load, saved
from sheetgen import package

NATIVE_STORE = cell_store_class() is not None

# One cell per case: (reference, <c> as read, <c> as an unedited save writes
# it in the ElementTree form, the value loaded). Style 1 shows dates.
CELLS = [
    ("A1", '<c r="A1"><f>1+2</f><v>3</v></c>', '<c r="A1"><f>1+2</f><v>3</v></c>', "=1+2"),
    ("B1", '<c r="B1" t="str"><f>"a"&amp;"b"</f><v>a&amp;b &lt;x&gt;</v></c>',
     '<c r="B1" t="str"><f>"a"&amp;"b"</f><v>a&amp;b &lt;x&gt;</v></c>', '="a"&"b"'),
    ("C1", '<c r="C1" t="b"><f>1=1</f><v>1</v></c>', '<c r="C1" t="b"><f>1=1</f><v>1</v></c>',
     "=1=1"),
    ("D1", '<c r="D1" t="e"><f>1/0</f><v>#DIV/0!</v></c>',
     '<c r="D1" t="e"><f>1/0</f><v>#DIV/0!</v></c>', "=1/0"),
    # A number cached with its own spelling, and a date-styled result.
    ("E1", '<c r="E1" s="1"><f>A1*2</f><v>6.50E0</v></c>',
     '<c r="E1" s="1"><f>A1*2</f><v>6.50E0</v></c>', "=A1*2"),
    # Shared formulas: the master and a dependent keep their own results.
    ("A2", '<c r="A2"><f t="shared" ref="A2:A3" si="0">A1+1</f><v>4</v></c>',
     '<c r="A2"><f>A1+1</f><v>4</v></c>', "=A1+1"),
    ("A3", '<c r="A3"><f t="shared" si="0"/><v>5</v></c>', '<c r="A3"><f>A2+1</f><v>5</v></c>',
     "=A2+1"),
    # A result in the string table and an empty one are not kept.
    ("B2", '<c r="B2" t="s"><f>"x"</f><v>0</v></c>', '<c r="B2"><f>"x"</f><v /></c>', '="x"'),
    ("C2", '<c r="C2"><f>NOW()</f><v></v></c>', '<c r="C2"><f>NOW()</f><v /></c>', "=NOW()"),
    # The fictitious 1900-02-29 and a date past 9999: the numbers as read.
    ("A4", '<c r="A4" s="1"><v>60</v></c>', '<c r="A4" s="1" t="n"><v>60</v></c>', None),
    ("B4", '<c r="B4" s="1"><v>60.5</v></c>', '<c r="B4" s="1" t="n"><v>60.5</v></c>', None),
    ("C4", '<c r="C4" s="1"><v>2958466</v></c>', '<c r="C4" s="1" t="n"><v>2958466</v></c>',
     "#VALUE!"),
    # Their neighbours convert back exactly and are written from their values.
    ("D4", '<c r="D4" s="1"><v>61</v></c>', '<c r="D4" s="1" t="n"><v>61</v></c>', None),
    ("E4", '<c r="E4" s="1"><v>59.0</v></c>', '<c r="E4" s="1" t="n"><v>59</v></c>', None),
    # Infinities: no number text gives them back, the one read does.
    ("A5", '<c r="A5"><v>1e999</v></c>', '<c r="A5" t="n"><v>1e999</v></c>', math.inf),
    ("B5", '<c r="B5"><v>-1E400</v></c>', '<c r="B5" t="n"><v>-1E400</v></c>', -math.inf),
    # Ints past 2**53, which would be written as the nearest double.
    ("C5", '<c r="C5"><v>100000000000000000000000</v></c>',
     '<c r="C5" t="n"><v>100000000000000000000000</v></c>', 10**23),
    ("D5", '<c r="D5"><v>-9007199254740993</v></c>',
     '<c r="D5" t="n"><v>-9007199254740993</v></c>', -(2**53 + 1)),
    # The empty text, which written from its value would be an empty cell.
    ("E5", '<c r="E5" t="inlineStr"><is><t></t></is></c>', '<c r="E5" t="inlineStr"><is /></c>',
     ""),
]


def sheet(cells=CELLS):
    rows = {}
    for ref, xml, _, _ in cells:
        rows.setdefault(int(ref[1:]), []).append(xml)
    body = "".join(f'<row r="{r}">{"".join(c)}</row>' for r, c in sorted(rows.items()))
    return (f'<worksheet xmlns="{gen.MAIN}"><sheetData>{body}</sheetData></worksheet>').encode()


def sheet_part(data):
    with zipfile.ZipFile(io.BytesIO(data)) as z:
        name = next(n for n in z.namelist()
                    if n.startswith("xl/worksheets/") and n.endswith(".xml"))
        return z.read(name).decode()


def c_elements(part):
    """{reference: the <c> element's text} of a worksheet part."""
    return {m.group(1): m.group(0)
            for m in re.finditer(r'<c r="([A-Z]+[0-9]+)"(?:[^>]*?/>|.*?</c>)', part)}


def lxml_form(xml):
    """The ElementTree form of a <c> as lxml's writer gives it."""
    return xml.replace("<v />", "<v></v>").replace("<is />", "<is/>")


def quiet_load(data, native=True, **kw):
    """`load`, with the warning of the date past 9999 taken as read."""
    with warnings.catch_warnings():
        # C4 holds a serial past 9999-12-31 on purpose (a kept value); its
        # warning is the subject of test_an_unedited_save_writes_cells_as_they_were_read,
        # and only that exact message is let through unseen here.
        warnings.filterwarnings("ignore", "Cell C4 is marked as a date")
        return load(data, native=native, **kw)


def load_both(data, **kw):
    """The workbook loaded by the engine and by pure Python, with their warnings."""
    out = []
    for native in (True, False):
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            wb = load(data, native=native, **kw)
        out.append((wb, [str(w.message) for w in caught]))
    return out


@pytest.mark.parametrize("lxml", [False, True], ids=["etree", "lxml"])
def test_an_unedited_save_writes_cells_as_they_were_read(lxml):
    data = package(sheet())
    (native, native_warnings), (pure, pure_warnings) = load_both(data)
    # The date past 9999 is still reported when the file is read.
    assert native_warnings == pure_warnings and len(native_warnings) == 1
    for wb in (native, pure):
        ws = wb["S"]
        assert not ws._cells_changed
        for ref, _, _, value in CELLS:
            if value is not None:
                assert ws[ref].value == value, ref
        # The fictitious leap day still reads as the day before.
        assert ws["A4"].value == dt.datetime(1900, 2, 28)
        wb.lxml = lxml
    native_bytes, pure_bytes = saved(native), saved(pure)
    native_part, pure_part = sheet_part(native_bytes), sheet_part(pure_bytes)
    assert native_part == pure_part
    got = c_elements(native_part)
    for ref, _, want, _ in CELLS:
        assert got[ref] == (lxml_form(want) if lxml else want), ref


def test_reading_a_cell_keeps_and_setting_it_drops_what_was_read():
    data = package(sheet())
    kept, edited = [], []
    for native in (True, False):
        wb = quiet_load(data, native=native)
        ws = wb["S"]
        assert ws["A1"].value == "=1+2" and ws["A4"].value  # reads materialise, change nothing
        ws["E1"].font = brindle.Font(bold=True)  # a style is no edit of the value
        assert not ws._cells_changed
        kept.append(c_elements(sheet_part(saved(wb))))
        ws["B1"] = ws["B1"].value  # the same formula, assigned: the result may differ now
        ws["C4"].value = 7
        assert ws._cells_changed
        edited.append(c_elements(sheet_part(saved(wb))))
    assert kept[0] == kept[1] and edited[0] == edited[1]
    got = kept[0]
    assert got["A1"] == '<c r="A1"><f>1+2</f><v>3</v></c>'
    assert re.fullmatch(r'<c r="E1" s="\d+"><f>A1\*2</f><v>6.50E0</v></c>', got["E1"])
    # After an edit no cached result is trusted: any of them may depend on the
    # changed cells, and readers that do not recompute would show it.
    got = edited[0]
    assert got["A1"] == '<c r="A1"><f>1+2</f><v /></c>'
    assert got["B1"] == '<c r="B1"><f>"a"&amp;"b"</f><v /></c>'
    assert re.fullmatch(r'<c r="C4" s="\d+" t="n"><v>7</v></c>', got["C4"])
    assert re.fullmatch(r'<c r="E1" s="\d+"><f>A1\*2</f><v /></c>', got["E1"])
    # What is no formula result stays as read: serial 60, the fictitious leap day.
    assert "<v>60</v>" in got["A4"]


@pytest.mark.parametrize("edit", ["delete", "new cell", "append", "none"])
def test_the_sheet_tells_whether_a_cell_changed_since_loading(edit):
    data = package(sheet())
    for native in (True, False):
        ws = quiet_load(data, native=native)["S"]
        if edit == "delete":
            del ws["A1"]
        elif edit == "new cell":
            ws.cell(9, 9, "new")
        elif edit == "append":
            ws.append([brindle.Cell(ws, value=1)])
        assert ws._cells_changed is (edit != "none")


def test_a_new_workbook_keeps_nothing_as_read():
    wb = brindle.Workbook()
    ws = wb.active
    ws["A1"] = "=1+1"
    assert ws["A1"]._as_read is None and ws._cells_changed
    assert '<c r="A1"><f>1+1</f><v /></c>' in sheet_part(saved(wb))


@pytest.mark.parametrize("data_only", [False, True])
def test_data_only_and_the_1904_system(data_only):
    # Under data_only a formula's cached value is the cell's value; in the
    # 1904 system serial 60 is an ordinary day.
    xml = sheet([c for c in CELLS if c[0] in ("A1", "B1", "A4", "E4")])
    for date1904 in (False, True):
        data = package(xml, date1904=date1904)
        (native, nw), (pure, pw) = load_both(data, data_only=data_only)
        assert nw == pw
        parts = [sheet_part(saved(wb)) for wb in (native, pure)]
        assert parts[0] == parts[1]
        got = c_elements(parts[0])
        assert got["A4"] == '<c r="A4" s="1" t="n"><v>60</v></c>'
        assert native["S"]["A4"].value == (dt.datetime(1900, 2, 28) if not date1904
                                           else dt.datetime(1904, 3, 1))
        if data_only:
            assert native["S"]["A1"].value == 3 and got["A1"] == '<c r="A1" t="n"><v>3</v></c>'
        else:
            assert got["A1"] == '<c r="A1"><f>1+2</f><v>3</v></c>'


def test_a_repeated_cell_keeps_what_its_last_copy_held():
    xml = sheet([("A1", '<c r="A1"><f>1</f><v>1</v></c><c r="B1"><v>2</v></c>'
                        '<c r="A1"><v>5</v></c><c r="B1"><f>2</f><v>2</v></c>', "", None)])
    parts = []
    for native in (True, False):
        wb = load(package(xml), native=native)
        parts.append(c_elements(sheet_part(saved(wb))))
    assert parts[0] == parts[1]
    assert parts[0]["A1"] == '<c r="A1" t="n"><v>5</v></c>'
    assert parts[0]["B1"] == '<c r="B1"><f>2</f><v>2</v></c>'


# Both tests look inside the engine's cell store; a pure-Python install keeps
# cells in a dict, which the other tests cover. Under CI a skip fails the run.
@pytest.mark.skipif(not NATIVE_STORE, reason="the engine's store is not in this build")
def test_the_engine_writes_kept_values_without_making_cells():
    # The empty text is the host writer's to write: a cell is made for it.
    data = package(sheet([c for c in CELLS if c[3] != ""]))
    wb = quiet_load(data)
    store = wb["S"]._cells
    before = store._stats()[1]
    part = sheet_part(saved(wb))
    assert store._stats()[1] == before  # no cell was materialised to write it
    assert '<c r="B1" t="str"><f>"a"&amp;"b"</f><v>a&amp;b &lt;x&gt;</v></c>' in part


@pytest.mark.skipif(not NATIVE_STORE, reason="the engine's store is not in this build")
def test_the_pure_loader_fills_a_store_with_the_same_kept_values(monkeypatch):
    # The engine's loader declines: the pure-Python one fills the same store.
    data = package(sheet())
    native = quiet_load(data)
    engine = native_engine()

    def decline(*args):
        raise engine.NativeFallback("test")

    monkeypatch.setattr(engine, "bind_cells", decline)
    fallback = quiet_load(data, strict=False)
    a, b = native["S"], fallback["S"]
    assert {k: a._cells[k]._as_read for k in list(a._cells)} == \
        {k: b._cells[k]._as_read for k in list(b._cells)}


@needs_libreoffice
def test_cached_values_survive_a_save_for_readers_that_do_not_recalculate(tmp_path):
    # LibreOffice computes the formulas and writes their results; after our
    # load and save, a reader that does not recalculate still sees them,
    # and LibreOffice opens the file and shows the same values.
    fods = tmp_path / "calc.fods"
    fods.write_text(FODS)
    home = tmp_path / "profile"
    src = libreoffice(fods, "xlsx", tmp_path, home)
    want = {"A1": 2, "B1": 6, "C1": "ab", "D1": True, "E1": "#DIV/0!"}
    results = []
    for native in (True, False):
        wb = load(src.read_bytes(), native=native)
        out = tmp_path / f"saved-{native}.xlsx"
        wb.save(out)
        results.append(out.read_bytes())
        seen = brindle.load_workbook(out, data_only=True)["Sheet1"]
        got = {ref: seen[ref].value for ref in want}
        assert got == want
    assert sheet_part(results[0]) == sheet_part(results[1])
    csv = libreoffice(tmp_path / "saved-True.xlsx", "csv", tmp_path / "csv", home)
    assert csv.read_text().splitlines()[0].split(",")[:5] == ["2", "6", "ab", "TRUE", "#DIV/0!"]


FODS = """<?xml version="1.0" encoding="UTF-8"?>
<office:document xmlns:office="urn:oasis:names:tc:opendocument:xmlns:office:1.0"
 xmlns:table="urn:oasis:names:tc:opendocument:xmlns:table:1.0"
 xmlns:text="urn:oasis:names:tc:opendocument:xmlns:text:1.0"
 xmlns:of="urn:oasis:names:tc:opendocument:xmlns:of:1.2"
 office:version="1.2" office:mimetype="application/vnd.oasis.opendocument.spreadsheet">
<office:body><office:spreadsheet><table:table table:name="Sheet1"><table:table-row>
<table:table-cell office:value-type="float" office:value="2"><text:p>2</text:p></table:table-cell>
<table:table-cell table:formula="of:=[.A1]*3"/>
<table:table-cell table:formula="of:=&quot;a&quot;&amp;&quot;b&quot;"/>
<table:table-cell table:formula="of:=[.A1]=2"/>
<table:table-cell table:formula="of:=1/0"/>
</table:table-row></table:table></office:spreadsheet></office:body></office:document>
"""


# -- rich text in shared strings ---------------------------------------------------------

SST = ('<si><t>plain</t></si>'
       '<si><r><rPr><b/><sz val="11"/><color rgb="FFFF0000"/></rPr><t>bold </t></r>'
       '<r><t xml:space="preserve"> tail</t></r></si>'
       '<si><t>head</t><r><rPr><i/></rPr><t>it</t></r><rPh sb="0" eb="1"><t>x</t></rPh></si>')
RICH_SHEET = sheet([("A1", '<c r="A1" t="s"><v>0</v></c><c r="B1" t="s"><v>1</v></c>'
                           '<c r="C1" t="s"><v>2</v></c><c r="D1" t="s"><v>1</v></c>', "", None)])


def with_table(sst, xml=RICH_SHEET):
    """An xlsx package of one sheet whose string table holds the items `sst`."""
    src = zipfile.ZipFile(io.BytesIO(package(xml)))
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w") as z:
        for name in src.namelist():
            data = src.read(name)
            if name == "xl/strings.xml":
                data = f'<sst xmlns="{gen.MAIN}">{sst}</sst>'.encode()
            z.writestr(name, data)
    return out.getvalue()


RICH_B1 = CellRichText(
    [TextBlock(InlineFont(b=True, sz="11", color={"rgb": "FFFF0000"}), "bold "), " tail"])
RICH_C1 = CellRichText(["head", TextBlock(InlineFont(i=True), "it")])


@pytest.mark.parametrize("read_only", [False, True], ids=["full", "read-only"])
def test_shared_strings_with_runs_read_as_rich_text(read_only):
    data = with_table(SST)
    got = []
    for native in (True, False):
        wb = brindle.load_workbook(io.BytesIO(data), rich_text=True, read_only=read_only,
                                   native=native)
        ws = wb["S"]
        row = next(ws.iter_rows(values_only=True))
        got.append(row)
    assert got[0] == got[1] == ("plain", RICH_B1, RICH_C1, RICH_B1)
    assert type(got[0][0]) is str


@pytest.mark.parametrize("lxml", [False, True], ids=["etree", "lxml"])
@pytest.mark.parametrize("rich_text", [False, True])
def test_runs_of_unchanged_cells_are_written_back(lxml, rich_text):
    data = with_table(SST)
    parts = []
    for native in (True, False):
        wb = load(data, native=native, rich_text=rich_text)
        ws = wb["S"]
        want_b1 = RICH_B1 if rich_text else "bold  tail"
        assert ws["B1"].value == want_b1 and ws["C1"].value == (RICH_C1 if rich_text else "headit")
        ws["D1"] = "now plain"
        wb.lxml = lxml
        parts.append(sheet_part(saved(wb)))
    assert parts[0] == parts[1]
    got = c_elements(parts[0])
    space = ' xml:space="preserve"'
    assert got["A1"] == '<c r="A1" t="inlineStr"><is><t>plain</t></is></c>'
    rpr = ('<rPr><b /><sz val="11" /><color rgb="FFFF0000" /></rPr>' if not lxml else
           '<rPr><b/><sz val="11"/><color rgb="FFFF0000"/></rPr>')
    assert got["B1"] == (f'<c r="B1" t="inlineStr"><is><r>{rpr}<t{space}>bold </t></r>'
                         f'<r><t{space}> tail</t></r></is></c>')
    assert got["D1"] == '<c r="D1" t="inlineStr"><is><t>now plain</t></is></c>'
    # Read back, the runs are those of the file.
    for native in (True, False):
        again = brindle.load_workbook(io.BytesIO(replace_sheet(data, parts[0])), rich_text=True,
                                      native=native)["S"]
        assert [again[ref].value for ref in ("B1", "C1")] == [RICH_B1, RICH_C1]
        assert str(again["A1"].value) == "plain"


def replace_sheet(data, part):
    """`data` with its worksheet part replaced by `part`."""
    src = zipfile.ZipFile(io.BytesIO(data))
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w") as z:
        for name in src.namelist():
            z.writestr(name, part.encode() if name.startswith("xl/worksheets/") else src.read(name))
    return out.getvalue()


def test_rich_text_can_be_assigned():
    wb = brindle.Workbook()
    ws = wb.active
    ws["A1"] = RICH_C1
    assert ws["A1"].data_type == "s"
    got = c_elements(sheet_part(saved(wb)))["A1"]
    assert got == ('<c r="A1" t="inlineStr"><is><r><t>head</t></r>'
                   '<r><rPr><i /></rPr><t>it</t></r></is></c>')


SERIALS = [str(n) for n in range(62)] + ["60.5", "59.5", "2958465", "2958465.5", "2958466",
                                          "3000000"]


@pytest.mark.parametrize("date1904", [False, True], ids=["1900", "1904"])
def test_serials_at_the_edges_of_the_calendar_are_written_back(date1904):
    """Serials 0 to 61 (the fictitious 1900-02-29 among them) and past
    9999-12-31, date-styled, come back from an unedited save as the file held
    them, natively and in pure Python."""
    cells = "".join(f'<row r="{r}"><c r="A{r}" s="1"><v>{v}</v></c></row>'
                    for r, v in enumerate(SERIALS, 1))
    data = package(f'<worksheet xmlns="{gen.MAIN}"><sheetData>{cells}</sheetData>'
                   '</worksheet>'.encode(), date1904=date1904)
    outs = []
    for native in (True, False):
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")  # the dates past 9999 warn at load
            wb = load(data, native=native)
        outs.append(saved(wb))
    assert sheet_part(outs[0]) == sheet_part(outs[1])
    got = c_elements(sheet_part(outs[0]))
    assert [re.search(r"<v>([^<]*)</v>", got[f"A{r}"]).group(1)
            for r in range(1, len(SERIALS) + 1)] == SERIALS
