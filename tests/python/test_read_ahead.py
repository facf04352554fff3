"""Archive members inflated ahead of the reader on a thread of their own: the same
bytes, the same errors at the same places as inflating on the reader's thread, with
either deflate library, and a thread that never outlives its stream."""

import gc
import io
import os
import random
import subprocess
import sys
import textwrap
import threading
import zipfile
import zlib

import pytest

import brindle
from brindle.reader import zip_reader
from brindle.utils import deflate
from brindle.writer.zip_writer import ZipWriter

BACKENDS = deflate.available()
SHEET = "xl/worksheets/sheet1.xml"


def inflating_threads():
    return [t for t in threading.enumerate() if t.name.startswith("brindle inflate")]


@pytest.fixture(params=BACKENDS)
def backend(request, brindle_options):
    brindle_options(deflate_backend=request.param)
    return request.param


@pytest.fixture(params=["same-thread", "read-ahead", "read-ahead-no-gil"])
def ahead(request, monkeypatch, brindle_options):
    """Small blocks, so that small members cross many of them; with read-ahead every
    member gets a thread (which takes the CRC too where there is no GIL)."""
    brindle_options(block_size=4096, read_ahead=request.param != "same-thread",
                    read_ahead_min=0)
    monkeypatch.setattr(zip_reader, "_RAW", 1024)
    monkeypatch.setattr(sys, "_is_gil_enabled", lambda: not request.param.endswith("no-gil"))
    yield request.param
    assert not inflating_threads()


def payload(n=40_000, seed=3):
    rng = random.Random(seed)
    return b"".join(b'<row r="%d"><c r="A%d"><v>%d</v></c></row>' % (i, i, rng.randrange(10**9))
                    for i in range(1, n))


def archive(members, method=zipfile.ZIP_DEFLATED):
    buf = io.BytesIO()
    with zipfile.ZipFile(buf, "w", method) as zf:
        for name, data in members.items():
            zf.writestr(name, data)
    return buf.getvalue()


def data_start(blob, name):
    info = zipfile.ZipFile(io.BytesIO(blob)).getinfo(name)
    return info.header_offset + 30 + len(info.filename.encode()) + len(info.extra), info


def outcome(blob, name, size, **limits):
    """What reading member `name` in reads of `size` bytes gives: the bytes up to the
    end or the error, and the error's type and text."""
    got = []
    with zip_reader.ZipReader(blob if isinstance(blob, os.PathLike) else io.BytesIO(blob),
                              **limits) as zr:
        try:
            with zr.open(name) as member:
                while chunk := member.read(size):
                    got.append(chunk)
        except (zipfile.BadZipFile, deflate.DeflateError) as exc:
            return b"".join(got), type(exc).__name__, str(exc)
    return b"".join(got), None, None


@pytest.mark.parametrize("method", [zipfile.ZIP_DEFLATED, zipfile.ZIP_STORED])
@pytest.mark.parametrize("size", [1, 977, 4096, 65536, -1])
@pytest.mark.parametrize("path", [False, True], ids=["file-object", "path"])
def test_members_read_back_whole(tmp_path, backend, ahead, method, size, path):
    members = {SHEET: payload(), "empty.xml": b"", "noise.bin": random.Random(1).randbytes(30_000)}
    blob = archive(members, method)
    if path:
        (tmp_path / "a.zip").write_bytes(blob)
        blob = tmp_path / "a.zip"
    for name, data in members.items():
        if size == 1 and len(data) > 50_000:
            continue  # byte by byte through the big member is slow, not interesting
        got, error, _ = outcome(blob, name, size)
        assert error is None and got == data


def test_reads_that_straddle_blocks_get_exactly_what_they_ask(ahead):
    data = payload(5000)
    with zip_reader.ZipReader(io.BytesIO(archive({SHEET: data}))) as zr:
        with zr.open(SHEET) as m:
            sizes = [4095, 1, 4097, 10_000, 3, 0, 8192]
            pieces = [m.read(n) for n in sizes]
            assert [len(p) for p in pieces] == sizes
            rest = m.read()
            assert m.read(10) == b"" and m.read() == b""
    assert b"".join(pieces) + rest == data


def damaged(how):
    """The archive of `payload()` damaged `how`; with a "flip", somewhere in the
    middle: the stream may break, or inflate to the wrong bytes."""
    data = payload()
    if how == "half-way":
        # A stream that turns invalid exactly half way through.
        comp = zlib.compressobj(6, zlib.DEFLATED, -15)
        body = comp.compress(data[:len(data) // 2]) + comp.flush(zlib.Z_FULL_FLUSH)
        body += b"\x07" + bytes(64)  # a block of the reserved type
        buf = io.BytesIO()
        with ZipWriter(buf) as zw:
            zw.write_deflated(SHEET, [body], zlib.crc32(data), len(data), len(body))
        return buf.getvalue()
    blob = archive({SHEET: data})
    start, info = data_start(blob, SHEET)
    out = bytearray(blob)
    central = blob.rindex(b"PK\x01\x02")
    if how.startswith("flip"):
        rng = random.Random(how)
        at = start + rng.randrange(info.compress_size // 4, info.compress_size - 64)
        out[at:at + 8] = rng.randbytes(8)
    elif how == "crc":
        out[central + 16] ^= 0xFF
    elif how in ("longer", "shorter"):
        size = info.file_size + (-100 if how == "longer" else 100)
        out[central + 24:central + 28] = size.to_bytes(4, "little")
    elif how == "truncated":
        out[central + 20:central + 24] = (info.compress_size // 2).to_bytes(4, "little")
    return bytes(out)


@pytest.mark.parametrize("how, error, message", [
    ("crc", "BadZipFile", "Bad CRC-32"),
    ("longer", "BadZipFile", "is longer than its recorded size"),
    ("shorter", "BadZipFile", "is shorter than its recorded size"),
    ("truncated", "DeflateError", "deflate data is truncated"),
    ("half-way", "DeflateError", "corrupt deflate data"),
] + [(f"flip {n}", None, None) for n in range(6)])
def test_damage_gives_the_same_bytes_then_the_same_error(how, error, message):
    blob = damaged(how)
    seen = {}
    # Inflated on the reading thread, or ahead of it, with the CRC taken by
    # the reader (GIL) or by the thread (none).
    ways = [(False, True), (True, True), (True, False)]
    for name in BACKENDS:
        for on, gil in ways:
            with (brindle.options(deflate_backend=name, block_size=8192, read_ahead=on,
                                  read_ahead_min=0),
                  pytest.MonkeyPatch.context() as m):
                m.setattr(sys, "_is_gil_enabled", lambda: gil)
                seen[name, on, gil] = outcome(blob, SHEET, 65536)
    for name in BACKENDS:
        assert len({seen[(name,) + way] for way in ways}) == 1
    # The libraries may stop at different points of a broken stream, but they
    # agree on what the damage is.
    assert len({(kind, text) for _, kind, text in seen.values()}) == 1
    got, kind, text = next(iter(seen.values()))
    assert kind is not None and SHEET in text
    if error is not None:  # (a flip may inflate to other bytes before it is found)
        assert kind == error and message in text and payload().startswith(got)


def test_limits_hold_with_read_ahead(ahead, monkeypatch):
    monkeypatch.setattr(zip_reader, "RATIO_GRACE", 4096)
    blob = archive({SHEET: b"<a/>" * 100_000})
    got, error, text = outcome(blob, SHEET, 65536, max_ratio=20)
    assert error == "PartTooLarge" and "expansion ratio" in text
    assert len(got) <= 20 * zipfile.ZipFile(io.BytesIO(blob)).getinfo(SHEET).compress_size


def test_an_error_stays_with_the_stream(ahead):
    blob = damaged("truncated")
    with zip_reader.ZipReader(io.BytesIO(blob)) as zr, zr.open(SHEET) as m:
        with pytest.raises(deflate.DeflateError):
            m.read()
        # A second attempt meets the same error instead of waiting for a thread
        # that has ended.
        with pytest.raises(deflate.DeflateError):
            m.read(10)


# -- the thread's life --------------------------------------------------------------------


def big_workbook(rows=3000):
    wb = brindle.Workbook(write_only=True)
    ws = wb.create_sheet("Data")
    for r in range(rows):
        ws.append([r, r * 0.5, f"text {r}", r % 2 == 0])
    out = io.BytesIO()
    wb.save(out)
    return out.getvalue()


@pytest.fixture
def threaded(brindle_options):
    brindle_options(block_size=4096, read_ahead_min=0, read_ahead=True)


@pytest.mark.parametrize("native", [True, False], ids=["native", "pure"])
@pytest.mark.parametrize("how", ["close-workbook", "abandon-iterator", "raise", "interrupt",
                                 "drop-stream"])
def test_the_thread_ends_with_its_reader(threaded, native, how):
    data = big_workbook()
    if how == "drop-stream":
        zr = zip_reader.ZipReader(io.BytesIO(data))
        member = zr.open(SHEET)
        member.read(100)
        assert len(inflating_threads()) == 1
        del member
        gc.collect()
        assert not inflating_threads()
        zr.close()
        return
    wb = brindle.load_workbook(io.BytesIO(data), read_only=True, native=native)
    rows = wb["Data"].iter_rows(values_only=True)
    assert next(rows) == (0, 0.0, "text 0", True)
    assert len(inflating_threads()) == 1
    if how == "close-workbook":
        wb.close()
    elif how == "abandon-iterator":
        del rows
        gc.collect()
    else:
        kind = KeyboardInterrupt if how == "interrupt" else RuntimeError
        with pytest.raises(kind):
            for row in rows:
                if row[0] == 100:
                    raise kind()
        del rows
    assert not inflating_threads()
    wb.close()


@pytest.mark.parametrize("switch, gil, threaded", [
    (True, True, True), (False, False, False), (None, True, False), (None, False, True)])
def test_who_inflates(monkeypatch, switch, gil, threaded):
    """Small members never pay for a thread; large ones get one where the interpreter
    has no GIL, or when told."""
    monkeypatch.setattr(sys, "_is_gil_enabled", lambda: gil)
    blob = archive({SHEET: payload(2000)})
    size = zipfile.ZipFile(io.BytesIO(blob)).getinfo(SHEET).file_size
    for least, large in ((size + 1, False), (size, True)):
        options = brindle.Options(read_ahead=switch, read_ahead_min=least)
        with zip_reader.ZipReader(io.BytesIO(blob), options=options) as zr, zr.open(SHEET) as m:
            # (The thread may be done already: the member is one block.)
            assert (m._ahead is not None) == (large and threaded)
            assert m.read() == payload(2000)
    assert not inflating_threads()


CHILD = textwrap.dedent("""
    import io, os, signal, sys, threading, time
    sys.path.insert(0, sys.argv[1])
    import brindle
    # A shell without job control starts background jobs with Ctrl-C ignored,
    # and the child would inherit that: it gets the handler it has at a prompt.
    signal.signal(signal.SIGINT, signal.default_int_handler)
    wb = brindle.Workbook(write_only=True)
    ws = wb.create_sheet("Data")
    for r in range(20000):
        ws.append([r, f"text {r}"])
    out = io.BytesIO()
    wb.save(out)
    book = brindle.load_workbook(
        io.BytesIO(out.getvalue()), read_only=True,
        options=brindle.Options(block_size=4096, read_ahead_min=0, read_ahead=True))
    rows = book["Data"].iter_rows(values_only=True)
    next(rows)
    if sys.argv[2] == "sigint":
        # Ctrl-C half way through the rows.
        threading.Timer(0.05, os.kill, (os.getpid(), signal.SIGINT)).start()
        try:
            for row in rows:
                time.sleep(0.001)
        except KeyboardInterrupt:
            print("interrupted", flush=True)
            raise
    # Otherwise the stream is left open in a global as the interpreter exits.
    print("exiting", flush=True)
""")


@pytest.mark.parametrize("how", ["sigint", "exit"])
def test_the_interpreter_exits_promptly(tmp_path, how):
    script = tmp_path / "child.py"
    script.write_text(CHILD)
    src = os.path.dirname(os.path.dirname(brindle.__file__))
    done = subprocess.run([sys.executable, str(script), src, how], capture_output=True,
                          text=True, timeout=60)
    if how == "sigint":
        assert "interrupted" in done.stdout and "KeyboardInterrupt" in done.stderr
        assert done.returncode != 0
    else:
        assert "exiting" in done.stdout and done.returncode == 0, done.stderr


WAITING_CHILD = textwrap.dedent("""
    import io, signal, sys, threading, time, traceback
    sys.path.insert(0, sys.argv[1])
    import brindle
    from brindle.reader import zip_reader
    to, native = sys.argv[2], sys.argv[3] == "native"
    handled = []

    def handler(signum, frame):
        handled.append(time.monotonic())
        raise KeyboardInterrupt
    signal.signal(signal.SIGINT, handler)
    wb = brindle.Workbook(write_only=True)
    ws = wb.create_sheet("Data")
    for r in range(20000):
        ws.append([r, f"text {r}"])
    out = io.BytesIO()
    wb.save(out)
    book = brindle.load_workbook(
        io.BytesIO(out.getvalue()), read_only=True, native=native,
        options=brindle.Options(block_size=4096, read_ahead_min=0, read_ahead=True))
    rows = book["Data"].iter_rows(values_only=True)
    next(rows)
    main = threading.get_ident()
    original = zip_reader._Blocks.next
    calls = []
    sent = []

    def next_block(self):
        # On the inflating thread: a few blocks on, Ctrl-C while the reader
        # waits for this block, which is then slow to come.
        calls.append(1)
        if len(calls) == 12:
            time.sleep(0.3)  # the reader has taken every block ready by now
            sent.append(time.monotonic())
            signal.pthread_kill(main if to == "reader" else threading.get_ident(),
                                signal.SIGINT)
            time.sleep(2)
        return original(self)
    zip_reader._Blocks.next = next_block
    try:
        for row in rows:
            pass
    except KeyboardInterrupt as exc:
        where = [f.name for f in traceback.extract_tb(exc.__traceback__)]
        print(f"{handled[0] - sent[0]:.3f}", "next" in where and "wait" in where, flush=True)
        sys.exit(0)
    print("not interrupted", flush=True)
""")


@pytest.mark.parametrize("native", ["native", "pure"])
@pytest.mark.parametrize("to", ["reader", "inflater"])
def test_ctrl_c_while_the_reader_waits_for_a_block(tmp_path, to, native):
    """Whichever thread the system hands the signal to, the reader waiting
    for a block that is slow to come is interrupted at once, in its wait."""
    script = tmp_path / "child.py"
    script.write_text(WAITING_CHILD)
    src = os.path.dirname(os.path.dirname(brindle.__file__))
    done = subprocess.run([sys.executable, str(script), src, to, native],
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr[-2000:]
    delay, in_wait = done.stdout.split()
    # The block comes 2 s after the signal: the interrupt must not wait for it.
    assert float(delay) < 0.5 and in_wait == "True", done.stdout


def test_streaming_memory_does_not_grow_with_the_member(tmp_path):
    """A thread that ran ahead without bound would hold the member whole."""
    script = tmp_path / "child.py"
    script.write_text(textwrap.dedent("""
        import sys, time, zipfile
        sys.path.insert(0, sys.argv[1])
        import brindle
        from brindle.reader import zip_reader
        path, n = sys.argv[2], int(sys.argv[3])
        with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as zf:
            with zf.open("s.xml", "w", force_zip64=True) as out:
                for start in range(0, n, 10000):
                    out.write(b"".join(b'<row r="%d"><c><v>%d</v></c></row>'
                                       % (i, i * 7919 % 10007)
                                       for i in range(start, start + 10000)))
        def peak():
            with open("/proc/self/status") as f:
                return next(int(l.split()[1]) for l in f if l.startswith("VmHWM:"))
        before = peak()
        with zip_reader.ZipReader(path, options=brindle.Options(read_ahead=True)) as zr, \
                zr.open("s.xml") as m:
            assert m._ahead is not None
            time.sleep(0.2)  # a slow reader: the thread must wait for it
            while m.read(65536):
                pass
        print(peak() - before)
    """))
    src = os.path.dirname(os.path.dirname(brindle.__file__))
    grown = []
    for n in (200_000, 1_600_000):  # about 7 and 55 MB of XML
        done = subprocess.run([sys.executable, str(script), src, str(tmp_path / f"{n}.zip"),
                               str(n)], capture_output=True, text=True, timeout=120)
        assert done.returncode == 0, done.stderr[-2000:]
        grown.append(int(done.stdout) / 1024)
    assert grown[1] < grown[0] + 4, grown
