"""The archive layer: members written by our zip writer with either deflate
library read back identically through the standard library's zipfile and
through our own member reader, and damage is reported the same way."""

import io
import os
import random
import zipfile

import pytest

import brindle
from brindle.reader.zip_reader import ZipReader
from brindle.utils import deflate
from brindle.writer import zip_writer
from brindle.writer.zip_writer import ZipWriter

BACKENDS = deflate.available()


def test_isal_is_used_where_installed():
    # The development environment installs it; without it we silently lose
    # most of the speed of saving, which a test should notice.
    assert "isal" in BACKENDS
    assert brindle.Options().deflate_library == "isal"


@pytest.fixture(params=BACKENDS)
def backend(request, brindle_options):
    brindle_options(deflate_backend=request.param)
    return request.param


def _payloads():
    rng = random.Random(7)
    return {
        "empty.xml": b"",
        "small.xml": b"<a/>",
        "xl/worksheets/sheet1.xml": b"".join(
            b'<row r="%d"><c r="A%d"><v>%d</v></c></row>' % (i, i, rng.randrange(10**9))
            for i in range(1, 30000)),
        "noise.bin": rng.randbytes(200_000),
        "d\u00e9j\u00e0/\u00fcnicode.xml": "<t>\u00e9\u4e2d</t>".encode(),
    }


def _archive(streamed_chunk=None):
    buf = io.BytesIO()
    with ZipWriter(buf) as zw:
        for name, data in _payloads().items():
            if streamed_chunk is None:
                zw.writestr(name, data)
            else:
                with zw.open(name) as out:
                    for i in range(0, len(data), streamed_chunk):
                        out.write(data[i:i + streamed_chunk])
    return buf.getvalue()


@pytest.mark.parametrize("chunk", [None, 1, 4093, 1 << 20])
def test_members_read_back_with_zipfile_and_our_reader(backend, chunk):
    if chunk == 1:
        # Byte-at-a-time streaming of every payload would be slow; the small
        # members are enough to exercise it.
        data = io.BytesIO()
        with ZipWriter(data) as zw:
            with zw.open("tiny.xml") as out:
                for b in b"<x>hello</x>":
                    out.write(bytes([b]))
        assert zipfile.ZipFile(data).read("tiny.xml") == b"<x>hello</x>"
        return
    blob = _archive(chunk)
    zf = zipfile.ZipFile(io.BytesIO(blob))
    assert zf.testzip() is None
    expected = _payloads()
    assert zf.namelist() == list(expected)
    for other in BACKENDS:  # read with each library, whichever wrote it
        with ZipReader(io.BytesIO(blob), options=brindle.Options(deflate_backend=other)) as zr:
            for name, data in expected.items():
                assert zf.read(name) == data
                assert zr.read(name) == data
                with zr.open(name) as member:  # small reads see the same bytes
                    got = b"".join(iter(lambda: member.read(977), b""))
                assert got == data


def test_stored_and_other_methods_are_read(tmp_path):
    path = tmp_path / "mixed.zip"
    with zipfile.ZipFile(path, "w") as zf:
        zf.writestr("stored.xml", b"<s>" * 50_000, compress_type=zipfile.ZIP_STORED)
        zf.writestr("bz.xml", b"<b/>" * 1000, compress_type=zipfile.ZIP_BZIP2)
    with ZipReader(path) as zr:
        assert zr.read("stored.xml") == b"<s>" * 50_000
        with zr.open("stored.xml") as m:
            assert m.read(5) + m.read(1) == b"<s><s>"
        assert zr.read("bz.xml") == b"<b/>" * 1000
        with pytest.raises(KeyError):
            zr.open("missing.xml")


def _damaged(blob, name, how):
    zf = zipfile.ZipFile(io.BytesIO(blob))
    info = zf.getinfo(name)
    start = info.header_offset + 30 + len(info.filename.encode()) + len(info.extra)
    data = bytearray(blob)
    if how == "corrupt":
        # An invalid block type in the first block header.
        data[start] = 0x07
    elif how == "crc":
        pos = blob.index(b"PK\x01\x02")
        while True:
            n = int.from_bytes(blob[pos + 28:pos + 30], "little")
            if blob[pos + 46:pos + 46 + n] == name.encode():
                break
            pos = blob.index(b"PK\x01\x02", pos + 4)
        data[pos + 16] ^= 0xFF  # the central directory's CRC
    return bytes(data)


@pytest.mark.parametrize("how, error, message", [
    ("corrupt", deflate.DeflateError, "corrupt deflate data"),
    ("crc", zipfile.BadZipFile, "Bad CRC-32"),
])
def test_damage_gives_the_same_error_with_either_library(backend, how, error, message):
    blob = _damaged(_archive(), "xl/worksheets/sheet1.xml", how)
    with ZipReader(io.BytesIO(blob)) as zr:
        with pytest.raises(error, match=message) as info:
            zr.read("xl/worksheets/sheet1.xml")
    assert "xl/worksheets/sheet1.xml" in str(info.value)


def test_truncated_stream_is_an_error(backend):
    comp = deflate.compressor()
    body = comp.compress(b"<a>" * 10000) + comp.flush()
    buf = io.BytesIO()
    with ZipWriter(buf) as zw:
        zw.write_deflated("t.xml", [body[:len(body) // 2]], deflate.crc32(b"<a>" * 10000),
                          30000, len(body) // 2)
    with ZipReader(io.BytesIO(buf.getvalue())) as zr:
        with pytest.raises(deflate.DeflateError, match="truncated"):
            zr.read("t.xml")


def test_zip64_records_where_limits_are_passed(monkeypatch, backend):
    # Real ZIP64 archives need gigabytes; lowering the thresholds drives the
    # same code, and the standard library must still find every member.
    monkeypatch.setattr(zip_writer, "_LIMIT", 1000)
    monkeypatch.setattr(zip_writer, "_COUNT_LIMIT", 3)
    blob = _archive(5000)
    assert b"PK\x06\x06" in blob and b"PK\x06\x07" in blob
    zf = zipfile.ZipFile(io.BytesIO(blob))
    for name, data in _payloads().items():
        assert zf.read(name) == data
    with ZipReader(io.BytesIO(blob)) as zr:
        assert zr.read("noise.bin") == _payloads()["noise.bin"]


def test_writer_refuses_misuse():
    zw = ZipWriter(io.BytesIO())
    zw.writestr("a", b"1")
    with pytest.raises(ValueError, match="duplicate"):
        zw.writestr("a", b"2")
    member = zw.open("b")
    with pytest.raises(ValueError, match="still being written"):
        zw.writestr("c", b"")
    member.close()
    with pytest.raises(ValueError, match="expected 3"):
        zw.write_deflated("d", [b"x"], 0, 0, 3)
    zw.close()
    with pytest.raises(ValueError, match="closed"):
        zw.writestr("e", b"")


def test_failed_save_leaves_the_previous_file(tmp_path):
    path = tmp_path / "book.xlsx"
    path.write_bytes(b"the previous version")
    with pytest.raises(RuntimeError):
        with ZipWriter(path) as zw:
            zw.writestr("a.xml", b"<a/>")
            raise RuntimeError("boom")
    assert path.read_bytes() == b"the previous version"
    assert os.listdir(tmp_path) == ["book.xlsx"]  # no temporary file left over
    # A complete save replaces it, with an ordinary file's permissions.
    with ZipWriter(path) as zw:
        zw.writestr("a.xml", b"<a/>")
    assert zipfile.ZipFile(path).read("a.xml") == b"<a/>"
    umask = os.umask(0)
    os.umask(umask)
    assert os.stat(path).st_mode & 0o777 == 0o666 & ~umask


def test_a_workbook_whose_save_fails_leaves_no_file(tmp_path, monkeypatch):
    from brindle.writer import package

    def failing(wb):
        raise OSError("disk full")

    monkeypatch.setattr(package, "stylesheet_xml", failing)  # fails half way
    wb = brindle.Workbook()
    wb.active["A1"] = 1
    with pytest.raises(OSError, match="disk full"):
        wb.save(tmp_path / "out.xlsx")
    assert os.listdir(tmp_path) == []


@pytest.mark.parametrize("write_only", [True, False])
def test_workbooks_round_trip_with_either_library(tmp_path, backend, write_only):
    wb = brindle.Workbook(write_only=write_only)
    ws = wb.create_sheet("Data")
    rows = [[i, i * 0.5, f"text {i}", i % 2 == 0] for i in range(2000)]
    for row in rows:
        ws.append(row)
    path = tmp_path / f"{backend}.xlsx"
    wb.save(path)
    assert zipfile.ZipFile(path).testzip() is None
    with brindle.load_workbook(path, read_only=True) as rb:
        got = [list(r) for r in rb["Data"].iter_rows(values_only=True)]
    assert got == rows


# --- streams that take or give less than asked ------------------------------

class _Trickle(io.RawIOBase):
    """A raw stream over bytes that reads and writes at most `step` bytes a call,
    as pipes and sockets may."""

    def __init__(self, data=b"", step=7):
        self._buf = io.BytesIO(data)
        self._step = step

    def readable(self):
        return True

    def writable(self):
        return True

    def seekable(self):
        return True

    def seek(self, pos, whence=0):
        return self._buf.seek(pos, whence)

    def tell(self):
        return self._buf.tell()

    def readinto(self, b):
        data = self._buf.read(min(len(b), self._step))
        b[:len(data)] = data
        return len(data)

    def write(self, b):
        return self._buf.write(bytes(memoryview(b)[:self._step]))

    def getvalue(self):
        return self._buf.getvalue()


def _book():
    wb = brindle.Workbook()
    ws = wb.active
    for i in range(1, 200):
        ws.append([i, f"text {i}", i / 4])
    return wb


def _cells(wb):
    return [[c.value for c in row] for row in wb.active.iter_rows()]


@pytest.mark.parametrize("write_only", [False, True])
def test_a_save_to_a_stream_that_takes_part_of_each_write_is_whole(write_only):
    wb = brindle.Workbook(write_only=write_only)
    ws = wb.create_sheet("S")
    rows = [[i, f"text {i}", i / 4] for i in range(1, 200)]
    for row in rows:
        ws.append(row)
    out = _Trickle()
    wb.save(out)
    back = brindle.load_workbook(io.BytesIO(out.getvalue()))
    assert [[c.value for c in row] for row in back["S"].iter_rows()] == rows


def test_a_stream_that_takes_nothing_is_an_error():
    class Stuck(_Trickle):
        def write(self, b):
            return None  # a non-blocking stream that would block

    with pytest.raises(BlockingIOError):
        _book().save(Stuck())


@pytest.mark.parametrize("native", [True, False])
@pytest.mark.parametrize("read_only", [False, True])
def test_a_load_from_a_stream_that_gives_part_of_each_read(native, read_only):
    buf = io.BytesIO()
    wb = _book()
    wb.save(buf)
    back = brindle.load_workbook(_Trickle(buf.getvalue(), step=100), read_only=read_only,
                                 native=native)
    if read_only:
        with back:
            got = [list(r) for r in back["Sheet"].iter_rows(values_only=True)]
    else:
        got = _cells(back)
    assert got == _cells(wb)


class _FullDisk(io.FileIO):
    """A file on a disk that fills up after `room` bytes: every write past it
    fails, the one that flushes the buffer at close as well."""

    room = 5000

    def write(self, b):
        n = len(memoryview(b))
        if self.tell() + n > self.room:
            raise OSError(28, "No space left on device")
        return super().write(b)


@pytest.mark.parametrize("room", [0, 3000, 6000])
def test_a_save_that_fills_the_disk_leaves_only_the_previous_file(tmp_path, monkeypatch, room):
    path = tmp_path / "book.xlsx"
    path.write_bytes(b"the previous version")
    monkeypatch.setattr(_FullDisk, "room", room)
    monkeypatch.setattr(zip_writer.os, "fdopen",
                        lambda fd, mode: io.BufferedWriter(_FullDisk(fd, "wb")))
    with pytest.raises(OSError, match="No space left"):
        _book().save(path)
    assert os.listdir(tmp_path) == ["book.xlsx"]
    assert path.read_bytes() == b"the previous version"
