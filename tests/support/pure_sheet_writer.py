"""A pure-Python `SheetWriter` with the native writer's interface and output.

`SheetWriter(ws, write, lxml, helpers)` buffers text and hands it to `write`
exactly as the native writer does: the same bytes, in the same pieces (a
flush after a row end once a mebibyte is buffered, and at the end of
`write_sheet_data` or on `flush()`), with text of a failed row left in the
buffer. Every cell goes through the helpers ("add_comment", "write_cell"),
which is what the native writer falls back to for cells it cannot write, so
the two can be compared on any worksheet, write calls included.
"""

import io
import operator
import xml.etree.ElementTree as ET

from brindle._native import native_engine

FLUSH_AT = 1 << 20

_INT64 = range(-(1 << 63), 1 << 63)


def _helper(helpers, key):
    try:
        return helpers[key]
    except KeyError:
        raise TypeError(f"missing helper {key}") from None


def _is_int64(value):
    return type(value) is int and value in _INT64


class SheetWriter:
    """Writes the `<sheetData>` of `ws` through `write` (bytes when `lxml`,
    str otherwise)."""

    def __init__(self, ws, write, lxml, helpers):
        if type(lxml) is not bool:
            raise TypeError(f"argument 'lxml' must be bool, not {type(lxml).__name__}")
        if not isinstance(helpers, dict):
            raise TypeError(f"argument 'helpers' must be dict, not {type(helpers).__name__}")
        # The same reads, in the same order, as the native constructor, so a
        # worksheet or helper dictionary that lacks something fails alike.
        self._buffer = []
        self._size = 0
        self._ws = ws
        self._write = write
        self._lxml = lxml
        wb = ws.parent
        self._cell_styles = wb._cell_styles
        self._style_array = _helper(helpers, "StyleArray")
        self._hyperlinks = ws._hyperlinks
        self._add_comment = _helper(helpers, "add_comment")
        self._write_cell = _helper(helpers, "write_cell")
        _helper(helpers, "date_value")  # dates are the cell writer's business here
        _helper(helpers, "date_value_raw")
        self._epoch = wb.epoch
        self._iso_dates = bool(wb.iso_dates)
        _helper(helpers, "safe_string")

    # -- buffer ---------------------------------------------------------------

    def _append(self, data):
        self._buffer.append(data)
        self._size += len(data)

    def _append_text(self, text):
        self._append(text.encode("utf-8"))

    def flush(self):
        """Hand everything buffered to `write` in one call."""
        if not self._buffer:
            return
        data = b"".join(self._buffer)
        self._write(data if self._lxml else data.decode("utf-8"))
        self._buffer = []
        self._size = 0

    # -- rows and cells ---------------------------------------------------------

    def _row_start(self, row_text, dim):
        attrs = {"r": row_text}
        if dim is not None:
            attrs.update(dim)
        # Attributes are written in order up to the first that is not text,
        # which then raises with the partial start tag left in the buffer.
        good, error = {}, None
        for key, value in attrs.items():
            if not isinstance(key, str) or not isinstance(value, str):
                error = TypeError("row attributes must be str")
                break
            try:
                key.encode("utf-8")
                value.encode("utf-8")
            except UnicodeEncodeError as exc:
                error = exc
                break
            good[key] = value
        if self._lxml:
            from lxml.etree import xmlfile  # optional: only for the lxml form

            out = io.BytesIO()
            with xmlfile(out) as xf:
                with xf.element("row", good):
                    pass
            self._append(out.getvalue()[:-len(b"></row>")])
        else:
            text = ET.tostring(ET.Element("row", good), encoding="unicode")
            self._append_text(text[:-3])
        if error is not None:
            raise error
        self._append(b">")

    def _row_end(self):
        self._append(b"</row>")
        if self._size >= FLUSH_AT:
            self.flush()

    def _write_one(self, cell):
        ws = self._ws
        comment = cell._comment
        if comment is not None:
            self._add_comment(ws, cell)
        value = cell._value
        style = cell._style
        styled = style is not None and bool(any(style))
        if value is None and not styled and not comment:
            return
        out = self._write_cell(ws, cell, styled)
        if self._lxml:
            if not isinstance(out, bytes):
                raise TypeError(f"write_cell returned {type(out).__name__}, not bytes")
            self._append(out)
            return
        if not isinstance(out, str):
            raise TypeError(f"write_cell returned {type(out).__name__}, not str")
        try:
            self._append_text(out)
        except UnicodeEncodeError:
            self.flush()
            self._write(out)

    def _write_row(self, row_text, dim, cells):
        self._row_start(row_text, dim)
        for cell in cells:
            self._write_one(cell)
        self._row_end()

    def write_row(self, cells, row_idx):
        """Write one `<row>` from an iterable of cells (write-only worksheets)."""
        # The engine's words, so that either writer fails alike.
        try:
            row_idx = operator.index(row_idx)
        except TypeError as exc:
            raise TypeError(f"SheetWriter.write_row() argument 'row_idx': {exc}") from None
        if row_idx not in _INT64:
            raise OverflowError("int too big to convert")
        self._write_row(str(row_idx), self._ws.row_dimensions.get(row_idx), cells)

    def write_sheet_data(self, rows_fallback):
        """Write the whole `<sheetData>` element of the worksheet; `rows_fallback()`
        gives the rows when cell keys are not plain integer pairs."""
        ws = self._ws
        cells = ws._cells
        dims = ws.row_dimensions
        self._append(b"<sheetData>")
        engine = native_engine()
        if (engine is not None and isinstance(cells, engine.CellStore)
                and not cells._in_dict_mode()):
            ordered = self._store_rows(cells, dims, engine.NativeFallback)
        elif isinstance(cells, dict):
            ordered = self._dict_rows(cells, dims)
        else:
            ordered = None
        if ordered is not None:
            for row, row_cells in ordered:
                self._write_row(str(row), dims.get(row), row_cells)
        else:
            for item in rows_fallback():
                if not isinstance(item, tuple) or len(item) != 2:
                    raise TypeError("rows_fallback must give (row index, cells) pairs")
                row, row_cells = item
                self._write_row(str(row), dims.get(row), row_cells)
        self._append(b"</sheetData>")
        self.flush()

    @staticmethod
    def _store_rows(cells, dims, fallback):
        """The rows of an engine cell store: its keys are always integer pairs,
        and a row dimension keyed otherwise is declined, as the engine does."""
        dim_rows = list(dims.keys())
        if not all(_is_int64(key) for key in dim_rows):
            raise fallback("row dimension keys")
        rows = {}
        for row, column in sorted(cells):
            rows.setdefault(row, []).append(cells[(row, column)])
        for row in dim_rows:
            rows.setdefault(row, [])
        return sorted(rows.items(), key=lambda pair: pair[0])

    @staticmethod
    def _dict_rows(cells, dims):
        """[(row, cells in column order)] including dimension-only rows, or None
        when a key is not a plain integer pair."""
        items = []
        for key, cell in cells.items():
            if not (isinstance(key, tuple) and len(key) == 2
                    and _is_int64(key[0]) and _is_int64(key[1])):
                return None
            items.append((key[0], key[1], cell))
        dim_rows = []
        for key in dims.keys():
            if not _is_int64(key):
                return None
            dim_rows.append(key)
        items.sort(key=lambda item: (item[0], item[1]))
        rows = {}
        for row, _, cell in items:
            rows.setdefault(row, []).append(cell)
        for row in dim_rows:
            rows.setdefault(row, [])
        return sorted(rows.items(), key=lambda pair: pair[0])
