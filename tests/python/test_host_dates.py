"""The host serial-date conversions."""

import datetime as dt
import math

import pytest
from hypothesis import given, strategies as st

from brindle.utils.datetime import MAC_EPOCH, WINDOWS_EPOCH, from_excel, from_ISO8601, to_excel

D = dt.datetime
T = dt.time


@pytest.mark.parametrize("serial,expected", [
    (1, D(1900, 1, 1)), (59, D(1900, 2, 28)), (60, D(1900, 2, 28)), (61, D(1900, 3, 1)),
    (0, T(0)), (-1, D(1899, 12, 29)), (2958465, D(9999, 12, 31)),
    (0.5, T(12)), (1.5, D(1900, 1, 1, 12)), (59.75, D(1900, 2, 28, 18)),
    (60.25, D(1900, 2, 28, 6)), (-0.5, D(1899, 12, 29, 12)),
    (0.99999999999, D(1900, 1, 1)), (43831.0000000058, D(2020, 1, 1, 0, 0, 0, 1000)),
    (0.0, T(0)), (-0.0, T(0)),
])
def test_windows_epoch(serial, expected):
    got = from_excel(serial)
    assert type(got) is type(expected) and got == expected


@pytest.mark.parametrize("serial,error", [
    (2958466, OverflowError), (1000000000, OverflowError), (-693595, OverflowError),
    (math.inf, OverflowError), (-math.inf, OverflowError), (math.nan, ValueError),
    (2958466.0, OverflowError), (1e300, OverflowError),
])
def test_out_of_range(serial, error):
    with pytest.raises(error):
        from_excel(serial)


def test_other_epochs_have_no_leap_year_correction():
    assert from_excel(1, MAC_EPOCH) == D(1904, 1, 2)
    assert from_excel(59.5, MAC_EPOCH) == D(1904, 2, 29, 12)
    # An epoch with a time of day carries into the result.
    assert from_excel(1, D(2000, 1, 1, 18)) == D(2000, 1, 2, 18)
    assert from_excel(1.5, D(2000, 1, 1, 18)) == D(2000, 1, 3, 6)


@pytest.mark.parametrize("serial,time_only,expected", [
    (0, False, D(1904, 1, 1)), (0.0, False, D(1904, 1, 1)), (0.5, False, D(1904, 1, 1, 12)),
    (0.25, True, dt.time(6)), (0, True, dt.time(0)), (0.99999999999, True, D(1904, 1, 2)),
    (1.5, True, D(1904, 1, 2, 12)), (-0.25, True, D(1903, 12, 31, 18)),
])
def test_1904_serials_below_1_are_dates_unless_the_format_shows_only_a_time(
        serial, time_only, expected):
    got = from_excel(serial, MAC_EPOCH, time_only=time_only)
    assert type(got) is type(expected) and got == expected
    # The 1900 system has no day 0: there they are times whatever the format.
    if 0 <= serial < 0.9:
        assert isinstance(from_excel(serial, WINDOWS_EPOCH, time_only=time_only), dt.time)


def test_timedelta():
    assert from_excel(1.25, timedelta=True) == dt.timedelta(days=1, hours=6)
    assert from_excel(1 / 86400 / 1000 * 1.4, timedelta=True) == dt.timedelta(milliseconds=1)


@given(st.integers(61, 2958465))
def test_integer_serials_count_days(n):
    assert from_excel(n) == WINDOWS_EPOCH + dt.timedelta(days=n)
    assert to_excel(from_excel(n)) == n


@given(st.floats(61, 2958465, allow_nan=False))
def test_float_serials_round_to_the_millisecond(x):
    # Oracle: the nearest millisecond of the exact fraction, by datetime arithmetic.
    whole = math.floor(x)
    millis = round((x - whole) * 86400.0 * 1000.0)
    want = WINDOWS_EPOCH + dt.timedelta(days=whole, milliseconds=millis)
    if want > D.max:
        with pytest.raises(OverflowError):
            from_excel(x)
    else:
        assert from_excel(x) == want


@pytest.mark.parametrize("text,expected", [
    ("2020-01-02T03:04:05", D(2020, 1, 2, 3, 4, 5)),
    ("2020-01-02T03:04:05.5Z", D(2020, 1, 2, 3, 4, 5, 500000, tzinfo=dt.timezone.utc)),
    ("2020-01-02T03:04+01:00", D(2020, 1, 2, 3, 4, tzinfo=dt.timezone(dt.timedelta(hours=1)))),
    ("2020-01-02", D(2020, 1, 2)),
    ("12:30:15", T(12, 30, 15)),
])
def test_iso8601(text, expected):
    assert from_ISO8601(text) == expected


@pytest.mark.parametrize("text", ["", "2020-13-01", "yesterday", "2020-01-02T", "12:30Z", None])
def test_iso8601_refuses(text):
    with pytest.raises(ValueError):
        from_ISO8601(text)
