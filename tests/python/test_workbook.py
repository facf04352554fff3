"""The workbook and worksheet surface used to build files."""

import datetime as dt
import io
import zipfile

import pytest
from hypothesis import given, strategies as st

import brindle
from brindle.worksheet import Worksheet, WriteOnlyWorksheet


def test_sheets_and_titles():
    wb = brindle.Workbook()
    assert wb.sheetnames == ["Sheet"] and type(wb.active) is Worksheet
    assert wb.create_sheet().title == "Sheet2"
    wb.create_sheet("Data", index=0)
    assert wb.sheetnames == ["Data", "Sheet", "Sheet2"] and wb["Data"] is wb.active
    for bad in ("data", "a/b", "x" * 32, "", "'quoted'", 3):
        with pytest.raises(ValueError):
            wb.create_sheet(bad)
        with pytest.raises(ValueError):
            wb.worksheets[1].title = bad
    wb.active.title = "DATA"
    assert wb.sheetnames[0] == "DATA"
    wo = brindle.Workbook(write_only=True)
    assert wo.sheetnames == [] and type(wo.create_sheet()) is WriteOnlyWorksheet
    with pytest.raises(ValueError):
        brindle.Workbook(write_only=True).save("never-written.xlsx")


def test_appending_cells_and_limits():
    ws = brindle.Workbook().active
    ws["B2"] = 5
    ws.append(["x", None, brindle.Cell(ws, value="=B2")])
    assert ws["A3"].value == "x" and ws["C3"].data_type == "f" and (3, 2) not in ws._cells
    for row, column in ((0, 1), (1_048_577, 1), (1, 16_385), ("1", 1)):
        with pytest.raises(ValueError):
            ws.cell(row, column)
    wo = brindle.Workbook(write_only=True).create_sheet()
    with pytest.raises(TypeError):
        wo.append("abc")
    with pytest.raises(ValueError):
        wo.append([None] * 16_385)
    assert wo.max_row == 0


def test_a_reused_cell_is_written_once_per_row():
    wb = brindle.Workbook(write_only=True)
    ws = wb.create_sheet()
    cell = brindle.Cell(ws)
    cell.number_format = "0.00"
    cell.hyperlink = "https://example.com"
    for r in range(3):
        cell.value = r
        ws.append([None, cell])
    assert [link.ref for link in ws._hyperlinks] == ["B1", "B2", "B3"]
    out = io.BytesIO()
    ws._finish().copy_to(out)
    data = out.getvalue()
    assert data.count(b'<c r="B') == 3 and b'<c r="B3" s="1" t="n"><v>2</v></c>' in data


plain_values = (st.none() | st.booleans() | st.integers() | st.floats() | st.text(max_size=5)
                | st.sampled_from(["=A1", "#N/A", " x"]) | st.datetimes() | st.dates()
                | st.times() | st.timedeltas() | st.decimals(allow_nan=False))


@given(rows=st.lists(st.lists(plain_values, max_size=5), max_size=6), native=st.booleans())
def test_appended_values_are_written_as_cells_holding_them(rows, native):
    # Plain values take a shortcut past `Cell`; the file must be the one
    # written from cells that hold the same values.
    def saved(as_cells):
        wb = brindle.Workbook(write_only=True, native=native)
        ws = wb.create_sheet()
        for row in rows:
            try:
                ws.append([brindle.Cell(ws, value=v) if as_cells and v is not None else v
                           for v in row])
            except ValueError:
                pass
        out = io.BytesIO()
        wb.save(out)
        z = zipfile.ZipFile(out)
        return {name: z.read(name) for name in z.namelist()}

    assert saved(False) == saved(True)


texts = st.text(alphabet=st.characters(codec="utf-8") | st.sampled_from("\x01\x0b\t\n\r\ufffe=&<"),
                max_size=6)
row_values = (plain_values | texts | st.sampled_from(["#DIV/0!", "=", "==1", "\ud800", 2**70])
              | st.datetimes(timezones=st.just(dt.timezone.utc)))


@given(rows=st.lists(st.lists(row_values, max_size=5), max_size=8), lxml=st.booleans(),
       iso=st.booleans(), date1904=st.booleans(), switch_epoch=st.booleans())
def test_rows_of_plain_values_take_any_path_to_the_same_file(rows, lxml, iso, date1904,
                                                             switch_epoch):
    # Lists and tuples of plain values go to the engine as they are, other
    # iterables through cells, and without the engine through the pure-Python
    # writer: the same parts and the same errors, also when the workbook's
    # epoch changes between rows.
    def saved(native, form):
        wb = brindle.Workbook(write_only=True, native=native, lxml=lxml, iso_dates=iso)
        wb.date1904 = date1904
        ws = wb.create_sheet()
        errors = []
        for i, row in enumerate(rows):
            if switch_epoch and i == len(rows) // 2:
                wb.date1904 = not date1904
            try:
                ws.append(form(row))
            except ValueError as exc:
                errors.append((i, type(exc).__name__, str(exc)))
        out = io.BytesIO()
        wb.save(out)
        z = zipfile.ZipFile(out)
        return {name: z.read(name) for name in z.namelist()}, errors

    want = saved(False, list)
    assert saved(True, list) == want
    assert saved(True, tuple) == want
    assert saved(True, iter) == want
