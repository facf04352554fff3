"""Cells, style arrays and the workbook's style list."""

import array
import copy
import datetime as dt
import decimal
import pickle
import types

import pytest
from hypothesis import given, strategies as st

import brindle
from brindle.cell.cell import Cell
from brindle.styles.cell_style import FIELDS, StyleArray, StyleList
from brindle.utils.cell import column_index_from_string, coordinate_to_tuple, get_column_letter
from brindle.utils.datetime import MAC_EPOCH, WINDOWS_EPOCH, to_excel


@pytest.fixture
def ws():
    return brindle.Workbook().active


def test_slots_are_plain_object_members():
    expected = ["parent", "_style", "row", "column", "_value", "_hyperlink", "data_type",
                "_comment", "_as_read"]
    assert list(Cell.__slots__) == expected
    for name in expected:
        assert type(getattr(Cell, name)) is types.MemberDescriptorType
    # Instances made without __init__ (as the engine makes them) still work.
    cell = Cell.__new__(Cell)
    cell.parent, cell.row, cell.column, cell._value, cell.data_type = None, 2, 28, 5, "n"
    assert (cell.coordinate, cell.column_letter, cell.value) == ("AB2", "AB", 5)


@pytest.mark.parametrize("value,data_type", [
    (None, "n"), (0, "n"), (1.5, "n"), (decimal.Decimal("2.5"), "n"), (True, "b"), (False, "b"),
    ("x", "s"), ("", "s"), ("=", "s"), ("=A1+1", "f"), ("#N/A", "e"), ("#DIV/0!", "e"),
    ("#n/a", "s"), (dt.datetime(2024, 1, 1), "d"), (dt.date(2024, 1, 1), "d"),
    (dt.time(1), "d"), (dt.timedelta(1), "d"),
])
def test_value_sets_data_type(ws, value, data_type):
    cell = ws.cell(1, 1, value)
    assert (cell.value, cell.data_type) == (value, data_type)
    cell.value = None
    assert (cell.value, cell.data_type) == (None, "n")


@pytest.mark.parametrize("value,error", [
    ("=A1&\"\x00\"", brindle.IllegalCharacterError), ("=\x0b", brindle.IllegalCharacterError),
    ("\ud83d", brindle.IllegalCharacterError), ("a\udfff", brindle.IllegalCharacterError),
    (b"bytes", ValueError), (object(), ValueError), ([1], ValueError),
])
def test_values_a_workbook_cannot_hold_are_refused(ws, value, error):
    with pytest.raises(error):
        ws.cell(1, 1).value = value
    assert ws.cell(1, 1).value is None


@pytest.mark.parametrize("value,fmt", [
    (dt.datetime(2024, 1, 1), "yyyy-mm-dd h:mm:ss"), (dt.date(2024, 1, 1), "yyyy-mm-dd"),
    (dt.time(1), "h:mm:ss"), (dt.timedelta(1), "[h]:mm:ss"),
])
def test_dates_get_a_date_format_unless_they_have_one(ws, value, fmt):
    cell = ws.cell(1, 1, value)
    assert cell.number_format == fmt and cell.is_date and cell.has_style
    other = ws.cell(1, 2)
    other.number_format = "dd/mm/yyyy"
    other.value = value
    assert other.number_format == "dd/mm/yyyy"


def test_number_formats_share_ids_and_do_not_alias(ws):
    a, b = ws.cell(1, 1), ws.cell(1, 2)
    shared = StyleArray()
    a._style = b._style = shared
    a.number_format = "0.000"
    assert shared == StyleArray() and a._style.numFmtId == 164 and not b.has_style
    b.number_format = "0.000"
    assert b._style == a._style and b._style is not a._style
    b.number_format = "0.00"
    assert b._style.numFmtId == 2 and b.number_format == "0.00"
    assert ws.parent._number_formats == ["0.000"]


def test_style_array_fields_and_copies():
    style = StyleArray(range(1, 10))
    assert [getattr(style, f) for f in FIELDS] == list(range(1, 10)) and style.itemsize == 4
    assert style.replace(fontId=7)[0] == 7 and style[0] == 1
    for other in (copy.copy(style), copy.deepcopy(style), pickle.loads(pickle.dumps(style))):
        assert type(other) is StyleArray and other == style and other is not style
    for bad in ([1, 2], [2**31] + [0] * 8):
        with pytest.raises((ValueError, OverflowError)):
            StyleArray(bad)


def test_style_list_gives_equal_arrays_one_index():
    styles = StyleList([StyleArray()])
    a = StyleArray([0, 0, 0, 14, 0, 0, 0, 0, 0])
    assert styles.add(a) == 1 and styles.add(StyleArray(a)) == 1
    assert styles.add(array.array("i", a)) == 1 and styles.add(list(a)) == 1
    a[3] = 15  # the list holds its own copy
    assert styles[1].numFmtId == 14 and styles.add(a) == 2 and len(styles) == 3
    assert styles.index(StyleArray()) == 0


def test_hyperlink_takes_the_cell_position_and_fills_an_empty_value(ws):
    cell = ws.cell(3, 2)
    cell.hyperlink = "https://example.com"
    assert (cell.hyperlink.ref, cell.value) == ("B3", "https://example.com")
    shared = brindle.Hyperlink(location="'Sheet'!A1")
    cell.hyperlink = shared
    ws.cell(4, 4).hyperlink = shared
    assert cell.hyperlink.ref == "B3" and cell.value == "https://example.com"
    assert ws.cell(4, 4).hyperlink.ref == "D4" and shared.ref is None


@pytest.mark.parametrize("index,letters", [(1, "A"), (26, "Z"), (27, "AA"), (702, "ZZ"),
                                           (703, "AAA"), (16384, "XFD"), (18278, "ZZZ")])
def test_column_letters(index, letters):
    assert get_column_letter(index) == letters
    assert column_index_from_string(letters.lower()) == index
    assert coordinate_to_tuple(f"${letters}$12") == (12, index)


@pytest.mark.parametrize("call", [
    lambda: get_column_letter(0), lambda: get_column_letter(18279), lambda: get_column_letter(1.0),
    lambda: coordinate_to_tuple("A0"), lambda: coordinate_to_tuple("AAAA1"),
    lambda: coordinate_to_tuple("A 1"),
])
def test_bad_references(call):
    with pytest.raises(ValueError):
        call()


@given(st.datetimes(min_value=dt.datetime(1900, 3, 1), max_value=dt.datetime(9999, 12, 31)))
def test_serials_match_date_arithmetic(value):
    exact = (value - WINDOWS_EPOCH) / dt.timedelta(days=1)
    assert abs(to_excel(value) - exact) <= 1e-9 * max(1.0, exact)
    # The time of day is a fraction below one, but next to midnight the sum
    # with a large day count may round up to the next whole day.
    assert 0 <= to_excel(value) - (value.date() - WINDOWS_EPOCH.date()).days <= 1
    assert 0 <= to_excel(value, MAC_EPOCH) - (value.date() - MAC_EPOCH.date()).days <= 1


@pytest.mark.parametrize("value,serial", [
    (dt.datetime(1900, 1, 1), 1), (dt.datetime(1900, 2, 28), 59), (dt.datetime(1900, 3, 1), 61),
    (dt.datetime(1899, 12, 30, 12), 0.5), (dt.datetime(1899, 12, 29), -1),
    (dt.datetime(2020, 1, 1, 0, 0, 0, 1000), 43831 + 0.001 / 86400),
    (dt.time(18), 0.75), (dt.timedelta(days=-1), -1),
    (dt.datetime(2024, 1, 1, tzinfo=dt.timezone(dt.timedelta(hours=5))), 45292),
])
def test_serials(value, serial):
    assert to_excel(value) == serial
