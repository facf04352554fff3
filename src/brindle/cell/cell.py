"""The worksheet cell."""

from __future__ import annotations

import datetime as _dt
import decimal
import numbers
import operator
import re
from typing import Any

from brindle.cell.rich_text import CellRichText
from brindle.cell.comment import Comment
from brindle.cell.hyperlink import Hyperlink
from brindle.formula.formulas import ArrayFormula, DataTableFormula
from brindle.styles.cell_style import StyleArray
from brindle.styles.extra import Alignment, Border, Protection
from brindle.styles.fonts import Font, PatternFill
from brindle.styles.numbers import (
    BUILTIN_FORMATS, BUILTIN_IDS, FIRST_CUSTOM_ID, FORMAT_DATE, FORMAT_DATETIME,
    FORMAT_DURATION, FORMAT_TIME, is_date_format,
)
from brindle.reader.xmlwindow import MAX_TEXT
from brindle.utils.cell import get_column_letter
from brindle.utils.escapes import encode_escapes
# Imported by name from here too (the writer, the reader's sheet extras).
from brindle.utils.text import ILLEGAL_CHARACTERS_RE, IllegalCharacterError, check_string

ERROR_CODES = frozenset(
    ("#NULL!", "#DIV/0!", "#VALUE!", "#REF!", "#NAME?", "#NUM!", "#N/A"))

# A string cell's text is written with escapes for what XML cannot carry, so
# only a lone surrogate (no character at all) is refused in one.
_LONE_SURROGATE_RE = re.compile(r"[\ud800-\udfff]")

# numbers.Real covers int, float, Fraction and the scalar types of numeric
# libraries that register with it.
NUMERIC_TYPES = (numbers.Real, decimal.Decimal)

_DATE_FORMATS = (
    (_dt.datetime, FORMAT_DATETIME),
    (_dt.date, FORMAT_DATE),
    (_dt.time, FORMAT_TIME),
    (_dt.timedelta, FORMAT_DURATION),
)
_DATE_TYPES = tuple(t for t, _ in _DATE_FORMATS)

# Positions in a StyleArray.
_FONT, _FILL, _BORDER, _NUMFMT, _PROTECTION, _ALIGNMENT = 0, 1, 2, 3, 4, 5
# The style of a cell that has no style array (a cell only created, never styled).
_NO_STYLE = StyleArray()


def _check_cell_text(value):
    """A string cell's text is written with escapes for what XML cannot
    carry, so only a lone surrogate (no character at all) is refused; a
    formula has no escapes and keeps the whole rule."""
    pattern = ILLEGAL_CHARACTERS_RE if len(value) > 1 and value[0] == "=" else _LONE_SURROGATE_RE
    if pattern.search(value):
        raise IllegalCharacterError(f"{value!r} cannot be used in worksheets.")


class TextTooLongForCell(ValueError):
    """A text whose element in the saved file would be longer than a reader takes."""


def _check_text_length(text, offset=0):
    """Refuse `text` when its element, written from `offset` on with the
    escapes strings carry, would pass the element-text limit of the readers:
    such a file could not be loaded again."""
    if len(text) - offset <= MAX_TEXT // 7:
        return  # seven characters per character at the very most
    written = len(text) - offset if offset else len(encode_escapes(text))
    if written > MAX_TEXT:
        raise TextTooLongForCell(f"a text of {written:,} characters is longer than a "
                                 f"worksheet can hold ({MAX_TEXT:,})")


def _data_type_of(value):
    """(value, data type) for a value assigned to a cell."""
    t = type(value)
    # Exact types first: the common values are decided by identity tests.
    if t is str:
        pass
    elif t is bool:
        return value, "b"
    elif t is int or t is float:
        return value, "n"
    elif value is None:
        return None, "n"
    elif isinstance(value, bool):
        return value, "b"
    elif isinstance(value, NUMERIC_TYPES):
        return value, "n"
    elif isinstance(value, _DATE_TYPES):
        return value, "d"
    elif isinstance(value, (ArrayFormula, DataTableFormula)):
        return value, "f"
    elif isinstance(value, CellRichText):
        check_string(str(value))
        for run in value:
            _check_text_length(getattr(run, "text", run))
        return value, "s"
    elif isinstance(value, str):
        value = str(value)
    else:
        raise ValueError(f"Cannot convert {value!r} to Excel")
    _check_cell_text(value)
    if len(value) > 1 and value[0] == "=":
        _check_text_length(value, 1)
        return value, "f"
    _check_text_length(value)
    if value in ERROR_CODES:
        return value, "e"
    return value, "s"


def bare_cell(cls, parent, row, column, value, style, data_type, as_read=None):
    """A `cls` (the `Cell` class or one with its slots) filled slot by slot,
    without its constructor: how loaders and the engine's store make cells
    whose value and type are already decided. `as_read` is what the file
    held that the value alone does not give back (see `Cell._as_read`)."""
    cell = cls.__new__(cls)
    cell.parent = parent
    cell._style = style
    cell.row = row
    cell.column = column
    cell._value = value
    cell._hyperlink = None
    cell.data_type = data_type
    cell._comment = None
    cell._as_read = as_read
    return cell


class Cell:
    """A cell of a worksheet: its position, value, data type and style.

    `data_type` is one of "n" (number or empty), "s" (text), "f" (formula:
    text starting with "="), "b" (boolean), "d" (date, time or duration) and
    "e" (error code such as "#N/A"); assigning `value` sets it.
    """

    # `_as_read` is (type attribute or None, value text) of a loaded cell
    # whose value alone would not be written back as the file had it: the
    # cached result of a formula, or a number whose date does not convert
    # back to it. It is written in place of the value until the value is set.
    # A cell that named cell or value metadata (a dynamic-array formula, a
    # picture in the cell) keeps a third item, the ("cm" | "vm", text) pairs
    # to write back, with (None, None) in front when nothing else was kept;
    # setting the value drops them, as they describe the value as read.
    __slots__ = ("parent", "_style", "row", "column", "_value", "_hyperlink",
                 "data_type", "_comment", "_as_read")

    def __init__(self, worksheet: Any, row: int | None = None, column: int | None = None,
                 value: Any = None, style_array: StyleArray | None = None) -> None:
        self.parent = worksheet
        self.row = row
        self.column = column
        self._style = StyleArray() if style_array is None else StyleArray(style_array)
        self._hyperlink = None
        self._comment = None
        self._value = None
        self._as_read = None
        self.data_type = "n"
        if value is not None:
            self.value = value

    # -- position ---------------------------------------------------------

    @property
    def column_letter(self):
        return get_column_letter(self.column)

    @property
    def coordinate(self) -> str:
        return f"{get_column_letter(self.column)}{self.row}"

    def __repr__(self):
        title = getattr(self.parent, "title", None)
        where = self.coordinate if self.row is not None and self.column is not None else "?"
        return f"<Cell {title!r}.{where}>"

    # -- value ------------------------------------------------------------

    @property
    def value(self) -> Any:
        return self._value

    @value.setter
    def value(self, value: Any) -> None:
        try:
            value, self.data_type = _data_type_of(value)
        except TextTooLongForCell as exc:
            raise TextTooLongForCell(f"cell {self.coordinate}: {exc}") from None
        self._value = value
        self._as_read = None
        try:
            self.parent._cells_changed = True
        except AttributeError:
            pass  # a cell of no worksheet, or of a sheet that does not track changes
        if self.data_type == "d" and not is_date_format(self.number_format):
            for cls, fmt in _DATE_FORMATS:
                if isinstance(value, cls):
                    self.number_format = fmt
                    break

    @property
    def internal_value(self):
        return self._value

    @property
    def is_date(self) -> bool:
        """True when the number format displays a date or time."""
        fmt = self.number_format
        return self.data_type == "d" or (self.data_type == "n" and is_date_format(fmt))

    # -- style ------------------------------------------------------------

    # `_style` is None for a cell that was only created (by `Worksheet.cell`
    # or row iteration): it reads as unstyled until a style is set.

    @property
    def has_style(self):
        return self._style is not None and any(self._style)

    @property
    def style_id(self):
        return self.parent.parent._cell_styles.add(
            _NO_STYLE if self._style is None else self._style)

    def _style_field(self, field):
        style = self._style
        return 0 if style is None else style[field]

    @property
    def number_format(self) -> str:
        fmt_id = self._style_field(_NUMFMT)
        if fmt_id < FIRST_CUSTOM_ID:
            return BUILTIN_FORMATS.get(fmt_id, "General")
        return self.parent.parent._number_formats[fmt_id - FIRST_CUSTOM_ID]

    @number_format.setter
    def number_format(self, fmt: str) -> None:
        if not isinstance(fmt, str):
            raise TypeError("a number format is a str")
        fmt_id = BUILTIN_IDS.get(fmt)
        if fmt_id is None:
            fmt_id = self.parent.parent._number_formats.add(fmt) + FIRST_CUSTOM_ID
        self._set_style(_NUMFMT, fmt_id)

    @property
    def font(self) -> Font:
        return self.parent.parent._fonts[self._style_field(_FONT)]

    @font.setter
    def font(self, font: Font) -> None:
        if not isinstance(font, Font):
            raise TypeError("a font is a Font")
        self._set_style(_FONT, self.parent.parent._fonts.add(font))

    @property
    def fill(self) -> PatternFill | None:
        """The cell's `PatternFill`, or None for no fill."""
        fill_id = self._style_field(_FILL)
        return self.parent.parent._fills[fill_id] if fill_id >= 2 else None

    @fill.setter
    def fill(self, fill: PatternFill | None) -> None:
        if fill is not None and not isinstance(fill, PatternFill):
            raise TypeError("a fill is a PatternFill or None")
        self._set_style(_FILL, 0 if fill is None else self.parent.parent._fills.add(fill))

    @property
    def border(self):
        """The cell's `Border` (the workbook's first, plain border when unset)."""
        return self.parent.parent._borders[self._style_field(_BORDER)]

    @border.setter
    def border(self, border):
        if not isinstance(border, Border):
            raise TypeError("a border is a Border")
        self._set_style(_BORDER, self.parent.parent._borders.add(border))

    @property
    def alignment(self):
        """The cell's `Alignment` (empty when unset)."""
        return self.parent.parent._alignments[self._style_field(_ALIGNMENT)]

    @alignment.setter
    def alignment(self, alignment):
        if not isinstance(alignment, Alignment):
            raise TypeError("an alignment is an Alignment")
        self._set_style(_ALIGNMENT, self.parent.parent._alignments.add(alignment))

    @property
    def protection(self):
        """The cell's `Protection` (empty when unset)."""
        return self.parent.parent._protections[self._style_field(_PROTECTION)]

    @protection.setter
    def protection(self, protection):
        if not isinstance(protection, Protection):
            raise TypeError("a protection is a Protection")
        self._set_style(_PROTECTION, self.parent.parent._protections.add(protection))

    def _set_style(self, field, value):
        # A fresh array: cells may share one, and lists hold them as keys.
        style = StyleArray() if self._style is None else StyleArray(self._style)
        style[field] = value
        self._style = style

    # -- hyperlink and comment --------------------------------------------

    def _set_hyperlink(self, target):
        if target is None:
            self._hyperlink = None
            return
        ref = self.coordinate if self.row is not None and self.column is not None else None
        if isinstance(target, Hyperlink):
            # A copy: one link object given to several cells must not end up
            # pointing at the last of them.
            link = target.copy(ref)
        elif isinstance(target, str):
            link = Hyperlink(ref, target=target)
        else:
            raise TypeError("a hyperlink is a Hyperlink or a str")
        self._hyperlink = link
        if self._value is None:
            self.value = link.target if link.target is not None else link.location

    # The getter is a C callable: every written cell reads its link, and a
    # Python-level getter would cost a frame per cell.
    hyperlink = property(operator.attrgetter("_hyperlink"), _set_hyperlink,
                         doc="The cell's `Hyperlink`, or None.")

    @property
    def comment(self):
        return self._comment

    @comment.setter
    def comment(self, comment):
        if comment is not None and not isinstance(comment, Comment):
            raise TypeError("a comment is a Comment")
        self._comment = comment
