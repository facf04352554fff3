"""Excel serial dates: the epochs and conversions used by readers and writers."""

import datetime as _dt
import math
import re

# Day 0 of the 1900 date system is 1899-12-30 so that serial 60 can stand for
# the 29 February 1900 that Lotus 1-2-3 believed in; the 1904 system starts
# cleanly.
WINDOWS_EPOCH = _dt.datetime(1899, 12, 30)
MAC_EPOCH = _dt.datetime(1904, 1, 1)

_MAX_DAY = _dt.date.max.toordinal() - 1  # 9999-12-31 as a count from 0001-01-01
_DAY_US = 86_400_000_000
_MAX_WHOLE_DAYS = 999_999_999


def _finish(epoch, days, millis):
    """epoch + days + millis, resolved on day numbers so the range check is exact."""
    micros = ((epoch.hour * 60 + epoch.minute) * 60 + epoch.second) * 1_000_000 + epoch.microsecond
    d = epoch.toordinal() - 1 + days
    if not 0 <= d <= _MAX_DAY:
        raise OverflowError("date value out of range")
    us = micros + millis * 1000
    d += us // _DAY_US
    us %= _DAY_US
    if not 0 <= d <= _MAX_DAY:
        raise OverflowError("date value out of range")
    return _dt.datetime.fromordinal(d + 1) + _dt.timedelta(microseconds=us)


def from_excel(value, epoch=WINDOWS_EPOCH, timedelta=False, time_only=False):
    """The date, time or duration that the serial `value` stands for.

    Serials in [0, 1) are times of day with the 1900 epoch, whose day 0 is no
    real day, and with `time_only` (a format that shows no date); every
    other serial is a datetime counted from `epoch`. With the 1900 epoch the serials 1 to 59 are moved
    by one day, because serial 60 is the fictitious 1900-02-29. Times are
    resolved to the millisecond. Serials that give no date between the years
    1 and 9999 raise OverflowError (ValueError for NaN).
    """
    if value is None:
        return None
    if timedelta:
        td = _dt.timedelta(days=value)
        if td.microseconds:
            # Durations, like times, are stored to the millisecond.
            td = _dt.timedelta(days=td.days, seconds=td.seconds,
                               milliseconds=round(td.microseconds / 1000))
        return td
    is_1900 = epoch == WINDOWS_EPOCH
    times = is_1900 or time_only
    if isinstance(value, int):
        if value == 0 and times:
            return _dt.time(0)
        if is_1900 and 0 < value < 60:
            value += 1
        if abs(value) > _MAX_WHOLE_DAYS:
            raise OverflowError("date value out of range")
        return _finish(epoch, value, 0)
    value = float(value)
    if math.isnan(value):
        raise ValueError("cannot convert float NaN to a date")
    if math.isinf(value):
        raise OverflowError("cannot convert float infinity to a date")
    frac = math.fmod(value, 1.0)
    whole = value - frac
    if frac == 0:
        frac = 0.0
    elif frac < 0:
        whole = value - frac - 1
        frac += 1
    day = math.floor(whole) + (1 if whole - math.floor(whole) > 0.5 else 0) if whole else 0
    millis = round((frac * 86400.0) * 1000.0)  # ties to even, as rint
    if 0 <= value < 1 and millis < 86_400_000 and times:
        hour, rest = divmod(millis, 3_600_000)
        minute, rest = divmod(rest, 60_000)
        second, ms = divmod(rest, 1000)
        return _dt.time(hour, minute, second, ms * 1000)
    if is_1900 and 0 < value < 60:
        day += 1
    if abs(day) > _MAX_WHOLE_DAYS:
        raise OverflowError("date value out of range")
    return _finish(epoch, day, millis)


_TIME = r"\d{2}:\d{2}(?::\d{2}(?:[.,]\d{1,6})?)?"
_ISO = re.compile(
    rf"^(?:(?P<date>\d{{4}}-\d{{2}}-\d{{2}})(?:T(?P<time>{_TIME})(?P<tz>Z|[+-]\d{{2}}:?\d{{2}})?)?"
    rf"|(?P<bare>{_TIME}))$"
)


def from_ISO8601(text):
    """A datetime (or, for a bare time, a time) from ISO 8601 text as cells of type d hold it.

    A date alone gives midnight of that day; a "Z" or numeric offset gives an
    aware datetime. Anything else raises ValueError.
    """
    m = _ISO.match(text) if isinstance(text, str) else None
    if m is None:
        raise ValueError(f"Invalid ISO 8601 date/time: {text!r}")
    if m.group("bare"):
        return _dt.time.fromisoformat(m.group("bare").replace(",", "."))
    tz = m.group("tz")
    tz = "+00:00" if tz == "Z" else tz or ""
    clock = (m.group("time") or "00:00").replace(",", ".")
    return _dt.datetime.fromisoformat(f"{m.group('date')}T{clock}{tz}")


def date_warning(coordinate, value):
    """The text of the warning for a date-styled cell whose serial gives no date."""
    where = f"Cell {coordinate}" if coordinate is not None else "A cell"
    return (f"{where} is marked as a date but the serial value {value!r} is outside the "
            "limits for dates. The cell will be treated as an error.")


def _time_fraction(t):
    # Kept in this exact order of operations: stored dates are reconverted
    # natively with the same arithmetic, and the two must agree to the bit.
    return (t.microsecond / 1_000_000 + (t.hour * 3600 + t.minute * 60 + t.second)) / 86400


def to_excel(value, epoch=WINDOWS_EPOCH):
    """The serial number of a date, datetime, time or timedelta.

    Whole days count from `epoch`; in the 1900 system the days up to
    1900-02-28 are shifted by one so that 1900-03-01 lands on 61, after the
    phantom 29 February. A datetime with a time zone keeps its wall-clock
    time (serials have no zone).
    """
    t = type(value)
    # Exact types first: one identity test for the common values.
    if t is _dt.datetime:
        if value.tzinfo is not None:
            value = value.replace(tzinfo=None)
    elif t is _dt.date:
        value = _dt.datetime(value.year, value.month, value.day)
    elif isinstance(value, _dt.timedelta):
        return (value.days * 86400 + value.seconds + value.microseconds / 1_000_000) / 86400
    elif isinstance(value, _dt.datetime):
        value = value.replace(tzinfo=None)
    elif isinstance(value, _dt.date):
        value = _dt.datetime(value.year, value.month, value.day)
    elif isinstance(value, _dt.time):
        return _time_fraction(value)
    else:
        raise TypeError(f"cannot convert {type(value).__name__} to an Excel serial")
    delta = value - epoch
    total = (delta.days * 86400 + delta.seconds) * 1_000_000 + delta.microseconds
    days = total // _DAY_US
    if 1 <= days <= 60 and epoch == WINDOWS_EPOCH:
        days -= 1
    # _time_fraction, inline: this runs for every date cell written.
    return (value.microsecond / 1_000_000
            + (value.hour * 3600 + value.minute * 60 + value.second)) / 86400 + days
