"""load_workbook in full (editable) mode: the cells, styles and sheet properties of
generated and application-written files, the engine's loader against the pure-Python
one, and load-edit-save-load round trips."""

import datetime as dt
import io
import os
import random
import shutil
import subprocess
import warnings
import zipfile

import pytest
from hypothesis import given, settings, strategies as st

import brindle
import sheetgen as gen
from brindle.formula import ArrayFormula
from brindle.styles import Alignment, Border, Font, PatternFill
from brindle.worksheet.store import cell_store_class

from loaded import load, saved, snapshot
from sheetgen import package, refuse_at

xlsxwriter = pytest.importorskip("xlsxwriter")

NATIVE_STORE = cell_store_class() is not None
DOC_REL = "http://schemas.openxmlformats.org/officeDocument/2006/relationships"


def read_only_values(src, **kw):
    """{title: {(row, column): (value, data type)}} as the read-only reader gives them."""
    src = io.BytesIO(src) if isinstance(src, bytes) else src
    out = {}
    with brindle.load_workbook(src, read_only=True, **kw) as wb:
        for ws in wb.worksheets:
            out[ws.title] = {(c.row, c.column): (c.value, c.data_type)
                             for row in ws.iter_rows() for c in row
                             if hasattr(c, "row") and c.value is not None}
    return out


def full_values(wb):
    """The same for a loaded workbook, through row iteration."""
    return {ws.title: {(c.row, c.column): (c.value, c.data_type)
                       for row in ws.iter_rows() for c in row if c.value is not None}
            for ws in wb.worksheets}


def trim(rows):
    """Rows without trailing empty cells, without trailing empty rows."""
    out = []
    for row in rows:
        row = list(row)
        while row and row[-1] is None:
            row.pop()
        out.append(tuple(row))
    while out and not out[-1]:
        out.pop()
    return out


# -- generated worksheets ---------------------------------------------------------------


@settings(max_examples=30)
@given(seed=st.integers(0, 2**32), prefix=st.sampled_from(["", "x"]),
       newline=st.sampled_from(["", "\n  "]), date1904=st.booleans(), data_only=st.booleans(),
       refuse=st.none() | st.integers(0, 200))
def test_generated_sheets_native_and_pure_agree(seed, prefix, newline, date1904, data_only,
                                                 refuse):
    epoch = gen.MAC_EPOCH if date1904 else gen.WINDOWS_EPOCH
    rows, strings = gen.random_sheet(seed, epoch=epoch)
    sheet = gen.render(rows, gen.Syntax(prefix=prefix, newline=newline,
                                        shuffle=random.Random(seed)))
    if refuse is not None:
        sheet = refuse_at(sheet, refuse)
    data = package(sheet, strings, date1904)
    with warnings.catch_warnings(record=True) as native_warnings:
        warnings.simplefilter("always")
        native = load(data, data_only=data_only, strict=refuse is None)["S"]
    with warnings.catch_warnings(record=True) as pure_warnings:
        warnings.simplefilter("always")
        pure = load(data, native=False, data_only=data_only)["S"]
    assert snapshot(native) == snapshot(pure)
    assert [str(w.message) for w in native_warnings] == [str(w.message) for w in pure_warnings]
    if not data_only and refuse is None:
        expected = {(r, c): (value, dtype) for _, cells in gen.expected_rows(rows)
                    for r, c, value, dtype, _ in cells}
        got = {key: (cell.value, cell.data_type) for key, cell in
               ((k, native._cells[k]) for k in list(native._cells))}
        assert got == expected
    assert full_values(native.parent) == read_only_values(data, data_only=data_only)


@pytest.mark.parametrize("date1904", [False, True])
def test_dates_both_systems_and_shared_formulas(date1904):
    epoch = gen.MAC_EPOCH if date1904 else gen.WINDOWS_EPOCH
    rows = [gen.Row(1, [(2, gen.date_cell(0, epoch)), (3, gen.date_cell(45000, epoch)),
                        (4, gen.Cell(s="1", v="45000.25", style=1))]),
            gen.Row(2, [(1, gen.Cell(f="B2+C$1", f_attrs=(("t", "shared"), ("ref", "A2:A4"),
                                                          ("si", "0"))))]),
            gen.Row(3, [(1, gen.Cell(f="", f_attrs=(("t", "shared"), ("si", "0"))))]),
            gen.Row(4, [(1, gen.Cell(f="", f_attrs=(("t", "shared"), ("si", "0"))))]),
            gen.Row(5, [(1, gen.Cell(f="SUM(B1:B3)", f_attrs=(("t", "array"),
                                                              ("ref", "A5:A6"))))]),
            gen.Row(7, [(2, gen.Cell(f="", f_attrs=(("t", "dataTable"), ("ref", "B7:B8"),
                                                    ("dt2D", "1"), ("r1", "A1"),
                                                    ("r2", "A2"))))])]
    wb = load(package(gen.render(rows), date1904=date1904))
    ws = wb["S"]
    # Serial 0 is no day in the 1900 system, but the first day of the 1904 one.
    assert ws["B1"].value == (epoch if date1904 else dt.time(0)) and ws["B1"].is_date
    assert ws["C1"].value == epoch + dt.timedelta(days=45000 + (0 if date1904 else 0))
    assert ws["D1"].value == epoch + dt.timedelta(days=45000.25)
    assert ws["D1"].number_format == "mm-dd-yy"
    assert [ws.cell(r, 1).value for r in (2, 3, 4)] == ["=B2+C$1", "=B3+C$1", "=B4+C$1"]
    assert ws["A5"].value == ArrayFormula("A5:A6", "=SUM(B1:B3)")
    wb.lxml = date1904  # both serialisers, one per run
    again = load(saved(wb))["S"]
    assert snapshot(again)[:3] == snapshot(ws)[:3]
    assert again["A5"].value == ArrayFormula("A5:A6", "=SUM(B1:B3)")
    table = again["B7"].value
    assert table == ws["B7"].value and (table.ref, table.dt2D, table.r2) == ("B7:B8", "1", "A2")
    assert [again.cell(r, 1).value for r in (2, 3, 4)] == ["=B2+C$1", "=B3+C$1", "=B4+C$1"]
    assert again.parent.date1904 == date1904


# -- files written by other applications ---------------------------------------------------


def xlsxwriter_book(path, date1904=False):
    wb = xlsxwriter.Workbook(str(path), {"date_1904": date1904})
    ws = wb.add_worksheet("Kinds")
    bold = wb.add_format({"bold": True, "font_color": "#FF0000"})
    filled = wb.add_format({"bg_color": "#FFFF00", "border": 1, "text_wrap": True,
                            "align": "center", "locked": False})
    date = wb.add_format({"num_format": "yyyy-mm-dd hh:mm"})
    ws.write_row(0, 0, [42, -1.25, "text", True, False, 10**15])
    ws.write(1, 0, "bold", bold)
    ws.write(1, 1, 7.5, filled)
    ws.write_datetime(1, 2, dt.datetime(2024, 2, 29, 13, 30, 15), date)
    ws.write_formula(2, 0, "=A1*2", None, 84)
    ws.write_array_formula(2, 1, 3, 1, "{=A1:A2*2}", None, 0)
    ws.write_string(4, 0, "caf\u00e9 & <b>")
    ws.write_url(5, 0, "https://example.com/x", string="link")
    ws.write_comment(5, 1, "a note", {"author": "me"})
    ws.write(9, 5, "far")
    ws.set_column(0, 0, 25)
    ws.set_column(3, 5, 12)
    ws.set_row(2, 30)
    ws.set_row(11, None, bold)
    ws.set_column(7, 7, None, filled)
    ws.merge_range("D8:E9", "merged")
    ws.freeze_panes(1, 2)
    ws.conditional_format("A1:A3", {"type": "cell", "criteria": ">", "value": 5,
                                    "format": bold})
    ws.data_validation("G1", {"validate": "integer", "criteria": ">", "value": 0})
    other = wb.add_worksheet("Second")
    other.write(0, 0, "x")
    other.hide()
    wb.define_name("Total", "=Kinds!$A$1:$A$3")
    wb.close()
    return path


def check_kinds(wb, date1904):
    ws = wb["Kinds"]
    assert wb.sheetnames == ["Kinds", "Second"] and wb.date1904 == date1904
    assert [ws.sheet_state for ws in wb.worksheets] == ["visible", "hidden"]
    assert [(dn.name, dn.value) for dn in wb.defined_names if dn.name == "Total"] \
        == [("Total", "Kinds!$A$1:$A$3")]
    assert [c.value for c in ws[1]] == [42, -1.25, "text", True, False, 10**15]
    assert ws["C2"].value == dt.datetime(2024, 2, 29, 13, 30, 15) and ws["C2"].is_date
    assert ws["C2"].number_format == "yyyy-mm-dd hh:mm"
    assert ws["A2"].font.bold and ws["A2"].font.color == "FFFF0000"
    assert ws["B2"].fill == PatternFill("FFFF00")
    assert ws["B2"].border != Border() and ws["B2"].alignment.horizontal == "center"
    assert ws["B2"].alignment.wrapText == "1" and ws["B2"].protection.locked == "0"
    assert ws["A3"].value == "=A1*2" and ws["A3"].data_type == "f"
    assert ws["B3"].value == ArrayFormula("B3:B4", "=A1:A2*2")
    assert ws["A6"].hyperlink.target == "https://example.com/x"
    assert ws["B6"].comment.text == "a note" and ws["B6"].comment.author == "me"
    assert ws.column_dimensions["A"].width == pytest.approx(25.7109375, abs=1)
    assert ws.column_dimensions["D"].max == 6
    assert ws.row_dimensions[3].height == 30
    styles = wb._cell_styles
    assert wb._fonts[styles[ws.row_dimensions[12].style_id].fontId].bold
    assert wb._fills[styles[ws.column_dimensions["H"].style_id].fillId] == PatternFill("FFFF00")
    assert ws.merged_cells == ["D8:E9"]
    assert ws.freeze_panes == "C2"
    assert set(ws._kept) >= {"conditionalFormatting", "dataValidations"}
    assert (ws.max_row, ws.max_column, ws.calculate_dimension()) == (10, 6, "A1:F10")
    assert ws.row_dimensions[12].style_id and ws.column_dimensions["H"].style_id


@pytest.mark.parametrize("date1904", [False, True])
def test_xlsxwriter_file_loads_and_survives_a_save(tmp_path, date1904):
    path = xlsxwriter_book(tmp_path / "k.xlsx", date1904)
    wb = load(str(path))
    assert snapshot(wb["Kinds"]) == snapshot(load(str(path), native=False)["Kinds"])
    assert full_values(wb) == read_only_values(str(path))
    check_kinds(wb, date1904)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        again = load(saved(wb))
    check_kinds(again, date1904)
    assert full_values(again) == full_values(wb)
    archive = zipfile.ZipFile(io.BytesIO(saved(again)))
    assert b"<cfRule" in archive.read("xl/worksheets/sheet1.xml")
    assert archive.read("xl/theme/theme1.xml") == zipfile.ZipFile(path).read(
        "xl/theme/theme1.xml")


def test_gnumeric_file_loads_like_the_read_only_reader(tmp_path):
    ssconvert = shutil.which("ssconvert")
    # Gnumeric is an outside program: without it (a user's machine) this skips;
    # the development environment installs it, so there it runs (and fails if
    # it is missing), and under CI any skip fails the run.
    if ssconvert is None and not os.environ.get("BRINDLE_IN_DEVENV"):
        pytest.skip("ssconvert (gnumeric) is not installed")
    ssconvert = ssconvert or "ssconvert"
    src = xlsxwriter_book(tmp_path / "k.xlsx")
    out = tmp_path / "g.xlsx"
    subprocess.run([ssconvert, str(src), str(out)], check=True, capture_output=True,
                   timeout=120)
    wb = load(str(out), strict=False)
    assert full_values(wb) == read_only_values(str(out))
    assert "FFFFFF00" in repr(wb["Kinds"]["B2"].fill)
    assert full_values(load(saved(wb))) == full_values(wb)
    # What brindle saves from a loaded file (either one), Gnumeric reads back.
    for n, book in enumerate((wb, load(str(src)))):
        book["Kinds"]["A1"] = 43
        back = tmp_path / f"back{n}.xlsx"
        back.write_bytes(saved(book))
        csv_out = tmp_path / f"back{n}.csv"
        subprocess.run([ssconvert, str(back), str(csv_out)], check=True, capture_output=True,
                       timeout=120)
        first = csv_out.read_text().splitlines()[0].split(",")
        assert first[:3] == ["43", "-1.25", "text"]


# -- editing and saving --------------------------------------------------------------------


def test_load_edit_save_load_keeps_values_styles_and_layout():
    wb = brindle.Workbook()
    ws = wb.active
    ws.append(["name", "amount", "when"])
    ws.append(["a", 1.5, dt.date(2024, 1, 2)])
    ws["B2"].font = Font(italic=True, size=14)
    ws["A2"].alignment = Alignment(horizontal="right")
    ws.column_dimensions["C"].width = 18
    ws.row_dimensions[2].height = 22.5
    ws.merge_cells("A4:B5")
    ws.freeze_panes = "A2"

    ws = load(saved(wb)).active
    ws["D1"] = "total"
    ws["D2"] = "=B2*2"
    del ws["A1"]
    ws.append([None, 3])
    ws.unmerge_cells("A4:B5")
    ws.merge_cells("E1:F1")

    again = load(saved(ws.parent)).active
    assert trim(again.values) == [(None, "amount", "when", "total"),
                                  ("a", 1.5, dt.datetime(2024, 1, 2), "=B2*2"),
                                  (None, 3)]
    assert again["B2"].font == Font(italic=True, size=14)
    assert again["A2"].alignment == Alignment(horizontal="right")
    assert again["C2"].number_format == "yyyy-mm-dd"
    assert again.column_dimensions["C"].width == 18
    assert again.row_dimensions[2].height == 22.5
    assert (again.merged_cells, again.freeze_panes) == (["E1:F1"], "A2")


def test_unkept_parts_warn_and_known_elements_come_back():
    sheet = gen.render(
        [gen.Row(1, [(1, gen.number_cell(1))])],
        head=("<sheetPr><tabColor rgb='FF00FF00'/></sheetPr>",),
        tail=("<autoFilter ref='A1:A1'/>", "<pageMargins left='0.3' right='0.3' top='1' "
              "bottom='1' header='0.5' footer='0.5'/>",
              f"<pageSetup orientation='landscape' r:id='rId2' xmlns:r='{DOC_REL}'/>",
              f"<drawing r:id='rId9' xmlns:r='{DOC_REL}'/>",
              f"<extLst xmlns:r='{DOC_REL}'><ext uri='{{A}}'><q:x xmlns:q='urn:q'/></ext>"
              f"<ext uri='{{B}}'><q:y xmlns:q='urn:q' r:id='rId3'/></ext></extLst>"))
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        wb = load(package(sheet))
    assert sorted(str(w.message).split(":")[1].split()[0] for w in caught) == ["<drawing>", "an"]
    text = zipfile.ZipFile(io.BytesIO(saved(wb))).read("xl/worksheets/sheet1.xml").decode()
    assert "tabColor" in text and "autoFilter" in text and 'left="0.3"' in text
    assert 'orientation="landscape"' in text and "{A}" in text
    assert "drawing" not in text and "{B}" not in text and "rId" not in text
    assert text.index("sheetPr") < text.index("sheetData") < text.index("autoFilter") \
        < text.index("pageMargins")


@pytest.mark.parametrize("sheet,error", [
    (b"<worksheet xmlns='%s'><sheetData><row><c><v>1</v></c></row>" % gen.MAIN.encode(),
     Exception),
    (gen.render([gen.Row(1, [(1, gen.Cell(s="9", v="1"))])]), brindle.InvalidFileError),
])
def test_a_failed_load_raises_and_names_the_sheet(sheet, error):
    for native in (True, False):
        with pytest.raises(error) as info:
            load(package(sheet), native=native, strict=False)
        assert any("'S'" in note for note in getattr(info.value, "__notes__", ()))


# -- the worksheet's cells -------------------------------------------------------------------


class ModelStore:
    """The engine store's Python-visible interface over a dict, and nothing more: row
    iteration through `_row` creates cells as the engine does (no style, the store's
    sheet as parent, also for values_only), `_bounds` gives the extent."""

    def __init__(self, ws):
        self.ws = ws
        self.d = {}

    def __len__(self):
        return len(self.d)

    def __getitem__(self, key):
        return self.d[key]

    def __setitem__(self, key, value):
        self.d[key] = value

    def __delitem__(self, key):
        del self.d[key]

    def __contains__(self, key):
        return key in self.d

    def __iter__(self):
        return iter(self.d)

    def get(self, key, default=None):
        return self.d.get(key, default)

    def clear(self):
        self.d.clear()

    def _in_dict_mode(self):
        return False

    def _bounds(self):
        if not self.d:
            return None
        rows, cols = [k[0] for k in self.d], [k[1] for k in self.d]
        return min(rows), max(rows), min(cols), max(cols)

    def _row(self, row, min_col, max_col, values_only):
        out, created = [], False
        for column in range(min_col, max_col + 1):
            cell = self.d.get((row, column))
            if cell is None:
                cell = self.d[(row, column)] = self.ws._new_cell(row, column)
                created = True
            out.append(cell.value if values_only else cell)
        return tuple(out), created


@pytest.fixture(params=["new", "new-python", "new-model", "loaded", "loaded-python",
                        "loaded-model"])
def sheet(request, monkeypatch):
    """A sheet with 1 in A1, "b" in C2, 3 in B4: new or loaded, with the engine or
    without, or with a stand-in for the engine's store."""
    native = not request.param.endswith("python")
    if request.param.endswith("model"):
        from brindle.worksheet import worksheet as ws_mod

        monkeypatch.setattr(ws_mod, "new_cell_store", lambda native, ws: ModelStore(ws))
        monkeypatch.setattr(ws_mod, "is_cell_store", lambda cells: isinstance(cells, ModelStore))
    wb = brindle.Workbook(native=native)
    ws = wb.active
    ws["A1"], ws["C2"], ws["B4"] = 1, "b", 3
    if request.param.startswith("loaded"):
        # The engine fills only its own store; a stand-in is loaded in Python.
        ws = load(saved(wb), native=native and not request.param.endswith("model")).active
    return ws


def test_cell_access_and_extent(sheet):
    ws = sheet
    assert (ws.min_row, ws.max_row, ws.min_column, ws.max_column) == (1, 4, 1, 3)
    assert ws.calculate_dimension() == "A1:C4"
    assert ws["C2"] is ws.cell(2, 3) and ws["c2"].coordinate == "C2"
    assert ws.cell(2, 3, value=5).value == 5 and ws["C2"].data_type == "n"
    ws.append(["x"])
    assert ws["A5"].value == "x"
    n = len(ws._cells)
    assert ws["E9"].value is None and len(ws._cells) == n + 1
    assert ws.max_row == 9
    del ws["E9"]
    del ws["E9"]  # removing a missing cell does nothing
    assert (ws.max_row, len(ws._cells)) == (5, n)
    assert [[c.coordinate for c in row] for row in ws["A1:B2"]] == [["A1", "B1"], ["A2", "B2"]]
    with pytest.raises(ValueError):
        ws.cell(0, 1)


def test_iter_rows_creates_missing_cells_like_cell(sheet):
    ws = sheet
    assert list(ws.iter_rows(min_row=2, max_row=3, min_col=2, max_col=3, values_only=True)) \
        == [(None, "b"), (None, None)]
    rows = list(ws.iter_rows(max_row=2))
    assert [[c.coordinate for c in row] for row in rows] == [["A1", "B1", "C1"],
                                                             ["A2", "B2", "C2"]]
    created = rows[0][1]
    assert created is ws["B1"] and created._style is None and created.data_type == "n"
    assert created.number_format == "General" and not created.has_style
    created.font = Font(bold=True)
    assert ws["B1"].font.bold
    assert list(ws.values)[3] == (None, 3, None)
    assert [[c.coordinate for c in col] for col in ws.iter_cols(min_col=2, max_row=2)] == [
        ["B1", "B2"], ["C1", "C2"]]
    assert list(ws.iter_cols(max_col=1, values_only=True)) == [(1, None, None, None)]
    assert [row[0].coordinate for row in ws] == ["A1", "A2", "A3", "A4"]
    assert list(ws.iter_rows(min_row=3, max_row=2)) == []
    with pytest.raises(ValueError):
        list(ws.iter_rows(min_row=-1))


def test_iteration_over_an_empty_sheet():
    ws = brindle.Workbook().active
    assert list(ws.rows) == [] and list(ws.values) == []
    assert (ws.max_row, ws.max_column, ws.calculate_dimension()) == (1, 1, "A1")
    assert list(ws.iter_rows(max_row=1, max_col=2, values_only=True)) == [(None, None)]


def _store_kinds():
    kinds = ["python", "model"]
    return kinds + (["native"] if NATIVE_STORE else [])


def _sheet_with(kind):
    wb = brindle.Workbook(native=kind == "native")
    ws = wb.active
    if kind == "model":
        ws._cells = ModelStore(ws)
    return ws


def _row_form(ws, rows):
    return [tuple((c.row, c.column, c.value, c.data_type, c._style is None) for c in row)
            for row in rows]


_op = st.one_of(
    st.tuples(st.just("set"), st.integers(1, 6), st.integers(1, 5), st.integers(0, 99)),
    st.tuples(st.just("get"), st.integers(1, 6), st.integers(1, 5)),
    st.tuples(st.just("del"), st.integers(1, 6), st.integers(1, 5)),
    st.tuples(st.just("append"), st.lists(st.none() | st.integers(0, 9), max_size=4)),
    st.tuples(st.just("rows"), st.none() | st.integers(1, 7), st.none() | st.integers(1, 7),
              st.none() | st.integers(1, 6), st.none() | st.integers(1, 6), st.booleans()),
)


@settings(max_examples=60)
@given(ops=st.lists(_op, max_size=25))
def test_sheet_operations_agree_whatever_holds_the_cells(ops):
    sheets = {kind: _sheet_with(kind) for kind in _store_kinds()}
    for op in ops:
        seen = {}
        for kind, ws in sheets.items():
            if op[0] == "set":
                ws.cell(op[1], op[2]).value = op[3]
                result = None
            elif op[0] == "get":
                c = ws.cell(op[1], op[2])
                result = (c.coordinate, c.value, c.data_type)
            elif op[0] == "del":
                del ws[f"{'ABCDE'[op[2] - 1]}{op[1]}"]
                result = None
            elif op[0] == "append":
                ws.append(op[1])
                result = None
            else:
                rows = list(ws.iter_rows(*op[1:5], values_only=op[5]))
                result = rows if op[5] else _row_form(ws, rows)
            seen[kind] = (result, len(ws._cells), ws.max_row, ws.max_column,
                          ws.calculate_dimension(), ws._current_row, list(ws._cells))
        first = next(iter(seen.values()))
        assert all(v == first for v in seen.values()), (op, seen)
    # And they save alike.
    parts = {kind: zipfile.ZipFile(io.BytesIO(saved(ws.parent))).read("xl/worksheets/sheet1.xml")
             for kind, ws in sheets.items()}
    assert len(set(parts.values())) == 1
