"""Worksheets: the normal (in-memory) kind and the write-only kind."""

from brindle.cell.cell import Cell
from brindle.utils.cell import coordinate_to_tuple, get_column_letter
from brindle.worksheet.dimensions import ColumnDimensions, RowDimensions

# Excel's own limits; a file beyond them does not open there.
MAX_ROW = 1_048_576
MAX_COL = 16_384

_INVALID_TITLE = set('\\/*?:[]')


def check_title(title):
    if not isinstance(title, str) or not title:
        raise ValueError("a sheet title is a non-empty str")
    if len(title) > 31:
        raise ValueError(f"sheet title {title!r} is longer than 31 characters")
    if _INVALID_TITLE.intersection(title) or title[0] == "'" or title[-1] == "'":
        raise ValueError(f"sheet title {title!r} contains a character Excel refuses")
    return title


def _check_position(row, column):
    if type(row) is not int or not 1 <= row <= MAX_ROW:
        raise ValueError(f"row {row!r} is outside 1 to {MAX_ROW}")
    if type(column) is not int or not 1 <= column <= MAX_COL:
        raise ValueError(f"column {column!r} is outside 1 to {MAX_COL}")


class _SheetBase:
    def __init__(self, parent, title):
        self.parent = parent
        self._title = check_title(title)
        self.row_dimensions = RowDimensions()
        self.column_dimensions = ColumnDimensions()
        # Filled while the sheet data is written: links and comments of the
        # cells actually written, in document order.
        self._hyperlinks = []
        self._comments = []

    def __repr__(self):
        return f"<{type(self).__name__} {self.title!r}>"

    @property
    def title(self):
        return self._title

    @title.setter
    def title(self, title):
        check_title(title)
        for other in getattr(self.parent, "_sheets", ()):
            if other is not self and other.title.casefold() == title.casefold():
                raise ValueError(f"a sheet named {title!r} already exists")
        self._title = title

    def _used_range(self):
        """(min row, min column, max row, max column) of the cells, or None."""
        raise NotImplementedError

    def calculate_dimension(self):
        """The reference of the range the cells occupy, such as "A1:C10"."""
        used = self._used_range()
        if used is None:
            return "A1"
        r0, c0, r1, c1 = used
        first = f"{get_column_letter(c0)}{r0}"
        last = f"{get_column_letter(c1)}{r1}"
        return first if first == last else f"{first}:{last}"


class Worksheet(_SheetBase):
    """A worksheet held in memory: cells can be read and changed in any order."""

    def __init__(self, parent, title):
        super().__init__(parent, title)
        self._cells = {}
        self._current_row = 0

    def cell(self, row, column, value=None):
        """The cell at (row, column), created on first use; `value`, when not
        None, is assigned to it."""
        _check_position(row, column)
        cell = self._cells.get((row, column))
        if cell is None:
            cell = self._cells[(row, column)] = Cell(self, row, column)
            if row > self._current_row:
                self._current_row = row
        if value is not None:
            cell.value = value
        return cell

    def __getitem__(self, coordinate):
        row, column = coordinate_to_tuple(coordinate)
        return self.cell(row, column)

    def __setitem__(self, coordinate, value):
        self[coordinate].value = value

    @property
    def max_row(self):
        return max((r for r, _ in self._cells), default=1)

    def _used_range(self):
        if not self._cells:
            return None
        rows = [r for r, _ in self._cells]
        cols = [c for _, c in self._cells]
        return min(rows), min(cols), max(rows), max(cols)

    def append(self, values):
        """Add a row below the last row that has cells. Items may be values or
        cells (copied into place); None leaves a cell empty."""
        row = self._current_row + 1
        for column, value in enumerate(values, 1):
            if isinstance(value, Cell):
                cell = self.cell(row, column)
                cell._value = value._value
                cell.data_type = value.data_type
                cell._style = value._style
                if value._hyperlink is not None:
                    cell.hyperlink = value._hyperlink
                cell._comment = value._comment
            elif value is not None:
                self.cell(row, column, value)
        self._current_row = row

    def iter_rows(self, values_only=False):
        """Rows from 1 to the last, each a tuple up to the last used column."""
        if not self._cells:
            return
        max_col = max(c for _, c in self._cells)
        for row in range(1, self.max_row + 1):
            cells = tuple(self._cells.get((row, c)) for c in range(1, max_col + 1))
            yield tuple(c.value if c else None for c in cells) if values_only else cells
