"""Excel serial dates: the epochs and conversions used by readers and writers."""

import datetime as _dt

# Day 0 of the 1900 date system is 1899-12-30 so that serial 60 can stand for
# the 29 February 1900 that Lotus 1-2-3 believed in; the 1904 system starts
# cleanly.
WINDOWS_EPOCH = _dt.datetime(1899, 12, 30)
MAC_EPOCH = _dt.datetime(1904, 1, 1)

_DAY_US = 86_400_000_000


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
    if isinstance(value, _dt.timedelta):
        return (value.days * 86400 + value.seconds + value.microseconds / 1_000_000) / 86400
    if isinstance(value, _dt.datetime):
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
    if epoch == WINDOWS_EPOCH and 1 <= days <= 60:
        days -= 1
    return _time_fraction(value) + days
