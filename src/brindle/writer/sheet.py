"""The sheet data of one worksheet, written natively when the engine can and
in pure Python otherwise, into a temporary file."""

import tempfile

from brindle._native import native_engine
from brindle.writer.cell import make_writer_helpers
from brindle.writer.rows import sorted_rows, write_row, write_rows

_ROW_END = b"</row>"


class SheetDataFile:
    """A temporary file collecting sheet-data text in UTF-8 (ASCII in the
    lxml form), from either writer."""

    def __init__(self, lxml):
        self.lxml = lxml
        self.native = False  # whether the engine wrote it
        self.file = tempfile.TemporaryFile()

    def write(self, text):
        self.file.write(text.encode("utf-8") if isinstance(text, str) else text)

    def truncate(self, pos):
        self.file.seek(pos)
        self.file.truncate()

    def copy_to(self, out, chunk=1 << 20):
        self.file.seek(0)
        while data := self.file.read(chunk):
            out.write(data)
        self.file.seek(0, 2)

    def close(self):
        self.file.close()

    def __del__(self):
        # Write-only sheets keep their file for later saves; it goes with them.
        f = getattr(self, "file", None)
        if f is not None:
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
    trace: not in the file, not among the sheet's links and comments, so
    the sheet can go on with the next append and its rows stay numbered
    without gaps or repeats, on either path.
    """

    def __init__(self, ws, lxml, use_native=True):
        self.ws = ws
        self.sink = SheetDataFile(lxml)
        self.native, self.fallback = _native_writer(ws, self.sink, use_native)
        # The file's length after the last complete row known to be in it,
        # and how many complete rows the native writer holds beyond that
        # (in its buffer, or flushed by a call that then failed).
        self._settled = 0
        self._pending = 0
        self._broken = None

    @property
    def is_native(self):
        return self.native is not None

    def _check(self):
        if self._broken is not None:
            raise BrokenSheetError(
                "an earlier failed write left this sheet's data incomplete") from self._broken

    def write_row(self, cells, row_idx):
        self._check()
        ws = self.ws
        links, comments = len(ws._hyperlinks), len(ws._comments)
        try:
            if self.native is not None:
                try:
                    self._write_native(cells, row_idx)
                    return
                except self.fallback:
                    self._recover()
                    del ws._hyperlinks[links:]
                    del ws._comments[comments:]
            self.sink.write(write_row(ws, cells, row_idx, self.sink.lxml))
            self._settled = self.sink.file.tell()
        except BaseException as exc:
            try:
                self._recover()
            except BaseException:
                self._broken = exc
                raise
            del ws._hyperlinks[links:]
            del ws._comments[comments:]
            raise

    def _write_native(self, cells, row_idx):
        before = self.sink.file.tell()
        self.native.write_row(cells, row_idx)
        if self.sink.file.tell() != before:
            # The writer flushes only after a row end: the file now holds
            # every complete row.
            self._settled = self.sink.file.tell()
            self._pending = 0
        else:
            self._pending += 1

    def _recover(self):
        """Cut the data back to the complete rows before the failed one."""
        f = self.sink.file
        # Whatever a failed write put in the file goes: the native writer
        # still holds all its text past the settled length.
        self.sink.truncate(self._settled)
        if self.native is not None:
            self.native.flush()
        # "<" never appears unescaped inside text or attribute values, so
        # each row end tag past the settled length ends one complete row.
        f.seek(self._settled)
        data = f.read()
        cut = 0
        for _ in range(self._pending):
            cut = data.index(_ROW_END, cut) + len(_ROW_END)
        self.sink.truncate(self._settled + cut)
        self._settled = f.tell()
        self._pending = 0

    def finish(self):
        """Push out everything still buffered; returns the sink."""
        self._check()
        if self.native is not None:
            self.native.flush()
            self._settled = self.sink.file.tell()
            self._pending = 0
        return self.sink


def write_sheet_data(ws, lxml, use_native=True):
    """The `<sheetData>` element of a normal worksheet in a `SheetDataFile`."""
    sink = SheetDataFile(lxml)
    ws._hyperlinks.clear()
    ws._comments.clear()
    writer, fallback = _native_writer(ws, sink, use_native)
    if writer is not None:
        try:
            writer.write_sheet_data(lambda: sorted_rows(ws))
            sink.native = True
            return sink
        except fallback:
            sink.truncate(0)
            ws._hyperlinks.clear()
            ws._comments.clear()
    write_rows(ws, sink.write, lxml)
    return sink
