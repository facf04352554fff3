"""Load, edit, save: files written by other applications go through brindle's
full mode and come back readable by those applications, with the values
expected and the formulas recomputed (which checks the translated shared
formulas, since neither application trusts our text blindly)."""

import csv
import datetime as dt
import io
import re
import zipfile

import pytest

import brindle
from apps import (IN_DEVENV, SOFFICE, SSCONVERT, gnumeric, libreoffice, needs_gnumeric,
                  needs_libreoffice)

ROWS = 30


def source_book(path):
    """A sheet whose column B holds one formula filled down (applications store
    such runs as shared formulas) and a total below it."""
    wb = brindle.Workbook()
    ws = wb.active
    ws.title = "Data"
    for r in range(1, ROWS + 1):
        ws.cell(r, 1, r)
        ws.cell(r, 2, f"=A{r}*2+$D$1")
        ws.cell(r, 3, f"row {r}")
    ws["D1"] = 100
    ws.cell(ROWS + 1, 2, f"=SUM(B1:B{ROWS})")
    ws["E1"] = dt.date(2024, 2, 29)
    wb.save(path)
    return path


def producers(tmp_path):
    """(name, path) of the same book as xlsxwriter, Gnumeric and LibreOffice write it."""
    import xlsxwriter

    out = []
    xw = tmp_path / "xlsxwriter.xlsx"
    book = xlsxwriter.Workbook(str(xw))
    ws = book.add_worksheet("Data")
    for r in range(ROWS):
        ws.write_number(r, 0, r + 1)
        ws.write_formula(r, 1, f"=A{r + 1}*2+$D$1")
        ws.write_string(r, 2, f"row {r + 1}")
    ws.write_number(0, 3, 100)
    ws.write_formula(ROWS, 1, f"=SUM(B1:B{ROWS})")
    ws.write_datetime(0, 4, dt.datetime(2024, 2, 29), book.add_format({"num_format": "yyyy-mm-dd"}))
    book.close()
    out.append(("xlsxwriter", xw))
    out.append(("shared formulas", shared_group(xw, tmp_path / "shared.xlsx")))
    ours = source_book(tmp_path / "ours.xlsx")
    if SSCONVERT or IN_DEVENV:
        out.append(("gnumeric", gnumeric(ours, tmp_path / "gnumeric.xlsx")))
    if SOFFICE or IN_DEVENV:
        lo_dir = tmp_path / "lo"
        lo_dir.mkdir()
        out.append(("libreoffice", libreoffice(ours, "xlsx", lo_dir, tmp_path / "lo-home")))
    return out


def shared_group(src, dst):
    """The xlsxwriter book with column B turned into one shared-formula group,
    as Excel stores a formula filled down."""
    sheet = "xl/worksheets/sheet1.xml"
    with zipfile.ZipFile(src) as zin, zipfile.ZipFile(dst, "w", zipfile.ZIP_DEFLATED) as zout:
        for info in zin.infolist():
            data = zin.read(info.filename)
            if info.filename == sheet:
                text = data.decode()

                def shared(m):
                    row = int(m.group(1))
                    if row == 1:
                        f = f'<f t="shared" ref="B1:B{ROWS}" si="0">A1*2+$D$1</f>'
                    else:
                        f = '<f t="shared" si="0"/>'
                    return f'<c r="B{row}"{m.group(2)}>{f}'

                text, n = re.subn(r'<c r="B(\d+)"([^>]*)><f>A\d+\*2\+\$D\$1</f>', shared, text)
                assert n == ROWS
                data = text.encode()
            zout.writestr(info, data)
    return dst


def edit(path, saved):
    wb = brindle.load_workbook(path)
    ws = wb["Data"]
    assert [ws.cell(r, 1).value for r in (1, ROWS)] == [1, ROWS]
    # Every dependent cell has its own formula, whatever the producer stored.
    assert ws.cell(7, 2).value.replace(" ", "") == "=A7*2+$D$1"
    assert ws["E1"].value == dt.datetime(2024, 2, 29)
    for r in range(1, ROWS + 1):
        ws.cell(r, 1, r * 10)
    ws["D1"] = 1
    ws.cell(5, 3).value = "edited"
    wb.save(saved)


def expected_rows():
    rows = [[str(r * 10), str(r * 20 + 1), "edited" if r == 5 else f"row {r}"]
            for r in range(1, ROWS + 1)]
    total = sum(r * 20 + 1 for r in range(1, ROWS + 1))
    return rows, str(total)


def check_csv(text):
    rows = list(csv.reader(io.StringIO(text)))
    want, total = expected_rows()
    assert [row[:3] for row in rows[:ROWS]] == want
    assert rows[ROWS][1] == total


@needs_gnumeric
@needs_libreoffice
@pytest.mark.parametrize("native", [True, False], ids=["native", "pure"])
def test_load_edit_save_reads_back_recomputed(tmp_path, monkeypatch, native):
    if not native:
        monkeypatch.setenv("BRINDLE_NO_NATIVE", "1")
    for name, path in producers(tmp_path):
        saved = tmp_path / f"{name}-edited.xlsx"
        edit(path, saved)
        # Gnumeric, recomputing every formula.
        check_csv(gnumeric(saved, tmp_path / f"{name}-g.csv", "--recalc").read_text())
        # LibreOffice computes formulas that carry no cached value.
        lo_dir = tmp_path / f"{name}-lo"
        lo_dir.mkdir()
        out = libreoffice(saved, "csv", lo_dir, tmp_path / "lo-home")
        check_csv(out.read_text())
