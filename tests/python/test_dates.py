"""Serial-date conversions of the engine against datetime arithmetic.

The conversions are internal to the engine, so they are driven through the
`date_probe` program of the C++ test build, one request per line.
"""

import datetime as dt
import math
import os
import pathlib
import subprocess

import pytest
from hypothesis import example, given, strategies as st

ROOT = pathlib.Path(__file__).resolve().parents[2]
PROBE = pathlib.Path(os.environ.get("BRINDLE_BUILD_DIR", ROOT / "build" / "dev")) / "tests/cpp/date_probe"

WINDOWS = dt.datetime(1899, 12, 30)
MAC = dt.datetime(1904, 1, 1)


class Probe:
    def __init__(self):
        self.proc = subprocess.Popen([str(PROBE)], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     text=True, bufsize=1)
        self.epoch = None

    def ask(self, line):
        self.proc.stdin.write(line + "\n")
        return self.proc.stdout.readline().split()

    def set_epoch(self, epoch, is_1900):
        if self.epoch != (epoch, is_1900):
            e = epoch
            assert self.ask(f"E {e.year} {e.month} {e.day} {e.hour} {e.minute} {e.second} "
                            f"{e.microsecond} {int(is_1900)}") == ["ok"]
            self.epoch = (epoch, is_1900)

    def from_serial(self, value):
        if isinstance(value, int):
            out = self.ask(f"I {value}")
        else:
            out = self.ask(f"F {value.hex()}")
        if out[0] == "X":
            return None
        fields = [int(x) for x in out[1:]]
        return dt.time(*fields) if out[0] == "T" else dt.datetime(*fields)

    def to_serial(self, value):
        if isinstance(value, dt.datetime):
            f = (value.year, value.month, value.day, value.hour, value.minute, value.second,
                 value.microsecond)
            out = self.ask("S D " + " ".join(map(str, f)))
        else:
            out = self.ask(f"S T 0 0 0 {value.hour} {value.minute} {value.second} {value.microsecond}")
        return None if out[0] == "X" else float.fromhex(out[0])

    def close(self):
        self.proc.stdin.close()
        self.proc.stdout.close()
        self.proc.wait(timeout=10)


@pytest.fixture(scope="module")
def probe():
    if not PROBE.exists():
        pytest.skip("date_probe is not built")
    p = Probe()
    yield p
    p.close()


def expected_from(value, epoch, is_1900):
    """The serial as a datetime/time: whole days by timedelta(days=...), the
    fraction rounded to the millisecond."""
    try:
        day, fraction = divmod(value, 1)
        diff = dt.timedelta(milliseconds=round(fraction * 86400 * 1000))
        # Day 0 of the 1900 system is no day: its serials below 1 are times.
        if 0 <= value < 1 and diff.days == 0 and is_1900:
            return (dt.datetime.min + diff).time()
        if 0 < value < 60 and is_1900:
            day += 1
        return epoch + dt.timedelta(days=day) + diff
    except (OverflowError, ValueError):
        return None


def expected_to(value, epoch, is_1900):
    frac = (value.hour * 3600 + value.minute * 60 + value.second + value.microsecond / 10**6) / 86400
    if isinstance(value, dt.time):
        return frac
    days = (value - epoch).days
    if 0 < days <= 60 and is_1900:
        days -= 1
    return days + frac


EPOCHS = st.sampled_from([(WINDOWS, True), (MAC, False)]) | st.tuples(
    st.datetimes(min_value=dt.datetime(1800, 1, 1), max_value=dt.datetime(2100, 1, 1)),
    st.just(False))

FLOATS = st.one_of(
    st.floats(),  # any double: NaN, infinities, subnormals, huge
    st.floats(-3e6, 3e6),
    # just off whole days and off millisecond boundaries, where rounding decides
    st.builds(lambda d, ms, eps: d + ms / 86400000 + eps, st.integers(-700000, 3000000),
              st.integers(0, 86400000), st.floats(-1e-9, 1e-9)),
    st.sampled_from([59.5, 60.0, 60.5, 0.99999999999, -0.0, 2958465.9999999, 5e-324, -5e-324]),
)
INTS = st.one_of(st.integers(-1_100_000_000, 1_100_000_000), st.integers(-700000, 3000000),
                 st.integers(-(2**63), 2**63 - 1), st.integers(-5, 65))


@given(EPOCHS, st.lists(st.one_of(INTS, FLOATS), min_size=1, max_size=40))
@example((WINDOWS, True), [0, 1, 59, 60, 61, -1, 2958465, 2958466, 999999999, 1000000000])
@example((MAC, False), [0, 0.0, 0.5, 0.99999999999, -0.5, 1, 60, 2957003, 2957004])
def test_from_serial_matches_datetime(probe, epoch, serials):
    probe.set_epoch(*epoch)
    for s in serials:
        assert probe.from_serial(s) == expected_from(s, *epoch), s


@given(EPOCHS, st.lists(st.datetimes() | st.times(), min_size=1, max_size=40))
def test_to_serial_matches_datetime(probe, epoch, values):
    probe.set_epoch(*epoch)
    for v in values:
        got = probe.to_serial(v)
        want = expected_to(v, *epoch)
        assert got == want or (math.isnan(got) and math.isnan(want)), v


@given(st.integers(-693593, 2958465))
def test_whole_days_round_trip_in_the_1900_system(probe, serial):
    probe.set_epoch(WINDOWS, True)
    back = probe.to_serial(probe.from_serial(serial))
    # 29 February 1900 does not exist: serial 60 reads as the 28th, i.e. 59.
    assert back == (59 if serial == 60 else serial) or (serial == 0 and back == 0)
