"""Values a file states that must not turn into other values: cell formats counted
by their <xf> elements alone, indexes into the workbook's tables that a file gives
negative or past the end, and the first fault of a sheet raised the same way by
the engine and by the pure-Python reader."""

import datetime as dt
import io
import re
import zipfile

import pytest
from hypothesis import given, settings, strategies as st

import brindle
import sheetgen as gen
from loaded import load, saved

MAIN = gen.MAIN
BOTH = pytest.mark.parametrize("native", [True, False], ids=["native", "pure"])
MODES = pytest.mark.parametrize("read_only", [False, True], ids=["full", "read-only"])


def sheet(*cells):
    """A worksheet of one row holding the <c> texts `cells`."""
    return (f'<worksheet xmlns="{MAIN}"><sheetData><row r="1">{"".join(cells)}</row>'
            "</sheetData></worksheet>").encode()


def first_row(data, native, read_only):
    wb = load(data, native=native, strict=False, read_only=read_only)
    ws = wb.worksheets[0]
    return [c.value for c in next(ws.iter_rows())]


def outcome(data, native, read_only=False):
    """("ok", values of the first row) or ("error", type, message) of loading `data`."""
    try:
        return ("ok", first_row(data, native, read_only))
    except Exception as exc:  # noqa: BLE001 - the exception is what is compared
        return ("error", type(exc), str(exc))


# -- cell formats are the <xf> elements of cellXfs, whatever else the list holds ------------

@BOTH
@MODES
@pytest.mark.parametrize("between", ["<extLst/>", '<xfx numFmtId="14"/>',
                                     '<x:xf xmlns:x="urn:other" numFmtId="14"/>'])
def test_a_foreign_child_of_cellxfs_does_not_shift_date_formats(native, read_only, between):
    styles = f'<cellXfs><xf numFmtId="0"/>{between}<xf numFmtId="14"/><xf numFmtId="0"/></cellXfs>'
    data = gen.xlsx([sheet('<c r="A1" s="1"><v>45000</v></c>', '<c r="B1" s="2"><v>7</v></c>')],
                    styles=styles)
    assert first_row(data, native, read_only) == [dt.datetime(2023, 3, 15), 7]
    if not read_only:
        wb = load(data, native=native, strict=False)
        assert wb.active["A1"].is_date and not wb.active["B1"].is_date
        back = load(saved(wb), native=native, strict=False)
        assert [back.active["A1"].value, back.active["B1"].value] == [dt.datetime(2023, 3, 15), 7]


@BOTH
@pytest.mark.parametrize("formats", [
    '<numFmts><numFmnt numFmtId="164" formatCode="yyyy-mm-dd"/></numFmts>',
    '<numFmts><numFmt numFmtId="164"/></numFmts>',
    '<numFmts/><numFmts><numFmt numFmtId="164" formatCode="0.0"/></numFmts>',
])
def test_the_value_takes_the_number_format_the_cell_shows(native, formats):
    # Only <numFmt> elements with an id and a code define formats: a date
    # read through any other would show as a number, and be saved as one.
    styles = f'{formats}<cellXfs><xf numFmtId="0"/><xf numFmtId="164"/></cellXfs>'
    data = gen.xlsx([sheet('<c r="A1" s="1"><v>45000</v></c>')], styles=styles)
    wb = load(data, native=native, strict=False)
    cell = wb.active["A1"]
    assert cell.value == 45000 and cell.is_date == ("yy" in cell.number_format)
    assert load(saved(wb), native=native, strict=False).active["A1"].value == 45000


# -- indexes from the file never count from the end of a table ---------------------------------

@BOTH
@MODES
@pytest.mark.parametrize("cell,message", [
    ('<c r="B1" t="s"><v>-1</v></c>', "cell B1 names shared string -1, but the workbook has 2"),
    ('<c r="B1" t="s"><v>2</v></c>', "cell B1 names shared string 2, but the workbook has 2"),
    ('<c t="s"><v>-2</v></c>', "cell B1 names shared string -2, but the workbook has 2"),
    ('<c r="B1" t="s"><v>-00001</v></c>', "cell B1 names shared string -1, but the workbook has 2"),
    ('<c r="B1" t="s"><v>99999999999999999999</v></c>',
     "cell B1 names shared string 99999999999999999999, but the workbook has 2"),
])
def test_a_shared_string_index_outside_the_table_is_refused(native, read_only, cell, message):
    data = gen.xlsx([sheet('<c r="A1" t="s"><v>0</v></c>', cell)], strings=["first", "last"])
    with pytest.raises(brindle.InvalidFileError) as info:
        first_row(data, native, read_only)
    assert str(info.value).endswith(f"xl/worksheets/s1.xml: {message}")


@BOTH
@pytest.mark.parametrize("s,message", [
    ("-1", "cell B1 has cell format -1, but the workbook has 4"),
    ("-4", "cell B1 has cell format -4, but the workbook has 4"),
    ("4", "cell B1 has cell format 4, but the workbook has 4"),
    ("9", "cell B1 has cell format 9, but the workbook has 4"),
])
def test_a_cell_format_outside_the_table_is_refused_in_full_mode(native, s, message):
    data = gen.package(sheet('<c r="A1" s="3"><v>1</v></c>', f'<c r="B1" s="{s}"><v>2</v></c>'))
    with pytest.raises(brindle.InvalidFileError) as info:
        first_row(data, native, False)
    assert str(info.value).endswith(f"xl/worksheets/s1.xml: {message}")
    # Streaming indexes no table with the id: it is reported as the file has it.
    wb = load(data, native=native, read_only=True)
    assert next(wb.worksheets[0].iter_rows())[1].style_id == int(s)


@pytest.mark.parametrize("read_only", [False, True], ids=["full", "read-only"])
@pytest.mark.parametrize("tab,active", [("-1", "S1"), ("-2", "S1"), ("1", "S2"), ("7", "S1"),
                                        ("x", "S1")])
def test_an_active_tab_the_workbook_lacks_shows_the_first_sheet(tab, active, read_only):
    data = gen.xlsx([sheet('<c r="A1"><v>1</v></c>')] * 3)
    parts = {}
    with zipfile.ZipFile(io.BytesIO(data)) as z:
        for name in z.namelist():
            parts[name] = z.read(name)
    parts["xl/workbook.xml"] = parts["xl/workbook.xml"].replace(
        b"<sheets>", f'<bookViews><workbookView activeTab="{tab}"/></bookViews><sheets>'.encode())
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w") as z:
        for name, body in parts.items():
            z.writestr(name, body)
    with brindle.load_workbook(io.BytesIO(out.getvalue()), read_only=read_only) as wb:
        assert wb.active.title == active


# -- several faults in one sheet: the first in document order wins, on either path --------------

FAULTS = [
    '<c s="-1"><v>1</v></c>',           # a cell format counted from the end
    '<c s="9"><v>1</v></c>',            # past the last cell format
    '<c t="s"><v>-1</v></c>',           # a shared string counted from the end
    '<c t="s"><v>5</v></c>',            # past the last shared string
    '<c t="s"><v>x</v></c>',            # no index at all
    '<c><v>1.2.3</v></c>',              # no number
    '<c t="b"><v>yes</v></c>',          # no boolean
    '<c s="x"><v>1</v></c>',            # no style id
    '<c t="d"><v>then</v></c>',         # no date
]
GOOD = ['<c><v>1</v></c>', '<c t="s"><v>0</v></c>', '<c s="1"><v>45000</v></c>',
        '<c t="str"><v>text</v></c>', '<c s="2"><f>1+1</f><v>2</v></c>']


@settings(max_examples=60, deadline=None)
@given(rows=st.lists(st.lists(st.sampled_from(FAULTS + GOOD * 2), min_size=1, max_size=5),
                     min_size=1, max_size=4))
def test_the_first_fault_of_a_sheet_is_raised_alike_on_both_paths(rows):
    body = "".join(f'<row r="{i}">{"".join(cells)}</row>' for i, cells in enumerate(rows, 1))
    data = gen.package(f'<worksheet xmlns="{MAIN}"><sheetData>{body}</sheetData></worksheet>'
                       .encode(), strings=["only"])
    native, pure = outcome(data, True), outcome(data, False)
    assert native == pure
    first = next(((i, j, c) for i, cells in enumerate(rows, 1)
                  for j, c in enumerate(cells, 1) if c in FAULTS), None)
    if first is None:
        assert native[0] == "ok"
    elif first[2] in FAULTS[:4]:
        # A missing entry named by the first faulty cell, by its place.
        assert native[:2] == ("error", brindle.InvalidFileError)
        assert f": cell {'ABCDE'[first[1] - 1]}{first[0]} " in native[2]
    else:
        # Text that is no value of its kind: the same refusal, naming the part.
        assert native[:2] == ("error", brindle.InvalidFileError)
        assert "the part holds a value that cannot be read" in native[2] \
            or "which is not a number" in native[2]


# -- what a cell holds survives a save and a load ----------------------------------------------

@BOTH
@MODES
@pytest.mark.parametrize("v,value", [
    ("2024-01-02T03:04:05", dt.datetime(2024, 1, 2, 3, 4, 5)),
    ("2024-01-02", dt.datetime(2024, 1, 2)),
])
def test_an_iso_date_cell_without_a_date_format_stays_a_date(native, read_only, v, value):
    data = gen.xlsx([sheet(f'<c r="A1" t="d"><v>{v}</v></c>', '<c r="B1" s="0"><v>3</v></c>')])
    wb = load(data, native=native, strict=False)
    assert wb.active["A1"].value == value
    again = saved(wb)
    assert first_row(again, native, read_only) == [value, 3]
    assert first_row(saved(load(again, native=native, strict=False)), native, read_only) \
        == [value, 3]


@BOTH
@MODES
@pytest.mark.parametrize("cell", ['<c r="A1" t="e"/>', '<c r="A1" t="e"><v></v></c>',
                                  '<c r="A1" t="e" s="2"><is><t>x</t></is></c>'])
def test_an_error_cell_without_its_code_is_kept(native, read_only, cell):
    data = gen.package(sheet(cell, '<c r="B1"><v>3</v></c>'))
    assert first_row(data, native, read_only) == ["", 3]
    wb = load(data, native=native, strict=False)
    assert (wb.active["A1"].value, wb.active["A1"].data_type) == ("", "e")
    again = saved(wb)
    assert re.search(rb'<c r="A1"( s="\d+")? t="e"( /|/|></c)>', again_sheet(again))
    assert first_row(again, native, read_only) == ["", 3]


def again_sheet(data):
    with zipfile.ZipFile(io.BytesIO(data)) as z:
        return z.read("xl/worksheets/sheet1.xml")


@BOTH
def test_a_cell_format_naming_a_missing_font_fill_or_border_warns_and_takes_the_default(native):
    styles = ('<fonts><font><sz val="11"/><name val="A"/></font><font><b/><sz val="11"/>'
              '<name val="B"/></font></fonts>'
              '<fills><fill><patternFill/></fill><fill><patternFill patternType="gray125"/></fill>'
              '</fills><borders><border/></borders>'
              '<cellXfs><xf fontId="0"/><xf fontId="-1" borderId="3"/><xf fontId="2"/>'
              '<xf fontId="1" fillId="-2"/></cellXfs>')
    data = gen.xlsx([sheet('<c r="A1" s="1"><v>1</v></c>', '<c r="B1" s="2"><v>2</v></c>',
                           '<c r="C1" s="3"><v>3</v></c>')], styles=styles)
    with pytest.warns(UserWarning) as caught:
        wb = brindle.load_workbook(io.BytesIO(data), native=native)
    assert [str(w.message) for w in caught] == [
        "2 cell formats name a font the stylesheet lacks (the first: cell format 1, font -1); "
        "the default font is used",
        "1 cell format names a border the stylesheet lacks (the first: cell format 1, border 3); "
        "the default border is used",
        "1 cell format names a fill the stylesheet lacks (the first: cell format 3, fill -2); "
        "the default fill is used"]
    assert all(w.filename == __file__ for w in caught)
    ws = wb.active
    # A negative id never counts from the end: the bold font stays with C1 alone.
    assert [ws[c].font.bold for c in ("A1", "B1", "C1")] == [False, False, True]
