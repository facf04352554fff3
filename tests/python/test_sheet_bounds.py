"""What a sheet can hold, on both sides of a file: a row or cell outside
A1:XFD1048576, or a text past the readers' element limit, is refused when it is
read (in both modes, by the engine and in pure Python alike) and when the
program puts it into a sheet, so that every file brindle saves it reads again."""

import io
import warnings

import pytest

import brindle
from brindle.cell.rich_text import CellRichText
from sheetgen import package

MAIN = "http://schemas.openxmlformats.org/spreadsheetml/2006/main"
ENGINE = [pytest.param(True, id="engine"), pytest.param(False, id="pure")]
MODES = [pytest.param(False, id="full"), pytest.param(True, id="read_only")]


def sheet(rows):
    return f'<worksheet xmlns="{MAIN}"><sheetData>{rows}</sheetData></worksheet>'.encode()


def load_all(data, native, read_only):
    """Every row's values, after loading `data` in the mode asked."""
    wb = brindle.load_workbook(io.BytesIO(data), read_only=read_only, native=native)
    ws = wb.worksheets[0]
    if read_only:
        return [row for row in ws.iter_rows(values_only=True)]
    return sorted((c.row, c.column, c.value) for c in map(ws._cells.get, list(ws._cells)))


@pytest.mark.parametrize("native", ENGINE)
@pytest.mark.parametrize("read_only", MODES)
@pytest.mark.parametrize("rows, named", [
    ('<row r="0"><c r="A1"><v>1</v></c></row>', "row 0 outside"),
    ('<row r="-1"><c><v>1</v></c></row>', "row -1 outside"),
    ('<row r="1"><c><v>1</v></c></row><row r="1048577" ht="20" customHeight="1"/>',
     "row 1048577 outside"),
    ('<row r="1048576"/><row><c><v>1</v></c></row>', "row 1048577 outside"),
    ('<row r="2"><c r="XFE2"><v>1</v></c></row>', "cell XFE2 outside"),
    ('<row r="2"><c r="A1048577"><v>1</v></c></row>', "cell A1048577 outside"),
    ('<row r="3"><c r="XFD3"><v>1</v></c><c><v>2</v></c></row>', "cell XFE3 outside"),
    ('<row r="3"><c r="ZZZ3"><v>1</v></c></row>', "cell ZZZ3 outside"),
])
def test_a_file_outside_the_sheet_is_refused_naming_row_or_cell_and_part(native, read_only,
                                                                         rows, named):
    with pytest.raises(brindle.InvalidFileError) as info:
        load_all(package(sheet(rows)), native, read_only)
    text = str(info.value)
    assert named in text and "xl/worksheets/s1.xml" in text


@pytest.mark.parametrize("native", ENGINE)
@pytest.mark.parametrize("read_only", MODES)
def test_the_corners_of_the_sheet_are_read(native, read_only):
    rows = ('<row r="1"><c r="A1"><v>1</v></c></row>'
            '<row r="1048576"><c r="XFC1048576"><v>2</v></c><c><v>3</v></c></row>')
    got = load_all(package(sheet(rows)), native, read_only)
    if read_only:
        assert got[0] == (1,) and got[-1][-2:] == (2, 3) and len(got) == 1_048_576
    else:
        assert got == [(1, 1, 1), (1_048_576, 16_383, 2), (1_048_576, 16_384, 3)]


def saved_and_read(wb):
    out = io.BytesIO()
    wb.save(out)
    return brindle.load_workbook(io.BytesIO(out.getvalue()))


@pytest.mark.parametrize("native", ENGINE)
@pytest.mark.parametrize("place, message", [
    (lambda ws: ws.cell(row=0, column=1), "row 0 is outside"),
    (lambda ws: ws.cell(row=1_048_577, column=1), "cell A1048577 is outside"),
    (lambda ws: ws.cell(row=1, column=16_385), "cell XFE1 is outside"),
    (lambda ws: ws["XFE1"], "cell XFE1 is outside"),
    (lambda ws: ws.__setitem__("B2", "x" * 2_000_000), "cell B2: a text of 2,000,000"),
    # Each control character is written as a seven-character escape.
    (lambda ws: ws.__setitem__("B2", "\x01" * 150_000), "cell B2: a text of 1,050,000"),
    (lambda ws: ws.__setitem__("B2", "=" + "x" * 1_048_577), "cell B2: a text of 1,048,577"),
    (lambda ws: ws.__setitem__("B2", CellRichText(["a", "y" * 1_048_577])),
     "cell B2: a text of 1,048,577"),
])
def test_what_no_reader_takes_is_refused_when_assigned(native, place, message):
    wb = brindle.Workbook(native=native)
    with pytest.raises(ValueError, match=message):
        place(wb.active)
    # A cell the assignment created stays empty: nothing is saved for it.
    cells = wb.active._cells
    assert all(cells[key].value is None for key in list(cells))


@pytest.mark.parametrize("native", ENGINE)
def test_texts_at_the_limit_are_saved_and_read_again(native):
    wb = brindle.Workbook(native=native)
    ws = wb.active
    ws["A1"] = "x" * 1_048_576
    ws["A2"] = "=" + "y" * 1_048_576
    again = saved_and_read(wb).active
    assert again["A1"].value == ws["A1"].value and again["A2"].value == ws["A2"].value


@pytest.mark.parametrize("native", ENGINE)
def test_write_only_rows_refuse_a_text_no_reader_takes(native):
    wb = brindle.Workbook(write_only=True, native=native)
    ws = wb.create_sheet("S")
    ws.append([1])
    with pytest.raises(ValueError, match="^cell C2: a text of 2,000,000 characters"):
        ws.append([1, 2, "x" * 2_000_000])
    ws.append(["z" * 1_048_576])
    out = io.BytesIO()
    wb.save(out)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        rows = list(brindle.load_workbook(out, read_only=True)["S"].iter_rows(values_only=True))
    assert rows == [(1,), ("z" * 1_048_576,)]
