"""Complete xlsx files: package structure, and values read back by an
independent spreadsheet application (Gnumeric's ssconvert)."""

import csv
import datetime as dt
import gzip
import io
import math
import os
import posixpath
import re
import shutil
import subprocess
import xml.etree.ElementTree as ET
import zipfile

import pytest
from hypothesis import given, settings, strategies as st

import brindle

SSCONVERT = shutil.which("ssconvert")
# The development environment installs the converter; there a missing one is
# a broken environment, not a reason to skip.
needs_converter = pytest.mark.skipif(
    SSCONVERT is None and not os.environ.get("BRINDLE_IN_DEVENV"),
    reason="ssconvert (gnumeric) is not installed")

CT = "{http://schemas.openxmlformats.org/package/2006/content-types}"
REL = "{http://schemas.openxmlformats.org/package/2006/relationships}"


def build(write_only, lxml, iso_dates=False, date1904=False, native=True):
    wb = brindle.Workbook(write_only=write_only, lxml=lxml, iso_dates=iso_dates, native=native)
    wb.date1904 = date1904
    ws = wb.create_sheet("Data") if write_only else wb.active
    rows = [
        ["plain", "é ünï 😀 ∑", "  lead", "a&b<c>\"q'", "tab\there", "#N/A", "cr\r\nlf"],
        [0, -42, 1.5, 1e-5, 123456789012, 2**53 + 1],
        [True, False, "=1+2", "=B2&\"x\"", None, 0.1],
        [dt.date(2024, 1, 2), dt.datetime(2024, 1, 2, 3, 4, 5), dt.date(1900, 3, 1)],
    ]
    for row in rows:
        ws.append(row)
    link = brindle.Cell(ws, value="site")
    link.hyperlink = "https://example.com/?a=1&b=2"
    link.comment = brindle.Comment("a note", "brindle")
    ws.append([link, None, None, "last"])
    if write_only:
        return wb
    ws.row_dimensions[7].height = 30
    ws["C9"] = "after a gap"
    return wb


def save(wb):
    out = io.BytesIO()
    wb.save(out)
    return out.getvalue()


@pytest.mark.parametrize("write_only", [True, False], ids=["write_only", "normal"])
@pytest.mark.parametrize("lxml", [False, True], ids=["etree", "lxml"])
def test_parts_are_xml_and_all_related(write_only, lxml):
    z = zipfile.ZipFile(io.BytesIO(save(build(write_only, lxml))))
    assert z.namelist()[0] == "[Content_Types].xml"  # where file-type sniffers look
    names = set(z.namelist())
    parsed = {n: ET.fromstring(z.read(n)) for n in names}  # every part is well-formed
    types = parsed["[Content_Types].xml"]
    overrides = {o.get("PartName") for o in types.iter(CT + "Override")}
    defaults = {d.get("Extension") for d in types.iter(CT + "Default")}
    for name in names - {"[Content_Types].xml"}:
        assert "/" + name in overrides or name.rsplit(".", 1)[1] in defaults, name
    for name in (n for n in names if n.endswith(".rels")):
        base = posixpath.dirname(posixpath.dirname(name))
        for rel in parsed[name].iter(REL + "Relationship"):
            if rel.get("TargetMode") == "External":
                continue
            target = rel.get("Target")
            target = target[1:] if target.startswith("/") \
                else posixpath.normpath(posixpath.join(base, target))
            assert target in names, (name, target)


def test_saving_twice_and_changes_after_saving():
    wb = build(True, False)
    first = save(wb)
    assert save(wb) == first
    with pytest.raises(brindle.WorkbookAlreadySaved):
        wb["Data"].append([1])
    with pytest.raises(brindle.WorkbookAlreadySaved):
        wb.create_sheet()


@pytest.mark.parametrize("write_only", [True, False], ids=["write_only", "normal"])
@pytest.mark.parametrize("lxml", [False, True], ids=["etree", "lxml"])
def test_native_and_python_paths_give_the_same_file(write_only, lxml):
    # Without an engine in the build both sides are pure Python; with one,
    # the engine is held to the pure-Python bytes here.
    native = zipfile.ZipFile(io.BytesIO(save(build(write_only, lxml))))
    pure = zipfile.ZipFile(io.BytesIO(save(build(write_only, lxml, native=False))))
    assert native.namelist() == pure.namelist()
    for name in native.namelist():
        assert native.read(name) == pure.read(name), name


def read_back(data, tmp_path, raw):
    src = tmp_path / "in.xlsx"
    src.write_bytes(data)
    dst = tmp_path / "out.csv"
    args = [SSCONVERT or "ssconvert"]
    if raw:
        args += ["-T", "Gnumeric_stf:stf_assistant", "-O", "format=raw"]
    subprocess.run(args + [str(src), str(dst)], check=True, capture_output=True, timeout=120)
    with open(dst, newline="", encoding="utf-8") as f:
        return list(csv.reader(f))


def serial(value):
    # Days since 1899-12-30 by plain date arithmetic, with the phantom
    # 29 February 1900 of the 1900 system counted in.
    days = (value - dt.datetime(1899, 12, 30)) / dt.timedelta(days=1)
    return days if days >= 61 else days - 1


@needs_converter
@pytest.mark.parametrize("write_only", [True, False], ids=["write_only", "normal"])
@pytest.mark.parametrize("lxml", [False, True], ids=["etree", "lxml"])
def test_values_read_back(write_only, lxml, tmp_path):
    rows = read_back(save(build(write_only, lxml)), tmp_path, raw=True)
    # A carriage return is written as a reference in both forms: raw, a
    # reader would take it for a line feed.
    assert rows[0] == ["plain", "é ünï 😀 ∑", "  lead", "a&b<c>\"q'", "tab\there", "#N/A",
                       "cr\r\nlf"]
    assert [float(x) for x in rows[1][:6]] == [0, -42, 1.5, 1e-5, 123456789012, 2**53]
    assert rows[2][:4] == ["TRUE", "FALSE", "3", "-42x"] and float(rows[2][5]) == 0.1
    assert [float(x) for x in rows[3][:3]] == [
        serial(dt.datetime(2024, 1, 2)), serial(dt.datetime(2024, 1, 2, 3, 4, 5)),
        serial(dt.datetime(1900, 3, 1))]
    assert rows[4][0] == "site" and rows[4][3] == "last"
    if not write_only:
        assert len(rows) == 9 and rows[8][2] == "after a gap"


@needs_converter
def test_1904_dates_read_back(tmp_path):
    # (ISO 8601 date cells are not compared: this reader takes their text
    # for a number.)
    reference = read_back(save(build(True, False)), tmp_path, raw=False)[3]
    got = read_back(save(build(True, False, date1904=True)), tmp_path, raw=False)[3]
    assert got == reference and got[1].startswith("2024")


M = "{http://schemas.openxmlformats.org/spreadsheetml/2006/main}"


@pytest.mark.parametrize("write_only", [True, False], ids=["write_only", "normal"])
def test_styles_columns_and_dimension(write_only):
    wb = brindle.Workbook(write_only=write_only)
    ws = wb.create_sheet("S") if write_only else wb.active
    ws.column_dimensions["B"].width = 20.5
    ws.column_dimensions["A"].hidden = True
    head = brindle.Cell(ws, value="head")
    head.font = brindle.Font(bold=True, color="ff0000")
    head.fill = brindle.PatternFill("FFFF00")
    again = brindle.Cell(ws, value="again")
    again.font = brindle.Font(bold=True, color="FF0000")  # the same font and style
    again.fill = brindle.PatternFill("ffff00")
    ws.append([None, head, again])
    ws.append([None, 1, None, 2.5])
    z = zipfile.ZipFile(io.BytesIO(save(wb)))
    sheet = ET.fromstring(z.read("xl/worksheets/sheet1.xml"))
    assert sheet.find(M + "dimension").get("ref") == "B1:D2"
    assert [(c.get("min"), c.get("width"), c.get("hidden")) for c in sheet.iter(M + "col")] == [
        ("1", None, "1"), ("2", "20.5", None)]
    assert [c.get("s") for c in sheet.iter(M + "c")] == ["1", "1", None, None]
    styles = ET.fromstring(z.read("xl/styles.xml"))
    fonts = list(styles.find(M + "fonts"))
    assert len(fonts) == 2 and fonts[1].find(M + "b") is not None
    assert fonts[1].find(M + "color").get("rgb") == "FFFF0000"
    fills = list(styles.find(M + "fills"))
    assert len(fills) == 3 and fills[2][0].find(M + "fgColor").get("rgb") == "FFFFFF00"
    xf = list(styles.find(M + "cellXfs"))[1]
    assert (xf.get("fontId"), xf.get("fillId")) == ("1", "2")


@pytest.mark.parametrize("field", ["fontId", "numFmtId", "xfId"])
def test_style_indexes_without_an_entry_are_refused(field):
    wb = brindle.Workbook()
    cell = wb.active.cell(1, 1, 1)
    cell._style = brindle.StyleArray().replace(**{field: 400})
    with pytest.raises(ValueError, match=field):
        save(wb)


def gnumeric_doc(data, tmp_path):
    src, dst = tmp_path / "in.xlsx", tmp_path / "out.gnumeric"
    src.write_bytes(data)
    subprocess.run([SSCONVERT or "ssconvert", str(src), str(dst)], check=True,
                   capture_output=True, timeout=120)
    return gzip.decompress(dst.read_bytes()).decode()


@needs_converter
@pytest.mark.parametrize("write_only", [True, False], ids=["write_only", "normal"])
def test_links_and_comments_read_back(write_only, tmp_path):
    doc = gnumeric_doc(save(build(write_only, False)), tmp_path)
    assert re.search(r'<gnm:CellComment ObjectBound="A5"[^>]* Author="brindle" Text="a note"',
                     doc)
    assert 'target="https://example.com/?a=1&amp;b=2"' in doc


@needs_converter
def test_styles_read_back(tmp_path):

    wb = brindle.Workbook()
    ws = wb.active
    ws.column_dimensions["B"].width = 30
    bold = ws.cell(1, 2, "bold")
    bold.font = brindle.Font(bold=True, size=14, color="FF0000")
    bold.fill = brindle.PatternFill("FFFF00")
    ws.cell(2, 2, 3.25).number_format = "0.000"
    doc = gnumeric_doc(save(wb), tmp_path)
    styles = re.findall(r"<gnm:Style ([^>]*)>\s*<gnm:Font ([^>]*)>", doc)
    assert any('Fore="FFFF:0:0"' in s and 'Back="FFFF:FFFF:0"' in s
               and 'Bold="1"' in f and 'Unit="14"' in f for s, f in styles)
    assert any('Format="0.000"' in s for s, _ in styles)
    assert re.search(r'<gnm:ColInfo No="1" Unit="157.5"', doc)


texts = st.text(st.characters(codec="utf-8", exclude_categories=["Cs", "Cc"],
                              exclude_characters="\ufffe\uffff"), max_size=10).filter(
    lambda s: not s.startswith("="))


@needs_converter
@settings(max_examples=15, deadline=None)
@given(rows=st.lists(st.lists(st.none() | st.booleans() | texts
                              | st.floats(allow_nan=False, allow_infinity=False, width=64)
                              | st.integers(-2**53, 2**53), min_size=1, max_size=4),
                     min_size=1, max_size=4),
       lxml=st.booleans())
def test_any_values_read_back(rows, lxml, tmp_path_factory):
    wb = brindle.Workbook(write_only=True, lxml=lxml)
    ws = wb.create_sheet()
    for row in rows:
        ws.append(["row", *row])  # the export starts at the first used column
    got = read_back(save(wb), tmp_path_factory.mktemp("rt"), raw=True)
    for r, row in enumerate(rows):
        for c, value in enumerate(row, 1):
            text = got[r][c] if c < len(got[r]) else ""
            if value is None:
                assert text == ""
            elif isinstance(value, bool):
                assert text == ("TRUE" if value else "FALSE")
            elif isinstance(value, str):
                assert text == value
            else:
                # 16 significant digits, and never a value the reader cannot hold.
                got_value = float(text)
                assert math.isfinite(got_value), (value, text)
                assert abs(got_value - value) <= 5e-16 * abs(value), (value, text)


@needs_converter
@pytest.mark.parametrize("lxml,date1904", [(False, False), (True, True)], ids=["etree", "lxml"])
def test_a_large_write_only_sheet_reads_back(lxml, date1904, tmp_path):
    # Enough rows for the sheet data to pass through several flushes, with
    # dates in either system and a styled cell now and then.
    from brindle._native import native_engine

    wb = brindle.Workbook(write_only=True, lxml=lxml)
    wb.date1904 = date1904
    ws = wb.create_sheet("Big")
    total = brindle.Cell(ws, value="total")
    total.font = brindle.Font(bold=True, color="FF0000")
    start = dt.datetime(2024, 1, 1)
    n = 25000
    for r in range(n):
        ws.append([r, r / 8, f"text {r} é", start + dt.timedelta(hours=r),
                   total if r % 1000 == 0 else None])
    assert ws._stream.is_native is (native_engine() is not None)
    data = save(wb)
    assert len(zipfile.ZipFile(io.BytesIO(data)).read("xl/worksheets/sheet1.xml")) > 2 << 20
    rows = read_back(data, tmp_path, raw=True)
    assert len(rows) == n
    base = dt.datetime(1904, 1, 1) if date1904 else None
    for r in (0, 1, 999, 1000, 12345, n - 1):
        when = start + dt.timedelta(hours=r)
        want = (when - base) / dt.timedelta(days=1) if base else serial(when)
        assert rows[r][:3] == [str(r), repr(r / 8).removesuffix(".0"), f"text {r} é"]
        assert float(rows[r][3]) == pytest.approx(want, abs=1e-9)
        assert rows[r][4] == ("total" if r % 1000 == 0 else "")
    doc = gnumeric_doc(data, tmp_path)
    styles = re.findall(r"<gnm:Style ([^>]*)>\s*<gnm:Font ([^>]*)>", doc)
    assert any('Fore="FFFF:0:0"' in s and 'Bold="1"' in f for s, f in styles)
    assert any("yyyy-mm-dd h:mm:ss" in s for s, _ in styles)
