"""Rows and sheet data from the pure-Python writer, and the switch between
the native writer and it."""

import io
import zipfile

import pytest
from hypothesis import given, strategies as st

import brindle
from brindle.writer import rows as rows_mod
from brindle.writer import sheet as sheet_mod
from brindle.writer.cell import make_writer_helpers
from brindle.writer.rows import row_attributes, write_row, write_rows


def text(out):
    return out.decode("ascii") if isinstance(out, bytes) else out


both_modes = pytest.mark.parametrize("lxml", [False, True], ids=["etree", "lxml"])


@both_modes
def test_row_forms(lxml):
    wb = brindle.Workbook(write_only=True)
    ws = wb.create_sheet()
    assert text(write_row(ws, [], 5, lxml)) == '<row r="5"></row>'
    ws.row_dimensions[7].height = 15
    cells = [brindle.Cell(ws, 7, 1), brindle.Cell(ws, 7, 2, 3)]  # the first is skipped
    assert text(write_row(ws, cells, 7, lxml)) == (
        '<row r="7" ht="15" customHeight="1"><c r="B7" t="n"><v>3</v></c></row>')


def test_row_dimension_may_replace_r_and_keeps_it_first():
    class Dim:
        def __iter__(self):
            return iter([("spans", "1:2"), ("r", "9")])

    ws = brindle.Workbook().active
    ws.row_dimensions[3] = Dim()
    assert row_attributes(ws, 3) == {"r": "9", "spans": "1:2"}
    assert write_row(ws, [], 3) == '<row r="9" spans="1:2"></row>'


@both_modes
def test_comments_are_recorded_and_keep_empty_cells(lxml):
    ws = brindle.Workbook().active
    noted = ws.cell(1, 1)
    noted.comment = brindle.Comment("hi", "me")
    plain = ws.cell(1, 2)
    styled = ws.cell(1, 3)
    styled.number_format = "0.00"
    out = text(write_row(ws, [noted, plain, styled], 1, lxml))
    short = "></c>" if lxml else " />"
    assert out == f'<row r="1"><c r="A1" t="n"{short}<c r="C1" s="1" t="n"{short}</row>'
    assert ws._comments == [("A1", noted.comment)]


@both_modes
def test_sheet_data_order_and_dimension_rows(lxml):
    ws = brindle.Workbook().active
    ws.cell(4, 2, "b")
    ws.cell(2, 3, 1)
    ws.cell(4, 1, "a")
    ws.cell(2, 1, 2)
    ws.row_dimensions[3].hidden = True
    ws.row_dimensions[2].height = 20
    pieces = []
    write_rows(ws, pieces.append, lxml)
    out = "".join(map(text, pieces))
    assert out == (
        '<sheetData><row r="2" ht="20" customHeight="1"><c r="A2" t="n"><v>2</v></c>'
        '<c r="C2" t="n"><v>1</v></c></row><row r="3" hidden="1"></row>'
        '<row r="4"><c r="A4" t="inlineStr"><is><t>a</t></is></c>'
        '<c r="B4" t="inlineStr"><is><t>b</t></is></c></row></sheetData>')


@both_modes
def test_sheet_data_comes_in_pieces(lxml, monkeypatch):
    monkeypatch.setattr(rows_mod, "_CHUNK", 100)
    ws = brindle.Workbook().active
    for r in range(1, 51):
        ws.append([r, f"row {r}"])
    pieces = []
    write_rows(ws, pieces.append, lxml)
    assert len(pieces) > 5
    whole = []
    monkeypatch.setattr(rows_mod, "_CHUNK", 1 << 30)
    ws._hyperlinks.clear()
    write_rows(ws, whole.append, lxml)
    assert len(whole) == 1 and "".join(map(text, pieces)) == text(whole[0])


def test_empty_sheet_data():
    for lxml in (False, True):
        pieces = []
        write_rows(brindle.Workbook().active, pieces.append, lxml)
        assert "".join(map(text, pieces)) == "<sheetData></sheetData>"


# -- switching between the native writer and the pure one ---------------------------

class FakeFallback(Exception):
    pass


class FakeWriter:
    """Stands in for the native writer: it buffers text, flushes at row ends
    past a threshold, hands every cell to the host's cell writer and declines
    rows holding the value "decline" part way through."""

    threshold = 200

    def __init__(self, ws, write, lxml, helpers):
        self.ws, self.write, self.lxml, self.helpers = ws, write, lxml, helpers
        self.buffer = []
        self.calls = 0

    def write_row(self, cells, row_idx):
        attrs = row_attributes(self.ws, row_idx)
        self.buffer.append("<row" + "".join(f' {k}="{v}"' for k, v in attrs.items()) + ">")
        for cell, styled in rows_mod.cells_to_write(self.ws, cells):
            if cell._value == "decline":
                raise FakeFallback("unsupported")
            self.buffer.append(text(self.helpers["write_cell"](self.ws, cell, styled)))
        self.buffer.append("</row>")
        if sum(map(len, self.buffer)) >= self.threshold:
            self.flush()

    def flush(self):
        if self.buffer:
            data = "".join(self.buffer)
            self.write(data.encode() if self.lxml else data)
            self.buffer = []
            self.calls += 1


class FakeEngine:
    NativeFallback = FakeFallback
    SheetWriter = FakeWriter


def sheet_xml(wb):
    out = io.BytesIO()
    wb.save(out)
    return zipfile.ZipFile(out).read("xl/worksheets/sheet1.xml")


def fill(ws):
    for r in range(1, 40):
        cell = brindle.Cell(ws, value=f"link {r}")
        cell.hyperlink = f"https://example.com/{r}"
        cell.comment = brindle.Comment(f"note {r}")
        ws.append([r, "decline" if r % 7 == 0 else f"text {r}", cell, r / 4])


@both_modes
def test_declined_rows_are_rewritten_in_python(lxml, monkeypatch):
    monkeypatch.setattr(sheet_mod, "native_engine", lambda: FakeEngine)
    wb = brindle.Workbook(write_only=True, lxml=lxml)
    ws = wb.create_sheet()
    fill(ws)
    assert ws._stream.is_native
    reference = brindle.Workbook(write_only=True, lxml=lxml, native=False)
    fill(reference.create_sheet())
    assert sheet_xml(wb) == sheet_xml(reference)
    assert [h.ref for h in ws._hyperlinks] == [f"C{r}" for r in range(1, 40)]
    assert [ref for ref, _ in ws._comments] == [f"C{r}" for r in range(1, 40)]


@both_modes
def test_a_failing_row_leaves_no_trace(lxml, monkeypatch):
    monkeypatch.setattr(sheet_mod, "native_engine", lambda: FakeEngine)
    wb = brindle.Workbook(write_only=True, lxml=lxml)
    ws = wb.create_sheet()
    ws.append(["before"])
    bad = brindle.Cell(ws, value="x")
    bad._value = "bad\ud800"  # a lone surrogate: no workbook holds it
    with pytest.raises(brindle.IllegalCharacterError):
        ws.append(["partial", bad])
    ws._max_row = 1
    ws.append(["after"])
    reference = brindle.Workbook(write_only=True, lxml=lxml, native=False)
    rws = reference.create_sheet()
    rws.append(["before"])
    rws.append(["after"])
    assert sheet_xml(wb) == sheet_xml(reference)


def test_normal_sheets_fall_back_whole(monkeypatch):
    class Declining(FakeWriter):
        def write_sheet_data(self, rows_fallback):
            self.write("<sheetData><row")
            raise FakeFallback("row dimension keys")

    class Engine(FakeEngine):
        SheetWriter = Declining

    monkeypatch.setattr(sheet_mod, "native_engine", lambda: Engine)
    wb = brindle.Workbook()
    wb.active["B2"] = "x"
    assert b"<sheetData><row r=\"2\"><c r=\"B2\"" in sheet_xml(wb)


def test_helpers_given_to_the_engine(monkeypatch):
    seen = []

    class Recording(FakeWriter):
        def __init__(self, ws, write, lxml, helpers):
            seen.append((ws, lxml, helpers))
            raise FakeFallback("unsupported: not available in this build")

    class Engine(FakeEngine):
        SheetWriter = Recording

    monkeypatch.setattr(sheet_mod, "native_engine", lambda: Engine)
    wb = brindle.Workbook(write_only=True, lxml=True)
    ws = wb.create_sheet()
    ws.append([1])
    assert seen == [(ws, True, make_writer_helpers(True))]
    assert not ws._stream.is_native


def test_without_an_engine(monkeypatch):
    import sys

    from brindle import _native as engine_mod

    monkeypatch.setitem(sys.modules, "brindle._brindle", None)  # import fails
    monkeypatch.setattr(engine_mod, "_engine", engine_mod._UNSET)
    assert engine_mod.native_engine() is None
    wb = brindle.Workbook(write_only=True)
    ws = wb.create_sheet()
    ws.append([1, "x"])
    assert not ws._stream.is_native
    assert b'<c r="B1" t="inlineStr"><is><t>x</t></is></c>' in sheet_xml(wb)


# Both forms must carry the same document.
cell_values = (st.none() | st.booleans() | st.floats() | st.integers(-2**70, 2**70)
               | st.text(st.characters(codec="utf-8", exclude_categories=["Cs", "Cc"],
                                       exclude_characters="\ufffe\uffff"), max_size=8)
               | st.sampled_from(["=A1", " a", "\t", "#REF!", "line\nbreak", "cr\r\nlf"]))


XML_SPACE = "{http://www.w3.org/XML/1998/namespace}space"


def infoset(el):
    # The ElementTree form differs in meaning in two known ways: a raw
    # carriage return in text reads back as a line feed, and all-whitespace
    # inline text carries no xml:space mark. Both are normalised away here.
    text = (el.text or "").replace("\r\n", "\n").replace("\r", "\n")
    attrib = {k: v for k, v in el.attrib.items() if k != XML_SPACE}
    return (el.tag, attrib, text, [infoset(child) for child in el])


@given(st.lists(st.lists(cell_values, max_size=6), max_size=6),
       st.sets(st.integers(1, 8), max_size=3))
def test_both_forms_mean_the_same(rows, hidden):
    from lxml import etree

    docs = []
    for lxml in (False, True):
        ws = brindle.Workbook().active
        for row in rows:
            ws.append(row)
        for r in hidden:
            ws.row_dimensions[r].hidden = True
        pieces = []
        write_rows(ws, pieces.append, lxml)
        docs.append(etree.fromstring("".join(map(text, pieces)).encode()))
    assert infoset(docs[0]) == infoset(docs[1])
