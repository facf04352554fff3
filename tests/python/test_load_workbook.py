"""Reading xlsx files written by xlsxwriter: the values it wrote come back."""

import datetime as dt
import warnings

import pytest

import brindle
from brindle._native import native_engine
from brindle.reader.rows import EMPTY_CELL
from brindle.reader import workbook as wb_mod
from brindle.reader.workbook import is_date_format, is_timedelta_format

xlsxwriter = pytest.importorskip("xlsxwriter")


def write(path, fill, **options):
    wb = xlsxwriter.Workbook(str(path), options)
    fill(wb)
    wb.close()
    return path


def read_values(path, sheet=None, **kw):
    with brindle.load_workbook(path, read_only=True, **kw) as wb:
        ws = wb[sheet] if sheet else wb.worksheets[0]
        return list(ws.iter_rows(values_only=True))


class Forbidden:
    def __init__(self, *args):
        raise AssertionError("the pure-Python reader stepped in")


def values(path, sheet=None, **kw):
    """The rows as the native reader gives them alone (when the engine is built),
    checked against the pure-Python reader's."""
    with pytest.MonkeyPatch.context() as m:
        m.setenv("BRINDLE_NO_NATIVE", "1")
        pure = read_values(path, sheet, **kw)
    if native_engine() is None:
        return pure
    with pytest.MonkeyPatch.context() as m:
        m.setattr(wb_mod, "RowReader", Forbidden)
        got = read_values(path, sheet, **kw)
    assert got == pure
    return got


def every_kind(wb):
    ws = wb.add_worksheet("Kinds")
    date = wb.add_format({"num_format": "yyyy-mm-dd hh:mm"})
    duration = wb.add_format({"num_format": "[h]:mm:ss"})
    ws.write_row(0, 0, [42, -1.25, "text", True, False, 10**15])
    ws.write_rich_string(0, 6, "plain ", wb.add_format({"bold": True}), "bold")
    ws.write_string(1, 0, "caf\u00e9 & <b>")
    ws.write_datetime(1, 1, dt.datetime(2024, 2, 29, 13, 30, 15), date)
    ws.write_datetime(1, 2, dt.date(1900, 1, 1), date)
    ws.write_number(1, 3, 1.5, duration)
    ws.write_formula(2, 0, "=A1*2", None, 84)
    ws.write_formula(2, 1, '=IF(A1>1,"big","small")', None, "big")
    ws.write_array_formula("C3:C4", "{=A1:A2*2}")
    ws.write_blank(3, 0, None, date)
    ws.write(5, 3, "after a gap")
    wb.add_worksheet("Empty")


@pytest.mark.parametrize("options", [{}, {"constant_memory": True}])
def test_every_kind_of_value(tmp_path, options):
    path = write(tmp_path / "kinds.xlsx", every_kind, **options)
    got = values(path)
    assert got[0] == (42, -1.25, "text", True, False, 10**15, "plain bold")
    assert got[1] == ("caf\u00e9 & <b>", dt.datetime(2024, 2, 29, 13, 30, 15),
                      dt.datetime(1900, 1, 1), dt.timedelta(days=1.5))
    assert got[2][:2] == ("=A1*2", '=IF(A1>1,"big","small")')
    assert got[2][2].ref == "C3:C4" and got[2][2].text == "=A1:A2*2"
    assert got[3][0] is None
    assert got[4] == () and got[5] == (None, None, None, "after a gap")
    with brindle.load_workbook(path, read_only=True) as wb:
        assert wb.sheetnames == ["Kinds", "Empty"]
        assert list(wb["Empty"].iter_rows()) == []


def test_data_only_gives_cached_values(tmp_path):
    path = write(tmp_path / "cached.xlsx", every_kind)
    got = values(path, data_only=True)
    assert got[2][:2] == (84, "big")


def test_1904_epoch(tmp_path):
    def fill(wb):
        ws = wb.add_worksheet()
        ws.write_datetime(0, 0, dt.datetime(1904, 1, 2, 6), wb.add_format({"num_format": 14}))
        ws.write_number(0, 1, 1)
    path = write(tmp_path / "mac.xlsx", fill, date_1904=True)
    assert values(path) == [(dt.datetime(1904, 1, 2, 6), 1)]


def test_cells_ranges_and_warnings(tmp_path):
    def fill(wb):
        ws = wb.add_worksheet("S")
        date = wb.add_format({"num_format": "d/m/yyyy"})
        for r in range(5):
            ws.write_row(r, 0, [r, r * 10, r * 100])
        ws.write_number(5, 1, 1e10, date)  # beyond the year 9999
    path = write(tmp_path / "range.xlsx", fill)
    with brindle.load_workbook(path, read_only=True) as wb:
        ws = wb["S"]
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            got = list(ws.iter_rows(min_row=2, max_row=3, min_col=2, max_col=4))
            last = list(ws.values)[-1]
        assert [[c.value for c in row] for row in got] == [[10, 100, None], [20, 200, None]]
        assert got[0][2] is EMPTY_CELL and got[0][0].coordinate == "B2"
        assert last == (None, "#VALUE!")
        caught = caught[1:]  # the first read went through the whole sheet too
        assert [str(w.message) for w in caught] == [
            "Cell B6 is marked as a date but the serial value 10000000000 is outside the "
            "limits for dates. The cell will be treated as an error."]


def test_default_mode_is_editable(tmp_path):
    path = write(tmp_path / "e.xlsx", lambda wb: wb.add_worksheet().write(0, 0, 5))
    wb = brindle.load_workbook(path)
    assert isinstance(wb, brindle.Workbook)
    assert wb.active["A1"].value == 5


@pytest.mark.parametrize("code,date,duration", [
    ("yyyy-mm-dd", True, False), ("h:mm AM/PM", True, False), ("[h]:mm:ss", True, True),
    ("[mm]:ss", True, True), ("0.00", False, False), ("General", False, False),
    ('"day "0', False, False), ("[Red]0.0", False, False), ("[$-409]d-mmm", True, False),
    (r"0\d", False, False), ("#,##0;[Red]-#,##0", False, False),
])
def test_number_format_kinds(code, date, duration):
    assert (is_date_format(code), is_timedelta_format(code)) == (date, duration)


class Refused(Exception):
    pass


def test_native_refusal_mid_sheet_continues_in_python(tmp_path, monkeypatch):
    from brindle.reader import rows as rows_mod

    class HalfNative(rows_mod.RowReader):
        """Gives two rows, then refuses the rest of the sheet."""
        given = 0

        def next_row(self, *args, **kw):
            if HalfNative.given == 2:
                raise Refused("unsupported: test")
            HalfNative.given += 1
            return super().next_row(*args, **kw)

    def fill(wb):
        ws = wb.add_worksheet()
        for r in range(5):
            ws.write_row(r, 0, [r, str(r)])
    path = write(tmp_path / "half.xlsx", fill)
    monkeypatch.setattr(wb_mod, "_native_reader", lambda: (HalfNative, Refused))
    assert read_values(path) == [(r, str(r)) for r in range(5)]
    assert HalfNative.given == 2
