"""The sheet data of one worksheet, written natively when the engine can and
in pure Python otherwise, and deflated as it arrives into a temporary file."""

import tempfile
import threading
import zlib

from brindle._native import native_engine
from brindle.cell.cell import ERROR_CODES
from brindle.settings import resolve
from brindle.utils import deflate
from brindle.writer.cell import make_writer_helpers
from brindle.writer.rows import sorted_rows, write_row, write_rows

_ROW_END = b"</row>"

# Text collected before it is handed to the compressor when nothing else
# decides (the pure-Python row writer hands over one row at a time).
_BATCH = 1 << 20


class _Job:
    """One piece of text being deflated on a thread of its own."""

    __slots__ = ("thread", "error")

    def __init__(self, work, data):
        self.error = None
        self.thread = threading.Thread(target=self._run, args=(work, data),
                                       name="brindle-deflate", daemon=True)
        self.thread.start()

    def _run(self, work, data):
        try:
            work(data)
        except BaseException as exc:  # handed to the thread that waits for the job
            self.error = exc

    def wait(self):
        self.thread.join()
        if self.error is not None:
            error, self.error = self.error, None
            raise error


class SheetDataFile:
    """Sheet-data text in UTF-8 (ASCII in the lxml form), from either writer,
    deflated into a temporary file as it is committed.

    Text passed to `write` is held until `commit` declares it final (the row
    writer commits only whole rows, so a failed row can still be taken
    back); committed text is deflated, on a second thread when the
    options' `deflate_thread` is set (off, the same calls run in order on
    the calling thread, giving the same bytes), while the caller goes on. `finish` ends the
    deflated data on a byte boundary (a sync flush) so that the archive can
    join it to separately deflated text before and after it; more text may
    still follow a finish, continuing the same stream.

    A failed write of deflated bytes to the file loses nothing: they stay in
    memory until a later write succeeds, and the error is raised by the next
    `commit` (before it takes any text), the same point whether or not a
    second thread deflates.
    """

    def __init__(self, lxml, autocommit=False, options=None):
        options = resolve(options)
        self._threaded = options.deflate_thread
        self._backend = options.deflate_library
        self.lxml = lxml
        self.native = False  # whether the engine wrote it
        self.autocommit = autocommit
        self.file = tempfile.TemporaryFile()
        self.writes = 0  # calls of `write`, so callers can tell whether one came
        self._pending = []
        self._pending_size = 0
        self._job = None
        # The error that stopped deflating: the data is then incomplete.
        self.broken = None
        self._start()

    def _start(self):
        self._comp = deflate.compressor(backend=self._backend)
        self._unwritten = []  # deflated bytes not yet in the file, in order
        self._reposition = False
        self._write_error = None
        self.crc = 0  # of the text deflated so far
        self.size = 0
        self.csize = 0  # bytes of deflated data in the file
        self._open = False  # text deflated since the last sync flush

    def write(self, text):
        if self._job is not None:
            # The previous piece is deflated (usually long since) before this
            # one is copied, so that no more text is held at once than when
            # nothing is deflated beside the writer.
            self._join()
        data = text.encode("utf-8") if isinstance(text, str) else bytes(text)
        self.writes += 1
        if self.autocommit:
            self._submit(data)
            return
        self._pending.append(data)
        self._pending_size += len(data)

    @property
    def pending_size(self):
        return self._pending_size

    def take_pending(self):
        """The text not yet committed, removed from the file's keeping."""
        data = b"".join(self._pending)
        self._pending.clear()
        self._pending_size = 0
        return data

    def put_pending(self, data):
        """Hold `data` (whole rows) as uncommitted text again."""
        if data:
            self._pending.append(data)
            self._pending_size += len(data)

    def commit(self):
        """Hand every held text to the compressor."""
        if self._pending:
            # The compressor is free before the text leaves the file's
            # keeping: if waiting fails, the text is still held.
            self.wait()
            self._submit(self.take_pending())

    def _submit(self, data):
        if not data:
            return
        self.wait()
        if self.broken is not None:
            raise OSError("deflating this sheet's data failed earlier") from self.broken
        if self._threaded:
            self._job = _Job(self._deflate, data)
        else:
            self._deflate(data)

    def _deflate(self, data):
        try:
            crc = deflate.crc32(data, self.crc, self._backend)
            out = self._comp.compress(data)
        except BaseException as exc:
            # The compressor's state is unknown: nothing more can be added.
            self.broken = exc
            raise
        self.crc = crc
        self.size += len(data)
        self._open = True
        if out:
            self._unwritten.append(out)
        try:
            self._drain()
        except Exception as exc:
            # Reported by the next wait, like a failure on the second thread.
            self._write_error = exc

    def _drain(self):
        """Write the deflated bytes not yet in the file."""
        while self._unwritten:
            if self._reposition:
                # A failed write may have left part of its bytes behind.
                self.file.seek(self.csize)
                self.file.truncate()
                self._reposition = False
            out = self._unwritten[0]
            self._reposition = True
            self.file.write(out)
            self._reposition = False
            self.csize += len(out)
            del self._unwritten[0]

    def wait(self):
        """Wait for the text being deflated; its error, if any, is raised here."""
        self._join()
        if self._write_error is not None:
            error, self._write_error = self._write_error, None
            raise error

    def _join(self):
        job = self._job
        if job is not None:
            try:
                job.wait()
            finally:
                if not job.thread.is_alive():
                    self._job = None

    def finish(self):
        """Deflate everything written so far and end the data on a byte
        boundary; returns the file.

        A failed write of deflated bytes does not stop it: those bytes are
        still held in memory, so the data is whole (`deflated_chunks` gives
        them after the file's).
        """
        self._join()
        self._write_error = None
        self._submit(self.take_pending())
        self._join()
        self._write_error = None
        if self.broken is not None:
            raise OSError("deflating this sheet's data failed earlier") from self.broken
        if self._open:
            try:
                out = self._comp.flush(zlib.Z_SYNC_FLUSH)
            except BaseException as exc:
                self.broken = exc
                raise
            self._unwritten.append(out)
            self._open = False
        try:
            self._drain()
        except Exception:
            pass  # kept in memory, see above
        return self

    def reset(self):
        """Drop everything written so far."""
        try:
            self._join()
        except Exception:
            pass  # whatever went wrong concerned the data being dropped
        self._pending.clear()
        self._pending_size = 0
        self._write_error = None
        self.file.seek(0)
        self.file.truncate()
        self.broken = None
        self._start()

    @property
    def deflated_size(self):
        """Bytes of deflated data, in the file and still in memory."""
        return self.csize + sum(len(out) for out in self._unwritten)

    def deflated_chunks(self, chunk=1 << 20):
        """The deflated data, from its start (after `finish`)."""
        self.file.seek(0)
        left = self.csize
        while left > 0:
            data = self.file.read(min(chunk, left))
            if not data:
                raise OSError("sheet data file is shorter than what was written to it")
            left -= len(data)
            yield data
        self._reposition = True
        yield from list(self._unwritten)

    def copy_to(self, out):
        """Write the sheet-data text (inflated again) to `out`, after `finish`."""
        d = deflate.Decompressor(self._backend)
        for data in self.deflated_chunks():
            out.write(d.decompress(data))
        out.write(d.flush())

    def close(self):
        try:
            self._join()
        except Exception:
            pass  # whatever went wrong concerned data that is being dropped
        finally:
            self.file.close()

    def __del__(self):
        # Write-only sheets keep their file for later saves; it goes with them.
        f = getattr(self, "file", None)
        if f is not None:
            job = getattr(self, "_job", None)
            # The last reference may go on the deflating thread itself, as
            # its work ends.
            if job is not None and job.thread is not threading.current_thread():
                job.thread.join()
            f.close()


def _native_writer(ws, sink, use_native):
    engine = native_engine() if use_native else None
    if engine is None:
        return None, None
    try:
        writer = engine.SheetWriter(ws, sink.write, sink.lxml, make_writer_helpers(sink.lxml))
    except engine.NativeFallback:
        return None, None
    return writer, engine.NativeFallback


class BrokenSheetError(OSError):
    """A write-only sheet's data could not be brought back to whole rows
    after a failed write; the sheet cannot be continued or saved."""


class RowStream:
    """Writes the rows of a write-only worksheet one at a time.

    A row that fails (a cell that raises, a `write` that fails) leaves no
    trace: not in the data, not among the sheet's links and comments, so
    the sheet can go on with the next append and its rows stay numbered
    without gaps or repeats, on either path.
    """

    def __init__(self, ws, lxml, use_native=True):
        self.ws = ws
        self.sink = SheetDataFile(lxml, options=ws.parent.options)
        self.native, self.fallback = _native_writer(ws, self.sink, use_native)
        # The engine's writer of rows of plain values, where it has one.
        self.plain = getattr(self.native, "write_plain_row", None)
        # Whole rows not yet committed to the sink: held by the sink, and
        # held in the native writer's buffer (which comes after them).
        self._rows_held = 0
        self._rows_buffered = 0
        self._broken = None

    @property
    def is_native(self):
        return self.native is not None

    def _check(self):
        if self._broken is not None:
            raise BrokenSheetError(
                "an earlier failed write left this sheet's data incomplete") from self._broken

    def write_row(self, cells, row_idx):
        if self._broken is not None:
            self._check()
        ws = self.ws
        links, comments = len(ws._hyperlinks), len(ws._comments)
        sink = self.sink
        try:
            if self.native is not None:
                writes = sink.writes
                try:
                    self.native.write_row(cells, row_idx)
                except self.fallback:
                    self._recover()
                    del ws._hyperlinks[links:]
                    del ws._comments[comments:]
                else:
                    self._written(writes)
                    return
            sink.write(write_row(ws, cells, row_idx, sink.lxml))
            if sink.pending_size >= _BATCH:
                sink.commit()
                self._rows_held = 0
            else:
                self._rows_held += 1
        except BaseException as exc:
            self._failed(exc)
            del ws._hyperlinks[links:]
            del ws._comments[comments:]
            raise

    def write_plain(self, values, row_idx, date_styles):
        """A row of plain values (a list or tuple) written by the engine
        without cells, with `write_row`'s guarantees; False, having written
        nothing, when the engine leaves the row to cells. Otherwise the first
        and last columns written (None for a row without cells)."""
        if self._broken is not None:
            self._check()
        sink = self.sink
        writes = sink.writes
        try:
            span = self.plain(values, row_idx, date_styles, ERROR_CODES)
            # _written, inline: this runs for every row.
            if span is not False:
                if sink.writes != writes:
                    sink.commit()
                    self._rows_held = self._rows_buffered = 0
                else:
                    self._rows_buffered += 1
        except BaseException as exc:
            # Plain values have no links or comments to take back.
            self._failed(exc)
            raise
        return span

    def _written(self, writes):
        """Bookkeeping after the native writer wrote a whole row."""
        if self.sink.writes != writes:
            # The writer flushes its whole buffer, and only once a row is
            # complete: the sink holds whole rows only. Counted only once
            # committed, so that a commit that fails takes this row back too.
            self.sink.commit()
            self._rows_held = self._rows_buffered = 0
        else:
            self._rows_buffered += 1

    def _failed(self, exc):
        """Take back the text of a failed row, or mark the sheet broken."""
        try:
            if self.sink.broken is not None:
                raise self.sink.broken
            self._recover()
        except BaseException:
            self._broken = exc
            raise

    def _recover(self):
        """Cut the uncommitted data back to the whole rows before the failed one."""
        sink = self.sink
        keep = self._rows_held + self._rows_buffered
        data = sink.take_pending()
        if self.native is not None:
            # Whatever the writer still holds follows what it flushed.
            writes = sink.writes
            self.native.flush()
            if sink.writes != writes:
                data += sink.take_pending()
        # "<" never appears unescaped inside text or attribute values, so
        # each row end tag ends one whole row.
        cut = 0
        for _ in range(keep):
            cut = data.index(_ROW_END, cut) + len(_ROW_END)
        sink.put_pending(data[:cut])
        self._rows_held = keep
        self._rows_buffered = 0

    def finish(self):
        """Push out everything still buffered and deflate it; returns the sink."""
        self._check()
        if self.native is not None:
            self.native.flush()
        self._rows_held = self._rows_buffered = 0
        return self.sink.finish()


def write_sheet_data(ws, lxml, use_native=True):
    """The `<sheetData>` element of a normal worksheet in a `SheetDataFile`."""
    sink = SheetDataFile(lxml, autocommit=True, options=ws.parent.options)
    try:
        ws._hyperlinks.clear()
        ws._comments.clear()
        writer, fallback = _native_writer(ws, sink, use_native)
        if writer is not None:
            try:
                writer.write_sheet_data(lambda: sorted_rows(ws))
                sink.native = True
                return sink.finish()
            except fallback:
                sink.reset()
                ws._hyperlinks.clear()
                ws._comments.clear()
        write_rows(ws, sink.write, lxml)
        return sink.finish()
    except BaseException:
        sink.close()
        raise
