"""Sheet data deflated while it is written: the parts it ends up in are the
same with and without the second thread, with either deflate library, after
failed saves and interrupted waits, and no deflating thread outlives its
work."""

import dataclasses
import io
import os
import random
import threading
import time
import zipfile
import zlib

import pytest

import brindle
import brindle.writer.sheet as sheet_mod
from brindle.utils import deflate
from brindle.writer import zip_writer

BACKENDS = deflate.available()


@pytest.fixture(params=BACKENDS)
def backend(request, brindle_options):
    brindle_options(deflate_backend=request.param)
    return request.param


@pytest.fixture
def fixed_clock(monkeypatch):
    # Member times come from the clock; equal archives need equal times.
    monkeypatch.setattr(zip_writer.time, "localtime", lambda: time.struct_time(
        (2024, 5, 6, 7, 8, 10, 0, 127, 0)))


def deflate_threads():
    return [t for t in threading.enumerate() if t.name == "brindle-deflate"]


@pytest.mark.parametrize("sizes", [(0, 0), (0, 5), (7, 0), (1, 1), (100, 3000), (5000, 1)])
def test_crc_of_joined_pieces(sizes):
    rnd = random.Random(sum(sizes))
    a, b = (bytes(rnd.getrandbits(8) for _ in range(n)) for n in sizes)
    assert deflate.crc32_combine(zlib.crc32(a), zlib.crc32(b), len(b)) == zlib.crc32(a + b)


def test_crc_combination_agrees_with_isal_for_long_pieces():
    isal = pytest.importorskip("isal.isal_zlib", reason="ISA-L is not installed")
    for length in (1, 1000, 1 << 20, 45_000_000, (1 << 32) + 5):
        assert deflate.crc32_combine(0x12345678, 0x9ABCDEF0, length) == \
            isal.crc32_combine(0x12345678, 0x9ABCDEF0, length)


def rows(n):
    rnd = random.Random(n)
    return [[i, rnd.random(), f"name {rnd.randrange(500)}", rnd.getrandbits(64).to_bytes(8).hex(),
             i % 3 == 0] for i in range(n)]


def save(rows_, write_only, threaded, sheets=1, lxml=False):
    with brindle.options(deflate_thread=threaded):
        wb = brindle.Workbook(write_only=write_only, lxml=lxml)
    for s in range(sheets):
        ws = wb.create_sheet(f"S{s}")
        for row in rows_:
            ws.append(row)
    out = io.BytesIO()
    wb.save(out)
    return out.getvalue()


def parts(data):
    z = zipfile.ZipFile(io.BytesIO(data))
    assert z.testzip() is None
    return {name: z.read(name) for name in z.namelist()}


@pytest.mark.parametrize("write_only", [True, False])
def test_the_second_thread_changes_no_byte(backend, fixed_clock, write_only):
    many = rows(30000)  # several MiB of sheet text: many pieces deflated apart
    threaded = save(many, write_only, True, sheets=2)
    assert threaded == save(many, write_only, False, sheets=2)
    # (an in-memory workbook starts with an empty sheet of its own)
    sheet = parts(threaded)[f"xl/worksheets/sheet{1 if write_only else 2}.xml"]
    assert sheet.count(b"<row ") == len(many) and sheet.endswith(b"</worksheet>")
    assert not deflate_threads()


@pytest.mark.parametrize("lxml", [False, True])
def test_either_library_gives_the_same_parts(lxml):
    few = rows(3000)
    got = []
    for name in BACKENDS:
        with brindle.options(deflate_backend=name):
            got.append(parts(save(few, True, True, lxml=lxml)))
    assert all(g == got[0] for g in got)


def test_an_empty_sheet_is_a_whole_part(backend):
    for write_only in (True, False):
        wb = brindle.Workbook(write_only=write_only)
        wb.create_sheet("Empty")
        out = io.BytesIO()
        wb.save(out)
        assert b"<sheetData" in parts(out.getvalue())["xl/worksheets/sheet1.xml"]


def test_rows_after_a_failed_save_continue_the_same_data(monkeypatch, tmp_path):
    # A save that fails has already ended the deflated rows on a byte
    # boundary; rows appended afterwards continue the same stream.
    from brindle.writer import package

    real = package.stylesheet_xml
    calls = []

    def fails_once(wb):
        calls.append(1)
        if len(calls) == 1:
            raise OSError("disk full")
        return real(wb)

    monkeypatch.setattr(package, "stylesheet_xml", fails_once)
    many = rows(20000)
    wb = brindle.Workbook(write_only=True)
    ws = wb.create_sheet("S0")
    for row in many[:12000]:
        ws.append(row)
    with pytest.raises(OSError, match="disk full"):
        wb.save(tmp_path / "a.xlsx")
    assert os.listdir(tmp_path) == []
    for row in many[12000:]:
        ws.append(row)
    wb.save(tmp_path / "a.xlsx")
    with open(tmp_path / "a.xlsx", "rb") as f:
        got = parts(f.read())
    monkeypatch.setattr(package, "stylesheet_xml", real)
    assert got == parts(save(many, True, False))


def test_an_interrupted_wait_loses_only_its_row(monkeypatch):
    # Ctrl-C while an append waits for the deflating thread: that append
    # fails whole; the thread's work is kept and waited for later.
    many = rows(20000)
    real_wait = sheet_mod._Job.wait
    interrupted = []

    def wait(job):
        if not interrupted:
            interrupted.append(1)
            raise KeyboardInterrupt
        return real_wait(job)

    monkeypatch.setattr(sheet_mod._Job, "wait", wait)
    wb = brindle.Workbook(write_only=True)
    ws = wb.create_sheet("S0")
    failed = []
    for i, row in enumerate(many):
        try:
            ws.append(row)
        except KeyboardInterrupt:
            failed.append(i)
    assert len(failed) == 1
    out = io.BytesIO()
    wb.save(out)
    kept = [row for i, row in enumerate(many) if i not in failed]
    assert parts(out.getvalue()) == parts(save(kept, True, False))
    assert not deflate_threads()


@pytest.mark.parametrize("threaded", [True, False])
@pytest.mark.parametrize("exc", [KeyboardInterrupt, MemoryError])
def test_a_failing_compressor_stops_the_sheet_and_leaves_no_file(monkeypatch, tmp_path,
                                                                 threaded, exc,
                                                                 brindle_options):
    brindle_options(deflate_thread=threaded)
    real = deflate.compressor

    class Failing:
        def __init__(self, level=None, backend=None):
            self.comp, self.calls = real(level, backend), 0

        def compress(self, data):
            self.calls += 1
            if self.calls == 2:
                raise exc
            return self.comp.compress(data)

        def flush(self, mode=zlib.Z_FINISH):
            return self.comp.flush(mode)

    monkeypatch.setattr(deflate, "compressor", Failing)
    wb = brindle.Workbook(write_only=True)
    ws = wb.create_sheet("S0")
    with pytest.raises((exc, OSError)):
        for row in rows(30000):
            ws.append(row)
        wb.save(tmp_path / "a.xlsx")
    with pytest.raises(OSError):
        wb.save(tmp_path / "a.xlsx")
    assert os.listdir(tmp_path) == []
    assert not deflate_threads()


def styled_workbook(sheets=3, n=2000):
    wb = brindle.Workbook()
    for s in range(sheets):
        ws = wb.create_sheet(f"S{s}")
        for r in range(1, n + 1):
            ws.cell(row=r, column=1, value=r * (s + 1))
            c = ws.cell(row=r, column=2, value=f"t{r % 7}")
            if r % (5 + s) == 0:
                c.font = brindle.Font(bold=True, size=10 + (r + s) % 4)
        ws["C3"].hyperlink = "https://example.com"
    return wb


def test_sheets_written_in_parallel_give_the_serial_bytes(monkeypatch, fixed_clock):
    from brindle.writer import package

    redone = []
    real_truncate = package._truncate_styles
    monkeypatch.setattr(package, "_truncate_styles",
                        lambda styles, n: (redone.append(n), real_truncate(styles, n)))

    def saved(wb, parallel):
        wb.options = dataclasses.replace(wb.options, parallel_write=parallel)
        out = io.BytesIO()
        wb.save(out)
        return out.getvalue()

    serial = saved(styled_workbook(), False)
    # Styles met for the first time are numbered in sheet order: a parallel
    # save that meets new ones is written again one sheet after the other.
    wb = styled_workbook()
    assert saved(wb, True) == serial and redone
    # Once every style is known, the parallel writing stands.
    redone.clear()
    assert saved(wb, True) == serial and not redone
    assert not deflate_threads()


def test_a_sheet_that_fails_in_parallel_fails_the_save_as_in_order(monkeypatch, tmp_path,
                                                                   brindle_options):
    from brindle.writer import package
    from brindle.writer import sheet as sheet_writer

    real = sheet_writer.write_sheet_data

    def failing(ws, lxml, use_native=True):
        if ws.title in ("S1", "S2"):
            raise OSError(f"disk full at {ws.title}")
        return real(ws, lxml, use_native)

    monkeypatch.setattr(package, "write_sheet_data", failing)
    brindle_options(parallel_write=True)
    with pytest.raises(OSError, match="disk full at S1"):
        styled_workbook(n=50).save(tmp_path / "a.xlsx")
    assert os.listdir(tmp_path) == []
