"""Reading the members of a workbook archive.

The standard library finds the members (its central-directory parsing is
kept as it is), but the deflated members, which are nearly all of them, are
inflated here by the fastest available library (`brindle.utils.deflate`), as
a stream: a worksheet is never held whole in memory.

Zip bombs: no member is inflated past `max_part_size` bytes (4 GiB by
default), nor past `max_ratio` times its compressed size once it has grown
past `RATIO_GRACE` (8 MiB); deflate itself cannot pass about 1,030:1, so a
ratio of 1,000 refuses only what no real part needs. Both limits are
checked against the sizes the archive records when a member is opened and
against the bytes actually inflated as they stream; a member beyond them
raises `PartTooLarge`. `None` lifts a limit.
"""

import collections
import errno
import io
import os
import struct
import sys
import threading
import weakref
import zipfile

from brindle.settings import resolve
from brindle.utils import deflate

try:  # an interpreter may be built without lzma; zipfile then refuses such members
    from lzma import LZMAError
    _STREAM_ERRORS = (LZMAError, EOFError)
except ImportError:
    _STREAM_ERRORS = (EOFError,)

_LOCAL = struct.Struct("<4sHHHHHLLLHH")
_CHUNK = 1 << 16

# Deflated members are inflated a block at a time (`Options.block_size`),
# each block one call into the deflate library. The reader holds one block,
# the thread that inflates ahead of it (below) at most DEPTH more and the one
# it is inflating: at the default 128 KiB each, the peak memory of streaming
# stays where it was when the parser asked the library for 64 KiB at a time.
# Whether a member gets that thread is `Options.reads_ahead()`: with the GIL
# it gains nothing measurable, as the deflate libraries release the lock for
# each piece of output they produce and must win it back from the parsing
# thread every time, so the two mostly take turns.
_RAW = 1 << 16  # compressed bytes read from the archive at a time
DEPTH = 1


MAX_PART_SIZE = 4 << 30
MAX_RATIO = 1000
RATIO_GRACE = 8 << 20


class RawMember(collections.namedtuple("RawMember", "method crc size data")):
    """A member's stored bytes: compression method, CRC and size of its
    contents, and the bytes as stored (deflated or not)."""

    __slots__ = ()


class PartTooLarge(zipfile.BadZipFile):
    """A member that would inflate beyond the size or expansion ratio allowed."""


def _bound(info, max_part_size, max_ratio):
    """The most bytes member `info` may inflate to (None: no bound)."""
    bounds = []
    if max_part_size is not None:
        bounds.append(max_part_size)
    if max_ratio is not None:
        bounds.append(max(RATIO_GRACE, info.compress_size * max_ratio))
    return min(bounds) if bounds else None


def _too_large(name, bound, max_part_size):
    what = (f"{max_part_size} bytes" if bound == max_part_size
            else "the expansion ratio allowed")
    return PartTooLarge(f"member {name!r} expands beyond {what} (a zip bomb?)")


class ZipReader:
    """The members of a zip archive given as a path or a binary file object.

    Several members can be read at once, from several threads: each read of
    the archive file is a positioned read, or, in a file object the caller
    gave, a seek and a read under one lock. `options` (a `brindle.Options`,
    default the current ones) choose the deflate library, the block size
    and whether large members are inflated ahead of the reader.
    """

    def __init__(self, file, max_part_size=MAX_PART_SIZE, max_ratio=MAX_RATIO, options=None):
        for what, value in (("max_part_size", max_part_size), ("max_ratio", max_ratio)):
            if value is not None and (not isinstance(value, int) or value < 1):
                raise ValueError(f"{what} must be a positive int or None, not {value!r}")
        self._max_part_size = max_part_size
        self._max_ratio = max_ratio
        self.options = resolve(options)
        if isinstance(file, (str, bytes, os.PathLike)):
            self._file = open(file, "rb")
            self._own = True
            self._fd = self._file.fileno() if hasattr(os, "pread") else None
        else:
            self._file = _WholeReads(file)
            self._own = False
            self._fd = None  # a caller's file object may not be a plain file
        self._lock = threading.Lock()
        # Members still open, closed with the archive (which stops their threads).
        self._members = weakref.WeakSet()
        try:
            try:
                self._zip = zipfile.ZipFile(self._file)
            except (NotImplementedError, ValueError, OSError) as exc:
                # A directory of another zip version, or offsets before the
                # start of the file (a seek there fails with EINVAL): no
                # archive this reader can open, whatever raised it.
                if isinstance(exc, OSError) and exc.errno != errno.EINVAL:
                    raise
                raise zipfile.BadZipFile(f"the archive's directory cannot be read: {exc}") \
                    from exc
        except BaseException:
            self.close()
            raise

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def close(self):
        with self._lock:
            members = list(getattr(self, "_members", ()))
        for member in members:
            member.close()
        zf = getattr(self, "_zip", None)
        if zf is not None:
            zf.close()
        if self._own:
            # A read after this fails on the closed file, never on a number
            # the system may have handed to another file meanwhile.
            self._fd = None
            self._file.close()

    def namelist(self):
        return self._zip.namelist()

    def getinfo(self, name):
        """The member's `zipfile.ZipInfo`; KeyError when there is none."""
        return self._zip.getinfo(name)

    def open(self, name):
        """A readable binary stream of the member's contents; PartTooLarge when the
        archive records a size beyond the limits (or, as it is read, when the
        contents grow beyond them)."""
        info = self._zip.getinfo(name)
        bound = _bound(info, self._max_part_size, self._max_ratio)
        if bound is not None and info.file_size > bound:
            raise _too_large(name, bound, self._max_part_size)
        if info.flag_bits & 0x1 or info.compress_type not in (zipfile.ZIP_DEFLATED,
                                                               zipfile.ZIP_STORED):
            # Encrypted or compressed by another method: the standard library
            # reads it, as a stream too, under our lock (it shares the file).
            with self._lock:
                member = self._zip.open(name)
            return _Foreign(self, member, name, bound, self._max_part_size)
        return _Member(self, info, bound, self._max_part_size)

    def read(self, name):
        with self.open(name) as member:
            return member.read()

    def raw(self, name):
        """The member `name` as the archive stores it (a `RawMember`, to be
        copied into another archive without inflating it), or None when it
        is encrypted or compressed by a method other than deflate or none."""
        info = self._zip.getinfo(name)
        if info.flag_bits & 0x1 or info.compress_type not in (zipfile.ZIP_DEFLATED,
                                                               zipfile.ZIP_STORED):
            return None
        header = self._read_at(info.header_offset, _LOCAL.size)
        if len(header) != _LOCAL.size or header[:4] != b"PK\x03\x04":
            raise zipfile.BadZipFile(f"member {name!r} has a bad local header")
        fields = _LOCAL.unpack(header)
        start = info.header_offset + _LOCAL.size + fields[9] + fields[10]
        data = self._read_at(start, info.compress_size)
        if len(data) != info.compress_size:
            raise zipfile.BadZipFile(f"member {name!r} is truncated")
        return RawMember(info.compress_type, info.CRC, info.file_size, data)

    def _opened(self, member):
        with self._lock:
            self._members.add(member)

    def _read_at(self, pos, size):
        if pos < 0:
            # A central directory that puts a member before the archive's start.
            raise zipfile.BadZipFile(f"the archive places a member at offset {pos}")
        if self._fd is not None:
            # Positioned reads leave the file's position alone, so they need no
            # lock, and each is one system call (one release of the interpreter
            # lock, where a seek and a read are two).
            out = os.pread(self._fd, size, pos)
            while len(out) < size:
                more = os.pread(self._fd, size - len(out), pos + len(out))
                if not more:
                    break
                out += more
            return out
        with self._lock:
            self._file.seek(pos)
            return self._file.read(size)


class _WholeReads:
    """A caller's file object whose reads give all the bytes asked for, up to the
    end of the stream. A raw stream (`io.RawIOBase`: a pipe, a socket) may give
    fewer each call, which would otherwise look like a truncated archive."""

    def __init__(self, file):
        self._file = file

    def __getattr__(self, name):
        return getattr(self._file, name)

    def read(self, size=-1):
        data = self._file.read(size)
        if data is None:
            raise BlockingIOError(errno.EAGAIN, "the stream has no data ready")
        if size is None or size < 0 or len(data) >= size or not data:
            return data
        parts = [data]
        left = size - len(data)
        while left > 0:
            more = self._file.read(left)
            if more is None:
                raise BlockingIOError(errno.EAGAIN, "the stream has no data ready")
            if not more:
                break
            parts.append(more)
            left -= len(more)
        return b"".join(parts)


class _Blocks:
    """The contents of one stored or deflated member as a series of blocks,
    checked against the member's size and against the limits.

    The blocks depend only on the archive's bytes, never on who asks for
    them or when, so that a corrupt member gives the same data before its
    error whether it is inflated on the reader's thread or ahead of it."""

    def __init__(self, archive, info, bound, max_part_size, crc=False):
        # With `crc`, the blocks' CRC is checked here too; otherwise that is
        # left to the reader (see `_Member`).
        self._crc = 0 if crc else None
        self._expected_crc = info.CRC
        self._bound = bound
        self._max_part_size = max_part_size
        self._archive = archive
        self._name = info.filename
        self._size = info.file_size
        header = archive._read_at(info.header_offset, _LOCAL.size)
        if len(header) != _LOCAL.size or header[:4] != b"PK\x03\x04":
            raise zipfile.BadZipFile(f"bad local header of member {self._name!r}")
        name_len, extra_len = struct.unpack_from("<HH", header, 26)
        self._pos = info.header_offset + _LOCAL.size + name_len + extra_len
        self._left = info.compress_size
        options = archive.options
        self._backend = options.deflate_library
        self._block = options.block_size
        self._inflate = (deflate.Decompressor(self._backend)
                         if info.compress_type == zipfile.ZIP_DEFLATED else None)
        self._seen = 0

    def _raw(self, size):
        n = min(size, self._left)
        data = self._archive._read_at(self._pos, n) if n else b""
        if len(data) != n:
            raise zipfile.BadZipFile(f"member {self._name!r} is truncated")
        self._pos += n
        self._left -= n
        return data

    def next(self):
        """The next block of the contents; b"" at the end, once the size (and the
        CRC, if asked) have been found right."""
        if self._inflate is None:
            out = self._raw(self._block)
        else:
            out = self._inflated()
        if not out:
            if self._seen != self._size:
                raise zipfile.BadZipFile(
                    f"member {self._name!r} is shorter than its recorded size")
            if self._crc is not None and self._crc != self._expected_crc:
                raise zipfile.BadZipFile(f"Bad CRC-32 for file {self._name!r}")
            return out
        self._seen += len(out)
        if self._bound is not None and self._seen > self._bound:
            raise _too_large(self._name, self._bound, self._max_part_size)
        if self._seen > self._size:
            raise zipfile.BadZipFile(f"member {self._name!r} is longer than its recorded size")
        if self._crc is not None:
            self._crc = deflate.crc32(out, self._crc, self._backend)
        return out

    def _inflated(self):
        d = self._inflate
        while True:
            src = d.unconsumed_tail or self._raw(_RAW)
            if not src:
                if not d.eof:
                    tail = d.flush()
                    if not d.eof:
                        raise deflate.DeflateError(
                            f"member {self._name!r}: deflate data is truncated")
                    return tail
                return b""
            try:
                out = d.decompress(src, self._block)
            except deflate.DeflateError as exc:
                raise deflate.DeflateError(
                    f"member {self._name!r}: corrupt deflate data") from exc.__cause__
            if out or d.eof and not d.unconsumed_tail:
                return out


# Seconds the reader waits for a block before it looks for signals again.
_SIGNAL_CHECK = 0.05


class _ReadAhead:
    """Runs a member's blocks on a thread of its own, at most `DEPTH` blocks
    ahead of the reader.

    Reading and inflating a block release the interpreter lock, so the
    reader's thread parses one block while the next is inflated. The
    thread holds the blocks and this object, never the member stream: a
    stream dropped without being closed is still collected, and its
    finaliser stops the thread. The thread is a daemon only so that a
    stream kept open until the interpreter exits cannot hold the exit up."""

    def __init__(self, blocks, name):
        # Reentrant: a collection on the thread itself may finalise the
        # stream and so call stop() while the thread holds the lock.
        self._cond = threading.Condition(threading.RLock())
        self._ready = collections.deque()  # (block, exception) pairs, in order
        self._stopped = False
        self._ended = False  # the thread has finished
        self._thread = threading.Thread(target=self._run, args=(blocks,),
                                        name=f"brindle inflate {name}", daemon=True)
        self._thread.start()

    def _run(self, blocks):
        cond = self._cond
        ready = self._ready
        try:
            while True:
                with cond:
                    while len(ready) >= DEPTH and not self._stopped:
                        cond.wait()
                    if self._stopped:
                        return
                try:
                    block = blocks.next()
                except BaseException as exc:
                    with cond:
                        ready.append((None, exc))
                        cond.notify_all()
                    return
                with cond:
                    ready.append((block, None))
                    cond.notify_all()
                if not block:
                    return
        finally:
            with cond:
                self._ended = True
                cond.notify_all()

    def next(self):
        """The next block, or the exception the thread met at this point."""
        cond = self._cond
        with cond:
            while not self._ready:
                if self._ended:
                    # Only a stop ends the thread without a last entry.
                    raise ValueError("I/O operation on closed file.")
                # Ctrl-C that the system hands to the inflating thread wakes
                # nobody here; waking now and then to run the interpreter's
                # signal check keeps it from waiting for the next block.
                cond.wait(_SIGNAL_CHECK)
            block, exc = self._ready.popleft()
            cond.notify_all()
        if exc is not None:
            raise exc
        return block

    def stop(self):
        """End the thread and wait for it: at most the block it is inflating."""
        with self._cond:
            self._stopped = True
            self._ready.clear()
            self._cond.notify_all()
        # Not on the thread itself (a collection there may finalise the
        # stream), nor while the interpreter shuts down, when a daemon thread
        # can no longer run to its end.
        if self._thread is not threading.current_thread() and not sys.is_finalizing():
            self._thread.join()


class _Member(io.RawIOBase):
    """One stored or deflated member, read in blocks (see `_Blocks`), inflated
    ahead of the reader when it is large enough to repay a thread."""

    def __init__(self, archive, info, bound=None, max_part_size=None):
        super().__init__()
        self._archive = archive
        options = archive.options
        ahead = info.file_size >= options.read_ahead_min and options.reads_ahead()
        self._backend = options.deflate_library
        # The checksum is the reading thread's work, except with a thread
        # ahead and no GIL: there it is one more thing taken off the parser.
        # With the GIL, the moment the reading thread releases the lock for
        # it is when the inflating thread gets its turn, once per block,
        # instead of after a whole switch interval.
        gil_enabled = getattr(sys, "_is_gil_enabled", lambda: True)()
        self._crc = 0 if not ahead or gil_enabled else None
        blocks = _Blocks(archive, info, bound, max_part_size, crc=self._crc is None)
        self._ahead = _ReadAhead(blocks, info.filename) if ahead else None
        self._source = self._ahead or blocks
        self._name = info.filename
        self._expected_crc = info.CRC
        self._block = b""
        self._at = 0  # offset of the next byte in _block
        self._error = None  # an error, once met, is met by every later read
        self._end = False
        archive._opened(self)

    def readable(self):
        return True

    def close(self):
        ahead, self._ahead = getattr(self, "_ahead", None), None
        try:
            if ahead is not None:
                ahead.stop()
        finally:
            super().close()

    def _next_block(self):
        if self._error is not None:
            raise self._error
        if self._end:
            return b""
        try:
            block = self._source.next()
            if self._crc is None:
                pass
            elif block:
                self._crc = deflate.crc32(block, self._crc, self._backend)
            elif self._crc != self._expected_crc:
                raise zipfile.BadZipFile(f"Bad CRC-32 for file {self._name!r}")
        except Exception as exc:
            self._error = exc
            raise
        if not block:
            self._end = True
        return block

    def read(self, size=-1):
        if self.closed:
            raise ValueError("I/O operation on closed file.")
        if size is None or size < 0:
            parts = [self._block[self._at:]]
            self._block, self._at = b"", 0
            while block := self._next_block():
                parts.append(block)
            return b"".join(parts)
        block, at = self._block, self._at
        if len(block) - at >= size:
            # The common case: the reader's chunk lies within one block.
            self._at = at + size
            return block[at:at + size]
        out = bytearray(block[at:])
        while len(out) < size:
            block = self._next_block()
            if not block:
                self._block, self._at = b"", 0
                return bytes(out)
            take = size - len(out)
            out += block[:take]
            self._block, self._at = block, min(take, len(block))
        return bytes(out)

    def readinto(self, buffer):
        data = self.read(len(buffer))
        buffer[:len(data)] = data
        return len(data)


class _Foreign(io.RawIOBase):
    """A member read through the standard library (another compression
    method), counted against the limits as it streams."""

    def __init__(self, archive, member, name, bound, max_part_size):
        super().__init__()
        self._archive = archive
        self._member = member
        self._name = name
        self._bound = bound
        self._max_part_size = max_part_size
        self._seen = 0

    def readable(self):
        return True

    def close(self):
        try:
            self._member.close()
        finally:
            super().close()

    def read(self, size=-1):
        if self.closed:
            raise ValueError("I/O operation on closed file.")
        if size is None or size < 0:
            parts = []
            while chunk := self.read(_CHUNK * 4):
                parts.append(chunk)
            return b"".join(parts)
        if self._bound is not None:
            # One byte past the bound is enough to know it was passed.
            size = min(size, self._bound - self._seen + 1)
        with self._archive._lock:
            try:
                data = self._member.read(size)
            except (*_STREAM_ERRORS, OSError) as exc:
                # bz2 says a damaged stream with an OSError that has no errno;
                # one with an errno is the disk's, not the part's.
                if isinstance(exc, OSError) and exc.errno is not None:
                    raise
                raise zipfile.BadZipFile(f"the compressed data of {self._name!r} is damaged: "
                                         f"{exc}") from exc
        self._seen += len(data)
        if self._bound is not None and self._seen > self._bound:
            raise _too_large(self._name, self._bound, self._max_part_size)
        return data

    def readinto(self, buffer):
        data = self.read(len(buffer))
        buffer[:len(data)] = data
        return len(data)
