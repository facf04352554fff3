"""Worksheets: the normal (in-memory) kind and the write-only kind."""

from __future__ import annotations

import operator
import re
from collections.abc import Iterable, Iterator
from typing import Any

from brindle.cell.cell import Cell, bare_cell
from brindle.utils.cell import column_index_from_string, coordinate_to_tuple, get_column_letter
from brindle.utils.limits import MAX_COLUMN, MAX_COLUMN_LETTERS, MAX_ROW
from brindle.worksheet.dimensions import ColumnDimensions, RowDimensions
from brindle.worksheet.extent import SheetExtent
from brindle.worksheet.store import is_cell_store, new_cell_store

# Excel's own limits; a file beyond them does not open there.
# What row iteration accepts: loaded files may hold cells past Excel's limits.
_MAX_INDEX = 0xFFFFFFFF
_RANGE_RE = re.compile(
    r"^\$?([A-Za-z]{1,3})\$?([1-9][0-9]*)(?::\$?([A-Za-z]{1,3})\$?([1-9][0-9]*))?$")
_MISSING = object()

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
    if type(row) is int and type(column) is int and not (
            1 <= row <= MAX_ROW and 1 <= column <= MAX_COLUMN) and row > 0 and column > 0:
        # A place with a name: the cell is named, as an application shows it.
        where = (f"cell {get_column_letter(column)}{row}" if column <= MAX_COLUMN_LETTERS
                 else f"the cell at row {row}, column {column}")
        raise ValueError(f"{where} is outside the cells of a worksheet (A1:XFD1048576)")
    if type(row) is not int or not 1 <= row <= MAX_ROW:
        raise ValueError(f"row {row!r} is outside 1 to {MAX_ROW}")
    if type(column) is not int or not 1 <= column <= MAX_COLUMN:
        raise ValueError(f"column {column!r} is outside 1 to {MAX_COLUMN}")


class _SheetBase:
    def __init__(self, parent, title):
        self.parent = parent
        self._title = check_title(title)
        self.row_dimensions = RowDimensions()
        self.column_dimensions = ColumnDimensions()
        self.sheet_state = "visible"  # or "hidden", "veryHidden"
        # Filled while the sheet data is written: links and comments of the
        # cells actually written, in document order.
        self._hyperlinks = []
        self._comments = []
        # Of a loaded sheet: its part's name and sheet id in the file, and its
        # relationships to parts carried through a save (drawings, tables,
        # printer settings ...), whose ids its kept elements name.
        self._part_name = None
        self._sheet_id = None
        self._kept_rels = []
        # Of a loaded sheet's legacy drawing: what it holds besides notes.
        self._vml_base = None
        # Whether cached results of formulas are written (set for each save).
        self._keep_results = True

    def __repr__(self):
        return f"<{type(self).__name__} {self.title!r}>"

    @property
    def title(self) -> str:
        return self._title

    @title.setter
    def title(self, title: str) -> None:
        check_title(title)
        for other in getattr(self.parent, "_sheets", ()):
            if other is not self and other.title.casefold() == title.casefold():
                raise ValueError(f"a sheet named {title!r} already exists")
        old, self._title = self._title, title
        renamed = getattr(self.parent, "_sheet_renamed", None)
        if renamed is not None and old != title:
            renamed(old, title)

    def _used_range(self):
        """(min row, min column, max row, max column) of the cells, or None."""
        raise NotImplementedError

    def calculate_dimension(self) -> str:
        """The reference of the range the cells occupy, such as "A1:C10"."""
        used = self._used_range()
        if used is None:
            return "A1"
        r0, c0, r1, c1 = used
        first = f"{get_column_letter(c0)}{r0}"
        last = f"{get_column_letter(c1)}{r1}"
        return first if first == last else f"{first}:{last}"


class Worksheet(_SheetBase, SheetExtent):
    """A worksheet held in memory: cells can be read and changed in any order.

    Cells are reached by coordinate (`ws["B2"]`, `ws["A1:C3"]`, `ws[2]` for a
    row) or by position (`ws.cell(row, column)`); both create the cell on
    first use. `del ws["B2"]` removes a cell (nothing happens when it does
    not exist). `iter_rows`, `rows` and `values` walk a rectangle of cells.
    Besides cells a worksheet keeps `row_dimensions`, `column_dimensions`,
    `merged_cells` (range texts such as "A1:B2") and `freeze_panes` (the
    top-left cell that scrolls, or None).
    """

    def __init__(self, parent, title):
        super().__init__(parent, title)
        self._cells = new_cell_store(getattr(parent, "native", True), self)
        self._current_row = 0
        self.merged_cells = []
        self._freeze = None
        # Of a loaded sheet: the attributes of its view, and the elements kept
        # as they were read ({element name: [XML text, ...]}).
        self._view_attrs = None
        self._views_kept = None  # (<sheetViews> as read, its attributes, frozen pane)
        self._kept = {}
        # Whether a cell's value was set or a cell removed since the sheet was
        # loaded: an edited workbook asks applications to recalculate.
        self._cells_changed = False

    # -- single cells -------------------------------------------------------

    def _new_cell(self, row, column):
        # The form of a cell that is only created, not assigned: no style
        # array (the engine's store makes new cells the same way).
        return bare_cell(Cell, self, row, column, None, None, "n")

    def cell(self, row: int, column: int, value: Any = None) -> Cell:
        """The cell at (row, column), created on first use; `value`, when not
        None, is assigned to it."""
        _check_position(row, column)
        cells = self._cells
        cell = cells.get((row, column))
        if cell is None:
            cell = cells[(row, column)] = self._new_cell(row, column)
            if row > self._current_row:
                self._current_row = row
        if value is not None:
            cell.value = value
        return cell

    def __getitem__(self, key: str | int) -> Any:
        """`ws["B2"]` a cell, `ws["A1:C3"]` a tuple of rows of cells, `ws[5]` a row."""
        if isinstance(key, int) and not isinstance(key, bool):
            return next(self.iter_rows(min_row=key, max_row=key, min_col=1,
                                       max_col=max(self.max_column, 1)))
        match = _RANGE_RE.match(key) if isinstance(key, str) else None
        if match is None or match.group(3) is None:
            row, column = coordinate_to_tuple(key)
            return self.cell(row, column)
        c0, r0 = column_index_from_string(match.group(1)), int(match.group(2))
        c1, r1 = column_index_from_string(match.group(3)), int(match.group(4))
        return tuple(self.iter_rows(min_row=min(r0, r1), max_row=max(r0, r1),
                                    min_col=min(c0, c1), max_col=max(c0, c1)))

    def __setitem__(self, coordinate: str, value: Any) -> None:
        self[coordinate].value = value

    def __delitem__(self, coordinate: str) -> None:
        row, column = coordinate_to_tuple(coordinate)
        self.delete_cell(row, column)

    def delete_cell(self, row: int, column: int) -> None:
        """Remove the cell at (row, column) with its value, style, link and
        comment; nothing happens when there is no such cell."""
        cells = self._cells
        if (row, column) in cells:
            del cells[(row, column)]
            self._cells_changed = True

    # -- extent ---------------------------------------------------------------

    def _bounds(self):
        """(min_row, max_row, min_col, max_col) of the cells, or None."""
        cells = self._cells
        if is_cell_store(cells):
            bounds = cells._bounds()
            if bounds is not None or not cells._in_dict_mode():
                return bounds
        if not cells:
            return None
        rows = [key[0] for key in cells]
        cols = [key[1] for key in cells]
        return min(rows), max(rows), min(cols), max(cols)

    def _used_range(self):
        bounds = self._bounds()
        if bounds is None:
            return None
        r0, r1, c0, c1 = bounds
        return r0, c0, r1, c1

    @property
    def dimensions(self) -> str:
        return self.calculate_dimension()

    # -- rows -----------------------------------------------------------------

    def append(self, values: Iterable[Any]) -> None:
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
                cell._as_read = None
                self._cells_changed = True
            elif value is not None:
                self.cell(row, column, value)
        self._current_row = row

    def iter_rows(self, min_row: int | None = None, max_row: int | None = None,
                  min_col: int | None = None, max_col: int | None = None,
                  values_only: bool = False) -> Iterator[tuple[Any, ...]]:
        """Rows of the rectangle min_row..max_row by min_col..max_col as
        tuples of cells (of values with `values_only`).

        Bounds default to the first row and column and to the last row and
        column that have cells. Cells missing inside the rectangle are
        created, as `cell()` does, so every position has one.
        """
        if not len(self._cells) and not any((min_row, max_row, min_col, max_col)):
            return iter(())
        min_row = _index("min_row", min_row or 1)
        min_col = _index("min_col", min_col or 1)
        max_row = _index("max_row", max_row or self.max_row)
        max_col = _index("max_col", max_col or self.max_column)
        return self._cells_by_row(min_col, min_row, max_col, max_row, values_only)

    def _cells_by_row(self, min_col, min_row, max_col, max_row, values_only=False):
        values_only = bool(values_only)
        cells = self._cells
        native = is_cell_store(cells)
        for row in range(min_row, max_row + 1):
            if native and not cells._in_dict_mode():
                result, created = cells._row(row, min_col, max_col, values_only)
                if created and row > self._current_row:
                    self._current_row = row
                yield result
            else:
                yield self._row_of_mapping(row, min_col, max_col, values_only)

    def _row_of_mapping(self, row, min_col, max_col, values_only):
        cells = self._cells
        get = cells.get
        out = []
        for column in range(min_col, max_col + 1):
            cell = get((row, column), _MISSING)
            if cell is _MISSING:
                cell = cells[(row, column)] = self._new_cell(row, column)
                if row > self._current_row:
                    self._current_row = row
            out.append(cell.value if values_only else cell)
        return tuple(out)

    def iter_cols(self, min_col: int | None = None, max_col: int | None = None,
                  min_row: int | None = None, max_row: int | None = None,
                  values_only: bool = False) -> Iterator[tuple[Any, ...]]:
        """Columns of the same rectangle as `iter_rows`, as tuples of cells (of
        values with `values_only`); missing cells are created alike."""
        rows = list(self.iter_rows(min_row, max_row, min_col, max_col, values_only))
        return iter(zip(*rows))

    def __iter__(self) -> Iterator[tuple[Any, ...]]:
        return self.iter_rows()

    @property
    def rows(self) -> Iterator[tuple[Any, ...]]:
        """Every row up to the last, as tuples of cells (see `iter_rows`)."""
        return self.iter_rows()

    @property
    def columns(self) -> Iterator[tuple[Any, ...]]:
        """Every column up to the last, as tuples of cells (see `iter_cols`)."""
        return self.iter_cols()

    @property
    def values(self) -> Iterator[tuple[Any, ...]]:
        """Every row up to the last, as tuples of values."""
        return self.iter_rows(values_only=True)

    # -- merged cells and panes ----------------------------------------------

    def merge_cells(self, range_string: str) -> None:
        """Merge the cells of `range_string` ("A1:B2") into one."""
        ref = _range_text(range_string)
        if ref not in self.merged_cells:
            self.merged_cells.append(ref)

    def unmerge_cells(self, range_string: str) -> None:
        ref = _range_text(range_string)
        try:
            self.merged_cells.remove(ref)
        except ValueError:
            raise ValueError(f"cell range {ref} is not merged") from None

    @property
    def freeze_panes(self) -> str | None:
        """The top-left cell of the scrolling part ("B2" freezes row 1 and
        column A), or None."""
        return self._freeze

    @freeze_panes.setter
    def freeze_panes(self, coordinate: str | Cell | None) -> None:
        if isinstance(coordinate, Cell):
            coordinate = coordinate.coordinate
        if coordinate is not None:
            row, column = coordinate_to_tuple(coordinate)
            coordinate = None if (row, column) == (1, 1) else f"{get_column_letter(column)}{row}"
        self._freeze = coordinate


def _index(name, value):
    try:
        value = operator.index(value)
    except TypeError:
        raise TypeError(f"{name} must be an int, not {type(value).__name__}") from None
    if not 1 <= value <= _MAX_INDEX:
        raise ValueError(f"{name} {value} is outside 1 to {_MAX_INDEX}")
    return value


def _range_text(range_string):
    match = _RANGE_RE.match(range_string) if isinstance(range_string, str) else None
    if match is None:
        raise ValueError(f"Invalid cell range {range_string!r}")
    first = f"{match.group(1).upper()}{match.group(2)}"
    if match.group(3) is None:
        return first
    return f"{first}:{match.group(3).upper()}{match.group(4)}"
