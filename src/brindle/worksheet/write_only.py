"""Write-only worksheets: rows go to disk as they are appended."""

import datetime as _dt
from collections.abc import Iterable
from typing import Any

from brindle.cell.cell import Cell, TextTooLongForCell, _data_type_of
from brindle.styles.cell_style import StyleArray
from brindle.utils.cell import get_column_letter
from brindle.utils.limits import MAX_COLUMN, MAX_ROW
from brindle.worksheet.worksheet import _SheetBase

# Exact types whose cells need no more than a value and a data type.
_PLAIN = {int: "n", float: "n", bool: "b"}
_DATES = frozenset((_dt.datetime, _dt.date, _dt.time, _dt.timedelta))


# The style of every unstyled cell that `append` makes; nothing changes it.
_UNSTYLED = StyleArray()


class WorkbookAlreadySaved(Exception):
    """A write-only workbook was changed after it was saved."""


class WriteOnlyWorksheet(_SheetBase):
    """A worksheet that is written row by row and never held in memory.

    Rows are written when they are appended, so the properties of a row
    (`row_dimensions`) must be set before the row is appended. Items of a row
    are values or `Cell` objects (for styles, links and comments); a cell
    object may be reused for later rows.
    """

    def __init__(self, parent, title):
        super().__init__(parent, title)
        # Never holds cells (rows are written as they are appended); present
        # so that code reading any worksheet's cells finds an empty mapping.
        self._cells = {}
        self._max_row = 0
        self._stream = None
        self._closed = False
        self._used = None
        self._scratch = [None]
        self._date_styles = {}

    @property
    def max_row(self) -> int:
        return self._max_row

    def append(self, row: Iterable[Any]) -> None:
        """Write `row` (an iterable of values or cells) as the next row."""
        if self._closed:
            raise WorkbookAlreadySaved("a write-only workbook cannot be changed once saved")
        row_idx = self._max_row + 1
        if row_idx > MAX_ROW:
            raise ValueError(f"a worksheet holds at most {MAX_ROW} rows")
        row_type = type(row)
        if (row_type is list or row_type is tuple) and len(row) <= MAX_COLUMN:
            stream = self._stream
            if stream is None:
                stream = self._stream = self.parent._row_stream(self)
            if stream.plain is not None:
                # The engine writes rows of plain values without cells, the
                # same text as from the cells _cells_of makes.
                span = stream.write_plain(row, row_idx, self._date_styles)
                if span is not False:
                    self._max_row = row_idx
                    if span is not None:
                        self._widen_used(row_idx, span[0], span[1])
                    return
        elif isinstance(row, (str, bytes)) or not hasattr(row, "__iter__"):
            raise TypeError(f"a row is an iterable of values, not {type(row).__name__}")
        cells = self._cells_of(row)
        stream = self._stream
        if stream is None:
            stream = self._stream = self.parent._row_stream(self)
        stream.write_row(cells, row_idx)
        self._max_row = row_idx
        if cells:
            self._widen_used(row_idx, cells[0].column, cells[-1].column)

    def _widen_used(self, row_idx, first, last):
        used = self._used
        if used is None:
            self._used = [row_idx, first, row_idx, last]
        else:
            if first < used[1]:
                used[1] = first
            used[2] = row_idx
            if last > used[3]:
                used[3] = last

    def _cells_of(self, row):
        """The cells to write for `row`: reused cells for plain values, the
        row's own cells, new cells for anything else."""
        row_idx = self._max_row + 1
        cells = []
        scratch = self._scratch
        for column, value in enumerate(row, 1):
            if column > MAX_COLUMN:
                raise ValueError(f"a row holds at most {MAX_COLUMN} cells")
            t = type(value)
            data_type = _PLAIN.get(t)
            style = _UNSTYLED
            if data_type is None:
                if value is None:
                    continue
                if t is str:
                    try:
                        value, data_type = _data_type_of(value)
                    except TextTooLongForCell as exc:
                        where = f"{get_column_letter(column)}{row_idx}"
                        raise TextTooLongForCell(f"cell {where}: {exc}") from None
                elif t in _DATES:
                    data_type = "d"
                    style = self._date_styles.get(t)
                    if style is None:
                        style = self._date_style(value)
                else:
                    cells.append(self._other_cell(value, row_idx, column))
                    continue
            # Plain values go through one reused cell per column: the writers
            # read a row's cells only while it is written and keep none of
            # them (these have no link or comment to keep).
            try:
                cell = scratch[column]
            except IndexError:
                cell = self._scratch_cell(column)
            cell.row = row_idx
            cell._value = value
            cell.data_type = data_type
            cell._style = style
            cells.append(cell)
        return cells

    def _other_cell(self, value, row_idx, column):
        """The cell written for an item that is a cell or an uncommon value."""
        if isinstance(value, Cell):
            if value.parent is None:
                value.parent = self
            value.row = row_idx
            value.column = column
            if value._hyperlink is not None:
                # Earlier rows may have recorded this cell's link already.
                value._hyperlink = value._hyperlink.copy(value.coordinate)
            return value
        return Cell(self, row_idx, column, value)

    def _scratch_cell(self, column):
        while len(self._scratch) <= column:
            self._scratch.append(Cell(self, None, len(self._scratch)))
        return self._scratch[column]

    def _date_style(self, value):
        """The style a cell takes on for a date of this type (its number
        format registered with the workbook, as assigning the value does)."""
        style = self._date_styles[type(value)] = Cell(self, value=value)._style
        return style

    def _used_range(self):
        return None if self._used is None else tuple(self._used)

    def _finish(self):
        """The sheet data written so far (flushed); the sheet stays open
        until the workbook marks it closed."""
        if self._stream is None:
            self._stream = self.parent._row_stream(self)
        return self._stream.finish()
