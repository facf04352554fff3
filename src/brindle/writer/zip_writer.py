"""A small zip writer for workbook archives.

The standard library's writer always deflates through zlib. Writing the
archive here lets the parts be deflated by the fastest library available
(`brindle.utils.deflate`) and lets a part arrive already compressed, deflated
while it was produced. Output is plain zip: deflated members, data
descriptors for members streamed without a known size, ZIP64 records only
where sizes, offsets or the member count need them.
"""

import contextlib
import errno
import os
import struct
import tempfile
import time

from brindle.settings import resolve
from brindle.utils import deflate

_LOCAL = struct.Struct("<4sHHHHHLLLHH")
_CENTRAL = struct.Struct("<4sBBHHHHHLLLHHHHHLL")
_DESCRIPTOR = struct.Struct("<4sLLL")
_DESCRIPTOR64 = struct.Struct("<4sLQQ")
_END = struct.Struct("<4sHHHHLLH")
_END64 = struct.Struct("<4sQHHLLQQQQ")
_LOCATOR64 = struct.Struct("<4sLQL")

# Past these a field holds its all-ones marker and the value moves to a ZIP64
# record.
_LIMIT = 0xFFFFFFFF
_COUNT_LIMIT = 0xFFFF
_MARK = 0xFFFFFFFF
_COUNT_MARK = 0xFFFF
_STORED = 0
_DEFLATED = 8
_FLAG_DESCRIPTOR = 0x08
_FLAG_UTF8 = 0x800
# Made by: Unix (3) with format 2.0, or 4.5 where ZIP64 is used; regular file
# readable and writable by its owner.
_UNIX = 3
_ATTRS = 0o100600 << 16


def _dos_time(stamp):
    year, month, day, hour, minute, second = stamp[:6]
    if year < 1980:
        year, month, day, hour, minute, second = 1980, 1, 1, 0, 0, 0
    return ((hour << 11) | (minute << 5) | (second // 2),
            ((year - 1980) << 9) | (month << 5) | day)


class _Entry:
    __slots__ = ("name", "flags", "time", "date", "crc", "csize", "size", "offset", "method")

    def __init__(self, name, flags, offset):
        self.name = name
        self.flags = flags
        self.method = _DEFLATED
        self.time, self.date = _dos_time(time.localtime())
        self.crc = self.csize = self.size = 0
        self.offset = offset

    def zip64(self):
        return self.size > _LIMIT or self.csize > _LIMIT


def _about_target(exc, target):
    """`exc` told of the path the caller gave: the temporary file beside it
    is ours, not theirs, and its name would only puzzle them."""
    return OSError(exc.errno, exc.strerror, target)


class ZipWriter:
    """Writes a zip archive to a path or a binary file object.

    Members are added with `writestr` (whole data), `open` (streamed) or
    `write_deflated` (data already deflated); `close` writes the central
    directory. Used as a context manager, the directory is written only when
    the block ends without an exception.

    Given a path, the archive is written to a temporary file beside it that
    takes the path's name only once it is complete: a failed save leaves
    whatever file was there before untouched, never half an archive.
    `options` (a `brindle.Options`, default the current ones) choose the
    deflate library.
    """

    def __init__(self, file, options=None):
        self.deflate_backend = resolve(options).deflate_library
        self._target = self._temp = None
        if isinstance(file, (str, bytes, os.PathLike)):
            self._target = os.fspath(file)
            folder, name = os.path.split(os.path.abspath(self._target))
            try:
                fd, self._temp = tempfile.mkstemp(
                    dir=folder, prefix=f".{os.fsdecode(name)}.", suffix=".tmp")
            except OSError as exc:
                raise _about_target(exc, self._target) from exc
            self._file = os.fdopen(fd, "wb")
            self._own = True
        else:
            self._file = file
            self._own = False
        try:
            self._pos = self._file.tell()
        except (AttributeError, OSError, ValueError):
            self._pos = 0
        self._entries = []
        self._names = set()
        self._open_member = None
        self._closed = False

    def __enter__(self):
        return self

    def __exit__(self, exc_type, exc, tb):
        if exc_type is None:
            self.close()
        else:
            self.abort()

    def _write(self, data):
        # A raw stream (a pipe, a socket) may take only part of the data; the
        # rest is offered again until all of it is taken, since an archive with
        # bytes missing is no archive.
        view = memoryview(data).cast("B")
        total = len(view)
        done = self._file.write(view)
        while done != total:
            if done is None:
                raise BlockingIOError(errno.EAGAIN, "the stream took no data",
                                      total - len(view))
            if not 0 < done <= len(view):
                raise OSError(f"the stream reported writing {done} of {len(view)} bytes")
            view = view[done:]
            total = len(view)
            done = self._file.write(view)
        self._pos += len(data)

    def _begin(self, name, streamed):
        if self._closed:
            raise ValueError("the archive is closed")
        if self._open_member is not None:
            raise ValueError("a member is still being written")
        if name in self._names:
            raise ValueError(f"duplicate member name {name!r}")
        encoded = name.encode("utf-8")
        flags = (_FLAG_DESCRIPTOR if streamed else 0) | (0 if encoded.isascii() else _FLAG_UTF8)
        entry = _Entry(encoded, flags, self._pos)
        self._names.add(name)
        return entry

    def _local_header(self, entry, known):
        extra = b""
        crc, csize, size, version = 0, 0, 0, 20
        if known:
            crc = entry.crc
            if entry.zip64():
                extra = struct.pack("<HHQQ", 1, 16, entry.size, entry.csize)
                csize = size = _MARK
                version = 45
            else:
                csize, size = entry.csize, entry.size
        self._write(_LOCAL.pack(b"PK\x03\x04", version, entry.flags, entry.method, entry.time,
                                entry.date, crc, csize, size, len(entry.name), len(extra))
                    + entry.name + extra)

    def writestr(self, name, data):
        """Add a member holding `data` (str is written as UTF-8)."""
        if isinstance(data, str):
            data = data.encode("utf-8")
        entry = self._begin(name, streamed=False)
        backend = self.deflate_backend
        comp = deflate.compressor(backend=backend)
        body = comp.compress(data) + comp.flush()
        entry.crc, entry.size, entry.csize = deflate.crc32(data, 0, backend), len(data), len(body)
        self._local_header(entry, known=True)
        self._write(body)
        self._entries.append(entry)

    def write_deflated(self, name, chunks, crc, size, csize):
        """Add a member from a finished raw deflate stream: `chunks` yields its
        bytes, which hold `csize` bytes inflating to `size` bytes of CRC `crc`."""
        entry = self._begin(name, streamed=False)
        entry.crc, entry.size, entry.csize = crc, size, csize
        self._local_header(entry, known=True)
        written = 0
        for chunk in chunks:
            self._write(chunk)
            written += len(chunk)
        if written != csize:
            raise ValueError(f"member {name!r}: {written} deflated bytes, expected {csize}")
        self._entries.append(entry)

    def write_raw(self, name, raw):
        """Add a member copied from another archive as it was stored there
        (`raw`, a `RawMember`): neither inflated nor deflated again."""
        if raw.method not in (_STORED, _DEFLATED):
            raise ValueError(f"member {name!r}: compression method {raw.method} cannot be copied")
        entry = self._begin(name, streamed=False)
        entry.method = raw.method
        entry.crc, entry.size, entry.csize = raw.crc, raw.size, len(raw.data)
        self._local_header(entry, known=True)
        self._write(raw.data)
        self._entries.append(entry)

    def open(self, name):
        """A writable member; close it before adding the next one."""
        entry = self._begin(name, streamed=True)
        self._local_header(entry, known=False)
        self._open_member = _MemberWriter(self, entry)
        return self._open_member

    def _finish_member(self, entry):
        fmt = _DESCRIPTOR64 if entry.zip64() else _DESCRIPTOR
        self._write(fmt.pack(b"PK\x07\x08", entry.crc, entry.csize, entry.size))
        self._entries.append(entry)
        self._open_member = None

    def close(self):
        """Write the central directory (and close the file if it was opened
        here)."""
        if self._closed:
            return
        if self._open_member is not None:
            self._open_member.close()
        try:
            self._write_directory()
        except BaseException:
            self.abort()
            raise
        self._closed = True
        if self._own:
            try:
                # Closing flushes the last buffered bytes, which can fail too
                # (a full disk): the temporary file must not outlive it.
                self._file.close()
            except BaseException:
                self._discard_temp()
                raise
            if self._temp is not None:
                # mkstemp makes the file private; a saved workbook gets the
                # permissions any new file would.
                umask = os.umask(0)
                os.umask(umask)
                os.chmod(self._temp, 0o666 & ~umask)
                try:
                    os.replace(self._temp, self._target)
                except OSError as exc:
                    with contextlib.suppress(OSError):
                        os.unlink(self._temp)
                    self._temp = None
                    raise _about_target(exc, self._target) from exc
                self._temp = None

    def abort(self):
        """Stop without writing the directory; an archive opened from a path
        is closed (the caller decides what happens to the file)."""
        self._closed = True
        self._open_member = None
        if self._own:
            try:
                # The close flushes what is buffered, and on a full disk fails
                # as the write before it did. The archive is being thrown away,
                # so that failure says nothing new: the caller sees the first.
                self._file.close()
            except OSError:
                pass
            finally:
                self._discard_temp()

    def _discard_temp(self):
        if self._temp is not None:
            try:
                os.unlink(self._temp)
            except FileNotFoundError:
                pass
            self._temp = None

    def _write_directory(self):
        start = self._pos
        for e in self._entries:
            extra = b""
            size, csize, offset = e.size, e.csize, e.offset
            wide = []
            if size > _LIMIT:
                wide.append(size)
                size = _MARK
            if csize > _LIMIT:
                wide.append(csize)
                csize = _MARK
            if offset > _LIMIT:
                wide.append(offset)
                offset = _MARK
            if wide:
                extra = struct.pack(f"<HH{len(wide)}Q", 1, 8 * len(wide), *wide)
            version = 45 if wide else 20
            self._write(_CENTRAL.pack(b"PK\x01\x02", version, _UNIX, version, e.flags, e.method,
                                      e.time, e.date, e.crc, csize, size, len(e.name),
                                      len(extra), 0, 0, 0, _ATTRS, offset) + e.name + extra)
        end = self._pos
        count, size = len(self._entries), end - start
        if count > _COUNT_LIMIT or start > _LIMIT or size > _LIMIT:
            self._write(_END64.pack(b"PK\x06\x06", 44, 45, 45, 0, 0, count, count, size, start))
            self._write(_LOCATOR64.pack(b"PK\x06\x07", 0, end, 1))
            self._write(_END.pack(b"PK\x05\x06", 0, 0, _COUNT_MARK, _COUNT_MARK, _MARK, _MARK, 0))
        else:
            self._write(_END.pack(b"PK\x05\x06", 0, 0, count, count, size, start, 0))


class _MemberWriter:
    """A member being streamed: deflated as it is written."""

    def __init__(self, archive, entry):
        self._archive = archive
        self._entry = entry
        self._backend = archive.deflate_backend
        self._comp = deflate.compressor(backend=self._backend)
        self.closed = False

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def write(self, data):
        if self.closed:
            raise ValueError("I/O operation on closed member")
        e = self._entry
        n = len(data) if isinstance(data, (bytes, bytearray)) else memoryview(data).nbytes
        e.size += n
        e.crc = deflate.crc32(data, e.crc, self._backend)
        out = self._comp.compress(data)
        if out:
            e.csize += len(out)
            self._archive._write(out)
        return n

    def close(self):
        if self.closed:
            return
        self.closed = True
        out = self._comp.flush()
        self._entry.csize += len(out)
        self._archive._write(out)
        self._archive._finish_member(self._entry)
