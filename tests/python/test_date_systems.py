"""Serials under date, time, duration and general formats in both date
systems, read by the engine and the pure-Python reader in both read modes,
against datetime arithmetic: in the 1904 system, whose day 0 is a real day,
a serial below 1 is a date unless its format shows only a time."""

import datetime as dt
import io
import warnings

import pytest

import brindle
from sheetgen import MAIN, xlsx

WINDOWS = dt.datetime(1899, 12, 30)
MAC = dt.datetime(1904, 1, 1)

# (numFmtId, what the format shows); ids from 164 are defined in the styles.
FORMATS = [
    (0, "number"), (164, "date"), (165, "time"), (166, "duration"), (14, "date"), (21, "time"),
    (45, "time"), (22, "date"), (167, "date"), (168, "time"), (169, "date"),
]
CUSTOM = {164: "yyyy-mm-dd hh:mm:ss", 165: "hh:mm", 166: "[h]:mm:ss", 167: 'mmm "at" h',
          168: 'h "d" mm', 169: "mmm"}
STYLES = ("<numFmts>" + "".join(f'<numFmt numFmtId="{i}" formatCode="{c.replace(chr(34), "&quot;")}"/>'
                                for i, c in CUSTOM.items()) + "</numFmts>"
          "<cellXfs>" + "".join(f'<xf numFmtId="{i}"/>' for i, _ in FORMATS) + "</cellXfs>")

SERIALS = ([*range(0, 62), 0.0, 0.25, 0.5, 0.75, 0.99999999999, 1.5, 59.5, 60.5, -0.5,
            2957003, 2957004, 2958465, 2958466])
OUT_OF_RANGE = "#VALUE!"


def expected(serial, shows, is_1900):
    if shows == "number":
        return serial
    if shows == "duration":
        return dt.timedelta(milliseconds=round(serial * 86_400_000))  # kept to the ms
    ms = round((serial % 1) * 86_400_000)
    if 0 <= serial < 1 and ms < 86_400_000 and (is_1900 or shows == "time"):
        return (dt.datetime.min + dt.timedelta(milliseconds=ms)).time()
    day = int(serial // 1)
    if is_1900 and 0 < serial < 60:
        day += 1  # the serials before the 29 February 1900 that never was
    try:
        return (WINDOWS if is_1900 else MAC) + dt.timedelta(days=day, milliseconds=ms)
    except OverflowError:
        return OUT_OF_RANGE


def book(date1904):
    rows = []
    for r, serial in enumerate(SERIALS, 1):
        cells = "".join(f'<c s="{s}"><v>{serial!r}</v></c>' for s in range(len(FORMATS)))
        rows.append(f'<row r="{r}">{cells}</row>')
    sheet = f'<worksheet xmlns="{MAIN}"><sheetData>{"".join(rows)}</sheetData></worksheet>'
    return xlsx([sheet], styles=STYLES, date1904=date1904)


def read(data, read_only, native):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # serials past 9999-12-31 warn as they are read
        wb = brindle.load_workbook(io.BytesIO(data), read_only=read_only, native=native)
        rows = [list(r) for r in wb.worksheets[0].iter_rows(values_only=True)]
    if read_only:
        wb.close()
    return rows


@pytest.mark.parametrize("date1904", [False, True], ids=["1900", "1904"])
@pytest.mark.parametrize("read_only", [True, False], ids=["read_only", "full"])
@pytest.mark.parametrize("native", [True, False], ids=["native", "pure"])
def test_serials_read_as_their_format_shows_them(date1904, read_only, native):
    got = read(book(date1904), read_only, native)
    want = [[expected(s, shows, not date1904) for _, shows in FORMATS] for s in SERIALS]
    for serial, g, w in zip(SERIALS, got, want):
        assert [(type(x), x) for x in g] == [(type(x), x) for x in w], serial


@pytest.mark.parametrize("native", [True, False], ids=["native", "pure"])
def test_a_1904_workbook_gives_back_the_dates_and_times_written(native):
    from brindle.utils.datetime import MAC_EPOCH

    values = [dt.time(12), dt.datetime(1904, 1, 1, 12), dt.datetime(1904, 1, 1),
              dt.timedelta(hours=5), dt.time(0)]
    wb = brindle.Workbook(native=native)
    wb.epoch = MAC_EPOCH
    wb.active.append(values)
    out = io.BytesIO()
    wb.save(out)
    for read_only in (True, False):
        assert read(out.getvalue(), read_only, native) == [values]
