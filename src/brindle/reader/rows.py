"""Read-only worksheets, row by row: the cells, the empty filler and the row reader.

`RowReader` has the interface of the native engine's reader of the same
name, so that a read-only worksheet can use either; this one is the
pure-Python reader that the engine falls back to.
"""

import operator
import types

from brindle.reader.worksheet import Settings, _SheetReader, row_dimensions_of
from brindle.reader.helpers import checked_helpers
from brindle.utils.cell import get_column_letter

_ABSENT = object()
_column = operator.itemgetter(1)


class ReadOnlyCell:
    """A cell of a read-only worksheet. Its attributes are filled by the reader.

    `formula` and `cached_value` are only stored when the workbook was read
    with `formula_and_value`; otherwise they read as None and as `value`.
    """

    __slots__ = ("parent", "row", "column", "_value", "data_type", "_style_id", "formula",
                 "cached_value")

    def __getattr__(self, name):
        # Only reached for slots that were never filled.
        if name == "formula":
            return None
        if name == "cached_value":
            return self._value
        raise AttributeError(name)

    @property
    def value(self):
        return self._value

    @property
    def style_id(self):
        """Index of the cell's style in the workbook's table of cell styles."""
        return self._style_id

    @property
    def coordinate(self):
        return f"{get_column_letter(self.column)}{self.row}"

    @property
    def column_letter(self):
        return get_column_letter(self.column)

    @property
    def is_date(self):
        return self.data_type == "d"

    def __eq__(self, other):
        if not isinstance(other, ReadOnlyCell):
            return NotImplemented
        return ((self.row, self.column, self._value, self.data_type, self._style_id)
                == (other.row, other.column, other._value, other.data_type, other._style_id))

    __hash__ = None

    def __repr__(self):
        return f"<ReadOnlyCell {self.parent!r}.{self.coordinate} {self._value!r}>"


class EmptyCell:
    """The cell of a read-only row where the worksheet has none: no value, no style."""

    __slots__ = ()
    value = None
    is_date = False
    data_type = "n"
    style_id = 0
    formula = None
    cached_value = None

    def __repr__(self):
        return "<EmptyCell>"


EMPTY_CELL = EmptyCell()


def _slot_setters(cls, names):
    """The slot descriptors of `names` on `cls`, checked as the engine checks them."""
    out = []
    for name in names:
        descr = getattr(cls, name)
        if type(descr) is not types.MemberDescriptorType:
            raise TypeError(f"{name} is not a slot")
        out.append(descr.__set__)
    return out


class RowReader:
    """RowReader(source, parser, helpers, elements=True): streaming rows of one worksheet part.

    `actions` collects, in document order, ("element", bytes, namespaces)
    for every part of the worksheet that is not a row and ("warn", message)
    for every date that could not be read; by the time a row is returned,
    everything before its end tag is in it.
    """

    def __init__(self, source, parser, helpers, elements=True):
        # `elements=False` (the host's own read-only sheets, which use none of
        # them) leaves elements out of `actions`, so that a sheet of countless
        # elements between two rows is read in flat memory.
        h = checked_helpers(helpers)
        settings = Settings.from_parser(parser)
        self._actions = []
        rd = row_dimensions_of(parser)
        self._fav = settings.formula_and_value
        self._items = _SheetReader(source, settings, h, rd, elements=elements).items()
        self._cls = None
        self._setters = None
        self._error = None

    @property
    def actions(self):
        return self._actions

    def _next(self):
        if self._error is not None:
            # A failed read must not look like the end of the sheet later on.
            raise self._error
        append = self._actions.append
        try:
            for item in self._items:
                if item[0] == "row":
                    return item
                append(item)
        except BaseException as exc:
            # Interrupted too: the items are gone with the generator.
            self._error = exc
            raise
        return None

    def next_raw(self):
        """Next raw row: (idx, [(row, column, value, data_type, style_id), ...]), or None."""
        item = self._next()
        if item is None:
            return None
        return item[1], [c[:5] for c in item[2]]

    def next_row(self, ws, min_col, max_col, values_only, cell_cls, filler, extra_none=None):
        """The next row in the shape of a read-only worksheet's rows: (idx, tuple) or None.

        Cells are placed by their column, from `min_col` to `max_col` (or to
        the largest column of the row's cells), `filler` where there is none;
        a later cell with the same column wins.
        """
        if isinstance(extra_none, str):
            raise TypeError("extra_none must be a sequence of str, not str")
        item = self._next()
        if item is None:
            return None
        idx, cells = item[1], item[2]
        if not cells and not max_col:
            return idx, ()
        # Cells need not come in column order: the row reaches as far as its
        # rightmost cell, wherever that is in the row.
        top = max_col if max_col else max(map(_column, cells))
        width = top - min_col + 1
        out = [filler] * width if width > 0 else []
        if values_only:
            for c in cells:
                col = c[1]
                if min_col <= col <= top:
                    out[col - min_col] = c[2]
            return idx, tuple(out)
        setters = self._setters_for(cell_cls, extra_none)
        new = object.__new__
        fav = self._fav
        if cell_cls.__setattr__ is object.__setattr__ and not fav and len(setters) == 6:
            # Plain attribute stores reach the very slots checked above.
            for c in cells:
                col = c[1]
                if min_col <= col <= top:
                    cell = new(cell_cls)
                    cell.parent = ws
                    cell.row, cell.column, cell._value, cell.data_type, cell._style_id = c[:5]
                    out[col - min_col] = cell
            return idx, tuple(out)
        for c in cells:
            col = c[1]
            if not min_col <= col <= top:
                continue
            cell = new(cell_cls)
            values = (ws, c[0], col, c[2], c[3], c[4])
            if fav:
                values += (c[5], c[6])
            for put, value in zip(setters, values):
                put(cell, value)
            for put in setters[len(values):]:
                put(cell, None)
            out[col - min_col] = cell
        return idx, tuple(out)

    def _setters_for(self, cls, extra_none):
        if cls is not self._cls:
            names = ["parent", "row", "column", "_value", "data_type", "_style_id"]
            if self._fav:
                names += ["formula", "cached_value"]
            names += list(extra_none or ())
            self._setters = _slot_setters(cls, names)
            self._cls = cls
        return self._setters

