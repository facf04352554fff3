"""The command line, run as users run it: in a child process, checking output,
exit status and the one error line."""

import csv
import fcntl
import datetime as dt
import io
import os
import pty
import shutil
import struct
import subprocess
import sys
import termios

import pytest

import brindle

SRC = os.path.join(os.path.dirname(__file__), "..", "..", "src")


def run(*args, stdin=None):
    env = dict(os.environ, PYTHONPATH=os.path.abspath(SRC))
    return subprocess.run([sys.executable, "-m", "brindle", *args], capture_output=True,
                          text=True, env=env, input=stdin, timeout=120)


ROWS = [
    ["name", "amount", "when", "ok"],
    ["alpha", 1, dt.date(2024, 1, 2), True],
    ["beta, with comma", 2.5, dt.datetime(2024, 3, 4, 5, 6, 7), False],
    ['quote "q"', -3, None, None],
    ["ünïcødé", 10**12, dt.date(1999, 12, 31), True],
]


@pytest.fixture
def book(tmp_path):
    wb = brindle.Workbook(write_only=True)
    ws = wb.create_sheet("Data")
    for row in ROWS:
        ws.append(row)
    other = wb.create_sheet("Other sheet")
    other.append([None, None, "C1"])
    other.append(["=1+2"])
    path = tmp_path / "book.xlsx"
    wb.save(path)
    return path


def _csv_text(value):
    if value is None:
        return ""
    if isinstance(value, bool):
        return "TRUE" if value else "FALSE"
    if isinstance(value, dt.datetime) and value.time() == dt.time():
        return value.date().isoformat()
    if isinstance(value, (dt.date, dt.datetime)):
        return value.isoformat()
    return str(value)


def test_info(book):
    r = run("info", str(book))
    assert r.returncode == 0, r.stderr
    assert r.stderr == ""
    lines = r.stdout.splitlines()
    assert "date system: 1900" in lines
    assert "sheets: 2" in lines
    assert "  Data: A1:D5, 18 cells in 5 rows" in lines
    assert "  Other sheet: A1:C2, 2 cells in 2 rows" in lines
    assert "defined names: 0" in lines


def test_to_csv_matches_the_values(book, tmp_path):
    r = run("to-csv", str(book))
    assert r.returncode == 0, r.stderr
    got = list(csv.reader(io.StringIO(r.stdout)))
    # Rows end at their last cell, as the sheet stores them.
    want = [[_csv_text(v) for v in row] for row in ROWS]
    assert got == [row[:max(i + 1 for i, t in enumerate(row) if t)] for row in want]
    out = tmp_path / "other.csv"
    r = run("to-csv", str(book), "--sheet", "Other sheet", "-o", str(out), "--formulas")
    assert r.returncode == 0, r.stderr
    with out.open(newline="") as f:
        assert list(csv.reader(f)) == [["", "", "C1"], ["=1+2"]]


def test_to_csv_all_sheets(book, tmp_path):
    folder = tmp_path / "out"
    r = run("to-csv", str(book), "--all", "-o", str(folder))
    assert r.returncode == 0, r.stderr
    assert sorted(os.listdir(folder)) == ["book-Data.csv", "book-Other_sheet.csv"]


# Gnumeric is an outside program: a user running the suite without it gets a skip;
# in the development environment (and so under CI, where any skip fails) it runs.
@pytest.mark.skipif(shutil.which("ssconvert") is None and not os.environ.get("BRINDLE_IN_DEVENV"),
                    reason="Gnumeric's ssconvert is not installed")
def test_to_csv_agrees_with_gnumeric(tmp_path):
    # Numbers and text only: the two tools format dates and booleans their
    # own ways, which is a choice, not a fault.
    wb = brindle.Workbook(write_only=True)
    ws = wb.create_sheet("S")
    rows = [["a", 1, 2.5], ["b, c", -7, 1e-3], ['"d"', 123456789, 0.1]]
    for row in rows:
        ws.append(row)
    path = tmp_path / "g.xlsx"
    wb.save(path)
    theirs = tmp_path / "g.csv"
    subprocess.run(["ssconvert", "--export-type=Gnumeric_stf:stf_csv", str(path), str(theirs)],
                   check=True, capture_output=True)
    ours = run("to-csv", str(path))
    assert ours.returncode == 0, ours.stderr
    with theirs.open(newline="") as f:
        assert list(csv.reader(io.StringIO(ours.stdout))) == list(csv.reader(f))


def test_from_csv_round_trip(tmp_path):
    first = tmp_path / "first.csv"
    first.write_text("x,y,when\n1,2.5,2024-01-02\nhello,,2024-01-02T03:04:05\n", encoding="utf-8")
    second = tmp_path / "second.csv"
    second.write_text("only\n007\n", encoding="utf-8")
    out = tmp_path / "made.xlsx"
    r = run("from-csv", str(first), str(second), "-o", str(out), "--numbers", "--dates")
    assert r.returncode == 0, r.stderr
    with brindle.load_workbook(out, read_only=True) as wb:
        assert wb.sheetnames == ["first", "second"]
        assert list(wb["first"].iter_rows(values_only=True)) == [
            ("x", "y", "when"), (1, 2.5, dt.datetime(2024, 1, 2)),
            ("hello", None, dt.datetime(2024, 1, 2, 3, 4, 5))]
        assert list(wb["second"].iter_rows(values_only=True)) == [("only",), (7,)]
    # Without the options every field stays text.
    r = run("from-csv", str(second), "-o", str(out))
    assert r.returncode == 0, r.stderr
    with brindle.load_workbook(out, read_only=True) as wb:
        assert list(wb["second"].iter_rows(values_only=True)) == [("only",), ("007",)]


@pytest.mark.parametrize("args, message", [
    (["info", "missing.xlsx"], "missing.xlsx: no such file"),
    (["info", "{notzip}"], "notzip.xlsx: text file, not an xlsx package"),
    (["to-csv", "{book}", "--sheet", "Nope"], "no sheet named 'Nope'"),
    (["from-csv", "{book}", "-o", "x.txt"], "must end in .xlsx"),
    (["from-csv", "missing.csv", "-o", "x.xlsx"], "missing.csv: no such file"),
    (["bench", "--cells", "3"], "at least 10"),
    (["frobnicate"], "invalid choice"),
    ([], "required"),
])
def test_errors_are_one_line_and_status_1(book, tmp_path, args, message):
    notzip = tmp_path / "notzip.xlsx"
    notzip.write_bytes(b"this is not a zip archive")
    args = [a.format(book=book, notzip=notzip) for a in args]
    r = subprocess.run([sys.executable, "-m", "brindle", *args], capture_output=True, text=True,
                       cwd=tmp_path, env=dict(os.environ, PYTHONPATH=os.path.abspath(SRC)))
    assert r.returncode == 1
    assert r.stderr.count("\n") == 1 and r.stderr.startswith("brindle: error: ")
    assert message in r.stderr
    assert "Traceback" not in r.stderr


def test_progress_only_on_a_terminal(book):
    env = dict(os.environ, PYTHONPATH=os.path.abspath(SRC), COLUMNS="100")
    # Not a terminal: nothing on stderr.
    r = run("to-csv", str(book))
    assert r.returncode == 0 and r.stderr == ""
    # A pseudo-terminal on stderr: tqdm draws its bar there.
    leader, follower = pty.openpty()
    # A new pseudo-terminal is 0 columns wide, where a bar has no room.
    fcntl.ioctl(follower, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 100, 0, 0))
    try:
        p = subprocess.run([sys.executable, "-m", "brindle", "to-csv", str(book)],
                           stdout=subprocess.PIPE, stderr=follower, env=env, timeout=120)
        os.close(follower)
        follower = None
        seen = b""
        while True:
            try:
                chunk = os.read(leader, 4096)
            except OSError:
                break
            if not chunk:
                break
            seen += chunk
    finally:
        if follower is not None:
            os.close(follower)
        os.close(leader)
    assert p.returncode == 0
    assert b"rows" in seen and b"Data" in seen


def test_bench_runs(tmp_path):
    r = run("bench", "--cells", "200")
    assert r.returncode == 0, r.stderr
    assert "write" in r.stdout and "read" in r.stdout


@pytest.mark.parametrize("native", [True, False], ids=["native", "pure"])
def test_to_csv_writes_durations_as_the_cell_shows_them(tmp_path, native):
    wb = brindle.Workbook(write_only=True, native=native)
    ws = wb.create_sheet("S")
    ws.append([dt.timedelta(days=2, hours=2, minutes=3), dt.timedelta(seconds=59),
               dt.timedelta(hours=30, milliseconds=250), dt.timedelta(0),
               -dt.timedelta(hours=1, minutes=30)])
    path = tmp_path / "d.xlsx"
    wb.save(path)
    r = run("to-csv", str(path))
    assert r.returncode == 0, r.stderr
    assert r.stdout == "50:03:00,0:00:59,30:00:00.250,0:00:00,-1:30:00\n"


def test_a_carriage_return_survives_from_csv_then_to_csv(tmp_path):
    rows = [["a\rb", "crlf\r\ninside", "plain"], ["x\r", "\ry", "line\nfeed"]]
    src = tmp_path / "cr.csv"
    with src.open("w", newline="", encoding="utf-8") as f:
        csv.writer(f, lineterminator="\n").writerows(rows)
    book = tmp_path / "cr.xlsx"
    r = run("from-csv", str(src), "-o", str(book))
    assert r.returncode == 0, r.stderr
    r = run("to-csv", str(book), "-o", str(tmp_path / "back.csv"))
    assert r.returncode == 0, r.stderr
    with (tmp_path / "back.csv").open(newline="", encoding="utf-8") as f:
        assert list(csv.reader(f)) == rows
