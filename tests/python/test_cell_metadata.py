"""Cell and value metadata indexes (`cm` and `vm` on a cell) through a load and
a save: kept as the file had them, written back after `t` as applications
write them, the same bytes from the engine and from pure Python, and gone
once the program sets the cell's value, which they described."""

import io
import re
import zipfile

import pytest

import brindle
import corpus
from brindle._native import native_engine
from loaded import load, saved
from sheetgen import MAIN, package

NATIVE = brindle.native_available()

# A dynamic-array formula, a picture in a cell, a data-type cell, both indexes
# on one cell (written vm first), an empty cell with one and a plain cell.
SHEET = (
    f'<worksheet xmlns="{MAIN}"><sheetData><row r="1">'
    '<c r="A1" cm="1"><f t="array" ref="A1:A2">_xlfn._xlws.SORT(B1:B2)</f><v>2</v></c>'
    '<c r="B1" t="e" vm="1"><v>#VALUE!</v></c>'
    '<c r="C1" s="1" t="s" vm="2"><v>0</v></c>'
    '<c vm="3" r="D1" cm="2" t="e"><f>_xlfn.IMAGE("u")</f><v>#VALUE!</v></c>'
    '<c r="E1" s="1" cm="4"/>'
    '<c r="F1"><v>7</v></c>'
    '</row><row r="2"><c r="A2" cm="1"><v>1</v></c></row></sheetData></worksheet>')

WANT = {
    "A1": [("r", "A1"), ("cm", "1")],
    "B1": [("r", "B1"), ("t", "e"), ("vm", "1")],
    "C1": [("r", "C1"), ("s", "1"), ("t", "inlineStr"), ("vm", "2")],
    "D1": [("r", "D1"), ("t", "e"), ("cm", "2"), ("vm", "3")],
    "E1": [("r", "E1"), ("s", "1"), ("t", "n"), ("cm", "4")],
    "F1": [("r", "F1"), ("t", "n")],
    "A2": [("r", "A2"), ("t", "n"), ("cm", "1")],
}

BACKENDS = [pytest.param(True, id="native"), pytest.param(False, id="pure")]


def sheet_part(data, name="xl/worksheets/sheet1.xml"):
    with zipfile.ZipFile(io.BytesIO(data)) as z:
        return z.read(name)


def cell_tags(xml):
    """{reference: [(attribute, value), ...]} of every cell tag, in written order."""
    out = {}
    for tag in re.findall(rb"<c ([^>]*?)/?>", xml):
        pairs = [(k.decode(), v.decode()) for k, v in re.findall(rb'(\w+)="([^"]*)"', tag)]
        out[dict(pairs)["r"]] = pairs
    return out


def book(native, **kw):
    return load(package(SHEET, strings=["in a cell"]), native=native, strict=False, **kw)


@pytest.mark.parametrize("native", BACKENDS)
def test_indexes_come_back_after_the_type(native):
    wb = book(native)
    assert cell_tags(sheet_part(saved(wb))) == WANT
    # What the file held stays readable as before.
    ws = wb["S"]
    assert [ws[k].value for k in ("B1", "C1", "D1", "F1")] == [
        "#VALUE!", "in a cell", '=_xlfn.IMAGE("u")', 7]


def test_engine_and_pure_python_write_the_same_sheet():
    assert sheet_part(saved(book(True))) == sheet_part(saved(book(False)))


# The engine's own store is the subject; a pure-Python install has none (the
# pure path is covered by every other test here); under CI a skip fails the run.
@pytest.mark.skipif(not NATIVE, reason="needs the engine")
@pytest.mark.parametrize("parser_kw", [{}, {"data_only": True}, {"formula_and_value": True}],
                         ids=["formulas", "data-only", "both"])
def test_the_engine_keeps_the_indexes_the_host_keeps(parser_kw):
    from brindle.reader.worksheet import iter_items
    from testkit import Cell, make_helpers, make_parser
    m = native_engine()
    from bind_check import STYLES as styles
    # The tag read by the general path, or the fast path tried first; a
    # repeated cell drops what the first one named.
    for sheet in (SHEET, SHEET.replace(' cm="1"', "", 1),
                  SHEET.replace('<c r="F1">', '<c r="D1"><v>1</v></c><c r="F1">')):
        kw = dict(parser_kw, shared_strings=["x"])
        store = m.CellStore()
        m.bind_cells(io.BytesIO(sheet.encode()), make_parser(**kw), "ws", store, styles, Cell,
                     make_helpers(), [])
        want = {}
        for item in iter_items(io.BytesIO(sheet.encode()), make_parser(**kw), make_helpers(),
                               as_read=True):
            if item[0] == "row":
                want.update({(c[0], c[1]): c[7] for c in item[2]})
        assert {k: store[k]._as_read for k in store} == want
    # Streaming keeps nothing of a cell but its value.
    with brindle.load_workbook(io.BytesIO(package(SHEET, strings=["x"])),
                               read_only=True) as ro:
        native_rows = list(ro["S"].iter_rows(values_only=True))
    with brindle.load_workbook(io.BytesIO(package(SHEET, strings=["x"])), read_only=True,
                               native=False) as ro:
        assert list(ro["S"].iter_rows(values_only=True)) == native_rows


@pytest.mark.parametrize("native", BACKENDS)
def test_the_xlsxwriter_dynamic_array_keeps_its_index(native, tmp_path):
    pytest.importorskip("xlsxwriter")
    path = tmp_path / "book.xlsx"
    corpus.xlsxwriter_book(path)
    with zipfile.ZipFile(path) as z:
        names = z.namelist()
        sheet = next(n for n in names if n.startswith("xl/worksheets/sheet")
                     and b' cm="1"' in z.read(n))
        before = cell_tags(z.read(sheet))["G1"]
    assert ("cm", "1") in before
    wb = load(str(path), native=native, strict=False)
    out = saved(wb)
    after = cell_tags(sheet_part(out, sheet))["G1"]
    assert after[-1] == ("cm", "1") and [k for k, _ in after].count("cm") == 1
    # The metadata part the index names is carried with it.
    with zipfile.ZipFile(io.BytesIO(out)) as z:
        assert "xl/metadata.xml" in z.namelist()
    if native:
        pure = saved(load(str(path), native=False))
        assert sheet_part(out, sheet) == sheet_part(pure, sheet)


def set_formula(ws):
    ws["A1"] = "=SUM(B1:B2)"


def set_same_formula(ws):
    ws["A1"] = ws["A1"].value


def set_style(ws):
    ws["A1"].font = brindle.Font(bold=True)
    ws["D1"].font = brindle.Font(bold=True)


def set_other_cell(ws):
    ws["F1"] = 8


def delete_and_recreate(ws):
    del ws["D1"]
    ws["D1"] = "#VALUE!"


@pytest.mark.parametrize("native", BACKENDS)
@pytest.mark.parametrize("edit, a1_keeps, d1_keeps", [
    (set_formula, False, True),
    (set_same_formula, False, True),
    (set_style, True, True),
    (set_other_cell, True, True),
    (delete_and_recreate, True, False),
])
def test_setting_a_value_drops_its_indexes(native, edit, a1_keeps, d1_keeps):
    wb = book(native)
    edit(wb["S"])
    tags = cell_tags(sheet_part(saved(wb)))
    assert (("cm", "1") in tags["A1"]) == a1_keeps
    assert (("vm", "3") in tags["D1"]) == d1_keeps
    assert ("cm", "2") in tags["D1"] if d1_keeps else "cm" not in dict(tags["D1"])
    # The cells nobody touched keep theirs.
    assert tags["B1"] == WANT["B1"] and tags["A2"] == WANT["A2"]


@pytest.mark.parametrize("native", BACKENDS)
def test_data_only_drops_the_formula_index_with_the_formula(native):
    tags = cell_tags(sheet_part(saved(book(native, data_only=True))))
    # A1 and D1 lose their formulas, and with them what cm said of them;
    # vm describes the value, which stays. A2 never had a formula.
    assert tags["A1"] == [("r", "A1"), ("t", "n")]
    assert tags["D1"] == [("r", "D1"), ("t", "e"), ("vm", "3")]
    assert tags["B1"] == WANT["B1"] and tags["A2"] == WANT["A2"]
