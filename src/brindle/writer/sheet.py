"""The sheet data of one worksheet, written natively when the engine can and
in pure Python otherwise, into a temporary file."""

import tempfile

from brindle.writer.cell import make_writer_helpers
from brindle.writer.engine import native_engine
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


class RowStream:
    """Writes the rows of a write-only worksheet one at a time."""

    def __init__(self, ws, lxml, use_native=True):
        self.ws = ws
        self.sink = SheetDataFile(lxml)
        self.native, self.fallback = _native_writer(ws, self.sink, use_native)
        # The file's length after the last row the native writer completed:
        # what lies before it is whole rows, whatever the writer flushed.
        self._settled = 0

    @property
    def is_native(self):
        return self.native is not None

    def write_row(self, cells, row_idx):
        ws = self.ws
        if self.native is not None:
            links, comments = len(ws._hyperlinks), len(ws._comments)
            try:
                self.native.write_row(cells, row_idx)
                self._settled = self.sink.file.tell()
                return
            except BaseException as exc:
                # The failed row must not stay half written, whatever happens
                # next; what its cells recorded goes with it.
                self._drop_partial_row()
                del ws._hyperlinks[links:]
                del ws._comments[comments:]
                if not isinstance(exc, self.fallback):
                    raise
        self.sink.write(write_row(ws, cells, row_idx, self.sink.lxml))

    def _drop_partial_row(self):
        # Past the settled length come complete rows and then the partial one
        # (the writer may have flushed some of it already); the last row end
        # tag marks the cut, as "<" never appears unescaped inside text or
        # attribute values.
        f = self.sink.file
        self.native.flush()
        f.seek(self._settled)
        cut = f.read().rfind(_ROW_END)
        self.sink.truncate(self._settled if cut < 0 else self._settled + cut + len(_ROW_END))
        self._settled = self.sink.file.tell()

    def finish(self):
        """Push out everything still buffered; returns the sink."""
        if self.native is not None:
            self.native.flush()
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
