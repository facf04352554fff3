"""Excel serial dates: the epochs and conversions used by readers and writers."""

import datetime as _dt

# Day 0 of the 1900 date system is 1899-12-30 so that serial 60 can stand for
# the 29 February 1900 that Lotus 1-2-3 believed in; the 1904 system starts
# cleanly.
WINDOWS_EPOCH = _dt.datetime(1899, 12, 30)
MAC_EPOCH = _dt.datetime(1904, 1, 1)
