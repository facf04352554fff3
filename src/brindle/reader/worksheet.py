"""Reading the cells of a worksheet part.

`WorkSheetParser.parse` walks the worksheet XML once and yields, in document
order:

* ``("row", idx, cells)`` for each ``<row>`` of ``<sheetData>``: idx is the
  row number, each cell a tuple ``(row, column, value, data_type, style_id,
  formula, cached_value)``; `formula` is the cell's formula when one was read
  (`value` itself for a formula cell; the formula beside the cached value
  with both `data_only` and `formula_and_value`), else None; `cached_value`
  is the cached result of a formula cell read with `formula_and_value`, else
  `value`;
* ``("element", data, namespaces)`` for every other child of the worksheet
  element and every child of ``<sheetData>`` that is not a row: the raw bytes
  of the element exactly as in the part, with the (prefix, uri) bindings its
  ancestors put in scope, for the caller's handlers to replay;
  only elements the workbook can keep (`_KEPT`) are captured;
* ``("unknown", name)`` for the first element of each other local name in
  those places, which is skipped unread;
* ``("warn", message)`` for a cell whose date serial gives no date;
* ``("sheet_warn", message)``, once, for the first cell whose reference names
  another row than its ``<row>``: a warning the caller prefixes with the
  sheet's name. Such a row is given as one ``("row", ...)`` item per row its
  cells name, in ascending order, each cell in the row its reference names
  (read `as_read`, it is given whole, its cells in file order).

Read with `as_read` (the full loader, which writes cells back), each cell
tuple has an eighth item: None, or (type attribute or None, value text) when
the value alone would not be written back as the file had it: the cached
result of a formula cell, a number whose date gives no date or does not
convert back to it (serial 60 of the 1900 system, the fictitious
1900-02-29), and a number no text written for its value reads back as (an
infinity, an int past 2**53); ("d", text) for an ISO date cell, whose
format need not show a date; ("inlineStr", rich text) for a shared string
whose runs the parser's `rich_strings` holds, and ("inlineStr", "") for a
text cell whose value is the empty text (written from its value, it would
be an empty cell). A cell naming cell metadata (`cm`, a
dynamic-array formula; dropped with the formula under `data_only`) or value
metadata (`vm`, a rich value) has a third item there, its ("cm" | "vm",
text) pairs, behind (None, None) when nothing else was kept.

The native engine reproduces this output; where this module makes a choice
that is not forced by the file format it says so, because that choice is
then the engine's requirement too.
"""

import math
import operator
import re

from brindle.reader.helpers import checked_helpers, reading_helpers
from brindle.reader.xmlwindow import (CHUNK, MAX_TEXT, TEXT_TOO_LONG, CellFault, TextTooLong,
                                      Window, cell_outside, ns_key, row_outside)
from brindle.utils.cell import get_column_letter
from brindle.utils.datetime import WINDOWS_EPOCH
from brindle.package.sheet_elements import ORDER
from brindle.utils.escapes import decode_escapes
from brindle.utils.limits import MAX_COLUMN, MAX_COLUMN_LETTERS, MAX_ROW

MAIN = "http://schemas.openxmlformats.org/spreadsheetml/2006/main"

# Worksheet elements that the workbook reader dispatches to handlers of
# their own. Found where only cells belong (inside a row), they are still
# handed to the dispatcher rather than read as cells.
DISPATCHED = frozenset({
    "row", "col", "extLst", "sheetPr", "rowBreaks", "colBreaks", "pageSetup", "scenarios",
    "autoFilter", "sheetViews", "tableParts", "hyperlinks", "mergeCells", "pageMargins",
    "printOptions", "headerFooter", "legacyDrawing", "sheetFormatPr", "sheetProtection",
    "dataValidations", "conditionalFormatting", "customSheetViews",
})

_M = MAIN + "}"
# The children of the worksheet (or of <sheetData>) the workbook can keep.
# Any other is skipped and named once, never read into memory; the engine
# holds the same list.
_KEPT = frozenset(_M + name for name in ORDER)
_DISPATCHED = frozenset(_M + name for name in DISPATCHED)
_SHEET_DATA, _ROW, _V, _F, _IS = _M + "sheetData", _M + "row", _M + "v", _M + "f", _M + "is"

# 1 to 18 ASCII digits after an optional "-": texts the engine converts itself.
_SHORT_INT = re.compile(r"-?[0-9]{1,18}")
_DECIMAL = re.compile(r"[+-]?(?:[0-9]+\.?[0-9]*|\.[0-9]+)(?:[eE][+-]?[0-9]+)?")
_INT64 = range(-(1 << 63), 1 << 63)
_NO_INLINE = object()
# The type attribute a formula's cached value is written back with, by the
# type it was read with; cached values of other types are not kept.
_CACHED_TYPES = {"n": None, "str": "str", "b": "b", "e": "e", "d": "d"}
_COLUMNS = None


def _column_numbers():
    global _COLUMNS
    if _COLUMNS is None:
        _COLUMNS = {get_column_letter(i): i for i in range(1, MAX_COLUMN_LETTERS + 1)}
    return _COLUMNS


def int_set(items):
    """The style ids of `items` that count: int instances, not bools, in the 64-bit range."""
    out = set()
    for item in items:
        if isinstance(item, int) and type(item) is not bool and item in _INT64:
            out.add(int(item))
    return out


def _as_double(value):
    """A float for what the C API can take as a double (float, __float__, __index__)."""
    if isinstance(value, (str, bytes, bytearray, memoryview)):
        return value
    try:
        return float(value)
    except (TypeError, OverflowError):
        return value


class Settings:
    """What a parse needs of the worksheet parser, read once before the first byte."""

    __slots__ = ("epoch", "formula_and_value", "shared_strings", "data_only", "rich_text",
                 "date_formats", "timedelta_formats", "time_formats")

    @classmethod
    def from_parser(cls, parser):
        self = cls()
        parser.epoch  # noqa: B018 - read twice, as the engine does: once to test it, once to keep it
        self.epoch = parser.epoch
        try:
            fav = parser.formula_and_value
        except Exception:
            fav = False  # parsers of older callers lack the attribute
        self.formula_and_value = bool(fav)
        parser.shared_strings  # noqa: B018 - read twice, as the engine does
        self.shared_strings = parser.shared_strings
        self.data_only = bool(parser.data_only)
        self.rich_text = bool(parser.rich_text)
        self.date_formats = int_set(parser.date_formats)
        self.timedelta_formats = int_set(parser.timedelta_formats)
        try:
            times = parser.time_formats
        except AttributeError:
            times = ()  # parsers of older callers lack the attribute
        self.time_formats = int_set(times)
        return self


def row_dimensions_of(parser):
    rd = parser.row_dimensions
    if not isinstance(rd, dict):
        raise TypeError(f"row_dimensions must be dict, not {type(rd).__name__}")
    return rd


def _conversions(h):
    """Per-text conversions bound to the helpers; plain builtins skip the short-text test."""
    int_h = h["int"]
    float_h = h["float"]
    row_h = h["row_index"]
    coord_h = h["coordinate_to_tuple"]
    index = operator.index
    short = _SHORT_INT.fullmatch

    if int_h is int:
        to_int = int
    else:
        def to_int(text):
            return int(text) if short(text) else int_h(text)

    if float_h is float:
        to_float = float
    else:
        decimal = _DECIMAL.fullmatch

        def to_float(text):
            return float(text) if decimal(text) else _as_double(float_h(text))

    def style_of(text):
        if text is None:
            return 0
        if not text:
            return ""
        if int_h is int:
            return int(text)  # what the engine's short path gives, for every text
        if short(text):
            return int(text)
        value = int_h(text)
        number = index(value)
        return number if number in _INT64 else value

    def row_of(text):
        if short(text):
            return int(text)
        return index(row_h(text))

    columns = _column_numbers()

    def coordinate(ref):
        letters = ref.rstrip("0123456789")
        digits = ref[len(letters):]
        col = columns.get(letters)
        if col is not None and digits and digits[0] != "0" and len(digits) <= 9:
            return int(digits), col
        row, col = coord_h(ref)
        return index(row), index(col)

    return to_int, to_float, style_of, row_of, coordinate


# How deep each element the reader tells apart sits; the worksheet element is at 1.
_AT_SHEET_CHILD = 2  # sheetData and the worksheet's other parts
_AT_ROW = 3  # children of sheetData: rows
_AT_CELL = 4  # children of a row: cells
_AT_CELL_CHILD = 5  # <v>, <f>, <is>
_AT_INLINE_PART = 6  # the <t> of a plain inline string

# The child of a cell being read, which decides what its content is for.
_NO_CHILD = 0
_VALUE = 1  # <v>: its text is the value
_FORMULA = 2  # <f>: its text is the formula
_RICH_INLINE = 3  # <is> kept whole and read as rich text
_INLINE = 4  # <is> read as plain text
_OTHER = 5  # anything else, skipped with its content

# Only the first <v>, <f> and <is> of a cell count; later ones are skipped.
_SAW_VALUE, _SAW_FORMULA, _SAW_INLINE = 1, 2, 4


class _CellRules:
    """The value rules of one sheet read: what a finished cell's attributes and
    children mean. They live apart from the expat handlers, which only collect
    the parts of each cell; the state that lasts from cell to cell (the masters
    of shared formulas) lives here too."""

    __slots__ = ("to_int", "to_float", "style_of", "row_of", "coordinate", "data_only", "fav",
                 "read_formulas", "as_read", "shared_strings", "rich_strings", "epoch",
                 "epoch_1900", "date_formats", "timedelta_formats", "time_formats",
                 "from_excel", "from_iso", "date_warning", "array_formula", "data_table",
                 "translator", "masters", "unkeyed", "emit", "n_styles", "n_strings")

    def __init__(self, settings, h, emit, as_read=False, rich_strings=None, n_styles=None):
        s = settings
        (self.to_int, self.to_float, self.style_of, self.row_of,
         self.coordinate) = _conversions(h)
        self.data_only, self.fav = s.data_only, s.formula_and_value
        self.read_formulas = not s.data_only or s.formula_and_value
        self.as_read = as_read
        self.shared_strings = s.shared_strings
        try:
            self.n_strings = len(s.shared_strings)
        except TypeError:
            # A caller's table without a length: it bounds its indexes itself.
            self.n_strings = math.inf
        self.rich_strings = rich_strings
        self.epoch = s.epoch
        self.epoch_1900 = s.epoch == WINDOWS_EPOCH
        self.date_formats, self.timedelta_formats = s.date_formats, s.timedelta_formats
        self.time_formats = s.time_formats
        self.from_excel, self.from_iso = h["from_excel"], h["from_ISO8601"]
        self.date_warning = h["date_warning"]
        self.array_formula, self.data_table = h["ArrayFormula"], h["DataTableFormula"]
        self.translator = h["Translator"]
        self.masters = {}  # si text -> host Translator of the group's master cell
        self.unkeyed = None  # master of a group without si
        self.emit = emit  # where warnings go, in document order with the rows
        # The number of cell formats a style id may name, when the caller
        # indexes a table with it (the full loader); None: ids are only reported.
        self.n_styles = n_styles

    def cell_tuple(self, at, col, r, t, v, f, style, inline):
        """The tuple of the cell at (at, col) (see the module docstring): `r` its
        reference, `t` its type attribute, `v` the text of its <v>, `f` its <f>
        parts, `style` its style id, `inline` the value of its <is>."""
        if self.n_styles is not None and type(style) is int and not 0 <= style < self.n_styles:
            # Checked as the cell ends, with its other faults, so that the
            # first fault of the sheet is the one raised.
            raise CellFault(f"cell {_cell_name(r, at, col)} has cell format {style}, but the "
                            f"workbook has {self.n_styles}")
        if t is None:
            t = "n"
        elif t == "inlineStr":
            v = None
        formula = None
        runs = None  # the rich text of a shared string with runs
        lossy = False  # a number not given back by its date
        formula_cell = f is not None and not self.data_only
        if f is not None and self.read_formulas:
            formula = self.formula_of(f, r)
            if not self.fav:
                if self.as_read:
                    return (at, col, formula, "f", style, formula, formula, cached(t, v))
                return (at, col, formula, "f", style, formula, formula)
        if not v:
            if t == "inlineStr" and inline is not _NO_INLINE:
                value, dtype = inline, "s"
            elif t == "e" and f is None:
                # An error without its code is still an error: empty text
                # keeps the cell, which a value of None would drop on save.
                value, dtype = "", "e"
            else:
                value, dtype = None, t
        elif t == "n":
            value, dtype, lossy = self.number(v, r, style, formula_cell)
        elif t == "s":
            index = self.to_int(v)
            if type(index) is int and not 0 <= index < self.n_strings:
                # A negative index would count from the end of the table.
                raise CellFault(f"cell {_cell_name(r, at, col)} names shared string {index}, "
                                f"but the workbook has {self.n_strings}")
            value, dtype = self.shared_strings[index], "s"
            if self.rich_strings and not formula_cell:
                runs = self.rich_strings.get(index)
        elif t == "b":
            value, dtype = bool(self.to_int(v)), "b"
        elif t == "str":
            value, dtype = v, "s"
        elif t == "d":
            value, dtype = self.from_iso(v), "d"
        else:
            value, dtype = v, t
        if formula_cell:  # with formula_and_value: the formula, its cached value aside
            if self.as_read:
                return (at, col, formula, "f", style, formula, value, cached(t, v))
            return (at, col, formula, "f", style, formula, value)
        if self.as_read:
            if runs is not None:
                return (at, col, value, dtype, style, formula, value, ("inlineStr", runs))
            if t == "d" and v:
                # Its own text back: the cell's format may show no date, and
                # written as a serial it would read back as a number.
                return (at, col, value, dtype, style, formula, value, ("d", v))
            if dtype == "s" and type(value) is str and not value:
                # Written from its value, an empty text would make an empty cell.
                return (at, col, value, dtype, style, formula, value, _EMPTY_TEXT)
            return (at, col, value, dtype, style, formula, value,
                    ("n", v) if lossy and t == "n" and v else None)
        return (at, col, value, dtype, style, formula, value)

    @staticmethod
    def with_meta(cell, meta, had_formula):
        """The as-read `cell` with the metadata pairs `meta` kept in its eighth item.
        Cell metadata (cm) marks the formula as a dynamic array: a cell whose
        formula was not read (data_only) has nothing it could describe."""
        if had_formula and cell[3] != "f":
            meta = tuple(pair for pair in meta if pair[0] != "cm")
            if not meta:
                return cell
        kept = cell[7]
        kept = (None, None, meta) if kept is None else (kept[0], kept[1], meta)
        return cell[:7] + (kept,)

    def number(self, v, r, style, formula_cell):
        """(value, data type, lossy) of the number text `v`: a date by the cell's style,
        with `lossy` when the value does not give the number back (a date, or a
        number no text is written for that reads back as it)."""
        if "." in v or "e" in v or "E" in v:
            value = self.to_float(v)
        else:
            value = self.to_int(v)
        if type(style) is not int or style not in self.date_formats:
            return value, "n", _unwritable(value)
        timedelta = style in self.timedelta_formats
        try:
            if style in self.time_formats:
                date = self.from_excel(value, self.epoch, timedelta=timedelta, time_only=True)
            else:
                date = self.from_excel(value, self.epoch, timedelta=timedelta)
        except (OverflowError, ValueError):
            message = self.date_warning(r, value)
            if not formula_cell:
                self.emit(("warn", message))
            return "#VALUE!", "e", True
        # Serial 60 of the 1900 system is a day that never was: it reads
        # as the day before, whose serial is 59.
        lossy = (self.epoch_1900 and not timedelta
                 and (type(value) is int or type(value) is float) and 60 <= value < 61)
        return date, "d", lossy

    def formula_of(self, f, r):
        """The formula of <f> parts `f` in the cell `r`: text, or the host's object
        of an array or data-table formula; a shared formula translated from its master."""
        ftext, ftype, ref, si, attrs = f
        formula = "=" + ftext
        if ftype == "array":
            return self.array_formula(**{"ref": ref, "text": formula})
        if ftype == "dataTable":
            return self.data_table(**(attrs or {}))
        if ftype != "shared":
            return formula
        master = self.masters.get(si) if si is not None else self.unkeyed
        if master is not None:
            return master.translate_formula(r or None)
        if formula == "=":
            return formula
        master = self.translator(formula, r or None)
        if si is not None:
            self.masters[si] = master
        else:
            self.unkeyed = master
        return formula


def _cell_name(ref, row, column):
    """The cell as a message names it: its reference as written, else its place."""
    if ref:
        return ref
    try:
        return f"{get_column_letter(column)}{row}"
    except ValueError:
        return f"at row {row}, column {column}"


# What a cell whose value is the empty text keeps: it is written back as an
# empty inline string, which reads as that text again.
_EMPTY_TEXT = ("inlineStr", "")


def _unwritable(number):
    """Whether no number text written for `number` reads back as it: an infinity or
    a NaN, or an int past 2**53 (written as the nearest double)."""
    if type(number) is float:
        return not math.isfinite(number)
    return type(number) is int and not -(1 << 53) <= number <= 1 << 53


def cell_meta(attrs):
    """The ("cm" | "vm", text) pairs of a cell's attributes `attrs`, in the order
    applications write them, or None when it has neither."""
    cm, vm = attrs.get("cm"), attrs.get("vm")
    if cm is None:
        return None if vm is None else (("vm", vm),)
    return (("cm", cm),) if vm is None else (("cm", cm), ("vm", vm))


def cached(t, v):
    """What a formula cell keeps of its cached value `v` of type `t`."""
    if not v or t not in _CACHED_TYPES:
        return None
    return (_CACHED_TYPES[t], v)


class _SheetReader(Window):
    """One pass over one worksheet part; `items()` yields what the module docstring lists."""

    def __init__(self, source, settings, helpers, row_dimensions, elements=True, as_read=False,
                 rich_strings=None, n_styles=None):
        super().__init__(source)
        self.n_styles = n_styles
        self.settings = settings
        self.as_read = as_read
        self.rich_strings = rich_strings
        self.h = helpers
        self.row_dimensions = row_dimensions
        self.row_runs = None  # a list: rows with attributes go there, see WorkSheetParser
        self.elements = elements  # False: elements are skipped, not yielded
        self.out = []

    def items(self):
        out = self.out

        def flush():
            check_text()
            if out:
                yield from out
                out.clear()

        check_text = self._install()
        return self.feed_all(flush)

    def _install(self):  # noqa: C901 - handlers share their state as closure cells, for speed
        """Set the expat handlers: `start` and `end` pick the handler of each element by
        its depth; an element kept whole takes both over until it closes."""
        s = self.settings
        h = self.h
        p = self.parser
        emit = self.out.append
        rd = self.row_dimensions
        runs = self.row_runs
        open_capture, close_capture, namespaces = (self.open_capture, self.close_capture,
                                                   self.namespaces)
        rules = _CellRules(s, h, emit, self.as_read, self.rich_strings, self.n_styles)
        cell_tuple = rules.cell_tuple
        style_of, row_of, coordinate = rules.style_of, rules.row_of, rules.coordinate
        data_only, rich = s.data_only, s.rich_text
        text_content, rich_inline = h["text_content"], h["rich_inline"]
        dispatched = _DISPATCHED
        letters = [""] + list(_column_numbers())
        plain_int = h["int"] is int
        elements = self.elements
        kept = _KEPT
        unkept = set()  # local names of the elements skipped and reported
        passed = set()  # names of the worksheet's children skipped so far

        tx = []
        # Character data always lands in `tx`: cheaper than switching the
        # handler per element. Each text is taken from where its element
        # starts to where its first child starts (`cut`).
        p.CharacterDataHandler = tx.append
        cut = -1
        depth = 0
        in_sheet_data = False
        whole = None  # capture handle of the element kept whole
        whole_at = 0  # its depth
        # The row being read: its number, the column of its last cell, its cells.
        row = col = 0
        cells = None
        row_text = ""  # the row number as a reference writes it
        last_attrs = [None]  # the attributes of the last row that had some
        # The row holds a cell whose reference names another row; whether the
        # sheet's one warning of it was given.
        mixed = warned = False
        # The full loader files cells by their references, in file order, as
        # the engine's loader does: only streaming splits such rows.
        split_rows = not self.as_read
        # The cell being read: attributes, <v> text, <f> parts, inline value.
        c_r = c_t = c_v = c_f = None
        c_meta = None  # the cell's metadata indexes, with as_read
        keep_meta = self.as_read
        c_style = 0
        c_inline = _NO_INLINE
        child = _NO_CHILD
        seen = 0  # _SAW_* bits
        # A plain inline string: its capture handle, whether it is still one
        # <t> and nothing else, whether that <t> was read, is open, its text.
        is_handle = None
        is_plain = is_t = is_t_open = False
        is_text = ""

        def text():
            return "".join(tx) if cut < 0 else "".join(tx[:cut])

        # Expat's entry points.

        def start(name, attrs):
            nonlocal depth, in_sheet_data
            depth += 1
            # The worksheet's children first: a sheet may hold countless of
            # them, where a cell's three tests more cost little beside it.
            if depth == _AT_SHEET_CHILD:
                if name in passed:
                    pass  # skipped before, and reported then
                elif name == _SHEET_DATA:
                    in_sheet_data = True
                elif elements and name in kept:
                    keep_whole()
                else:
                    skip_unseen(name)
                    passed.add(name)
            elif depth == _AT_CELL_CHILD:
                open_cell_child(name, attrs)
            elif depth == _AT_CELL:
                if name in dispatched:
                    keep_whole()
                else:
                    open_cell(attrs)
            elif depth > _AT_CELL_CHILD:
                open_nested(name)
            elif depth == _AT_ROW:
                if in_sheet_data:
                    if name == _ROW:
                        open_row(attrs)
                    else:
                        keep_or_skip(name)
                else:
                    skip_rest()

        def end(_name):
            nonlocal depth, in_sheet_data, is_t_open, is_text
            d = depth
            depth -= 1
            if d == _AT_SHEET_CHILD:
                in_sheet_data = False
                if tx:
                    tx.clear()  # of an element skipped unseen, or between rows
            elif d == _AT_CELL_CHILD:
                close_cell_child()
            elif d == _AT_CELL:
                cells.append(close_cell())
            elif d == _AT_INLINE_PART:
                if is_t_open:
                    is_t_open = False
                    is_text = text()
                    if len(is_text) > MAX_TEXT:
                        raise TextTooLong(TEXT_TOO_LONG)
            elif d == _AT_ROW:
                close_row()

        # Elements kept whole: handed on as ("element", bytes, namespaces),
        # or read as rich text. Their content concerns nobody else, so while
        # one is open its own handlers only count the depth.

        def keep_or_skip(name):
            """A child of <sheetData> other than a row: kept whole when the
            caller can keep it, else skipped unseen."""
            nonlocal whole, whole_at
            if elements and name in kept:
                keep_whole()
                return
            skip_unseen(name)
            whole = None
            whole_at = depth
            p.StartElementHandler = start_kept
            p.EndElementHandler = end_kept

        # An element nobody keeps is reported by its name, once: a sheet of
        # countless such elements then costs no more than reading past them.
        # PERF: a child of the worksheet is skipped without a change of
        # handlers, which would cost more than all the rest: `start` meets
        # its first child, at a depth only such an element reaches outside
        # <sheetData>, and `skip_rest` hands the rest over then.

        def skip_unseen(name):
            if elements:
                local = name.rpartition("}")[2]
                if local not in unkept:
                    unkept.add(local)
                    emit(("unknown", local))

        def skip_rest():
            nonlocal whole, whole_at
            whole = None
            whole_at = _AT_SHEET_CHILD
            p.StartElementHandler = start_kept
            p.EndElementHandler = end_kept

        def keep_whole():
            nonlocal whole, whole_at
            whole = open_capture()
            whole_at = depth
            p.StartElementHandler = start_kept
            p.EndElementHandler = end_kept

        def start_kept(_name, _attrs):
            nonlocal depth
            depth += 1

        def end_kept(_name):
            nonlocal depth, whole_at, c_inline, child
            d = depth
            depth -= 1
            if d != whole_at:
                return
            whole_at = 0
            p.StartElementHandler = start
            p.EndElementHandler = end
            if whole is None:  # skipped, not kept
                if d <= _AT_CELL:
                    tx.clear()
                return
            data = close_capture(whole)
            if d <= _AT_CELL:
                tx.clear()  # text inside it was collected for nothing
            if d == _AT_CELL_CHILD and child == _RICH_INLINE:
                c_inline = rich_inline(data, namespaces(whole[0]))
                child = _NO_CHILD
            elif elements:
                emit(("element", data, namespaces(whole[0])))

        # <row>

        def open_row(attrs):
            nonlocal row, col, cells, row_text
            r = attrs.get("r")
            row = row + 1 if r is None else row_of(r)
            if not 0 < row <= MAX_ROW:
                raise row_outside(row)
            row_text = str(row)
            col = 0
            cells = []
            tx.clear()
            if len(attrs) > (r is not None) + ("spans" in attrs):
                if any("}" not in k and k != "r" and k != "spans" for k in attrs):
                    read = {ns_key(k): v for k, v in attrs.items() if k != "r"}
                    # Rows alike share one dict, which the sheet then reads once.
                    if read != last_attrs[0]:
                        last_attrs[0] = read
                    if runs is None:
                        rd[str(row)] = last_attrs[0]
                    elif runs and runs[-1][2] is last_attrs[0] and runs[-1][1] == row - 1:
                        runs[-1][1] = row
                    else:
                        runs.append([row, row, last_attrs[0]])

        def close_row():
            nonlocal cells, mixed
            if cells is not None:
                if mixed:
                    mixed = False
                    if split_rows:
                        split_row()
                        cells = None
                        return
                emit(("row", row, cells))
                cells = None

        def split_row():
            """A row whose cells name other rows: each named row is given as a row of
            its own, in ascending order, its cells in file order. Streaming cannot go
            back, so a row named after it was given comes again; the full loader,
            which files cells by their references, holds the same cells."""
            by_row = {}
            for c in cells:
                by_row.setdefault(c[0], []).append(c)
            for at in sorted(by_row):
                emit(("row", at, by_row[at]))

        def other_row(at, column):
            nonlocal mixed, warned
            mixed = True
            if not warned:
                warned = True
                ref = letters[column] + str(at)
                emit(("sheet_warn", f'cell {ref} lies in <row r="{row}">; it is read as {ref}'))

        # <c>

        def open_cell(attrs):
            nonlocal c_r, c_t, c_v, c_f, c_style, c_inline, child, seen, c_meta
            c_r = attrs.get("r")
            c_t = attrs.get("t")
            s_text = attrs.get("s")
            if keep_meta:
                # Beyond r, s and t only cm and vm are kept; a plain cell
                # pays one comparison.
                c_meta = None
                if len(attrs) > (c_r is not None) + (s_text is not None) + (c_t is not None):
                    c_meta = cell_meta(attrs)
            if s_text is None:
                c_style = 0
            else:
                try:
                    if not s_text:
                        raise ValueError
                    c_style = int(s_text) if plain_int else style_of(s_text)
                except ValueError:
                    where = c_r or f"{letters[col + 1] if col < MAX_COLUMN else '?'}{row_text}"
                    raise CellFault(f"cell {where} names the style {s_text!r}, which is "
                                    "not a number") from None
            c_v = c_f = None
            c_inline = _NO_INLINE
            child = seen = 0

        def close_cell():
            """The finished cell as a tuple (see the module docstring)."""
            nonlocal col
            r = c_r
            if r:
                # Cells written in order name the next column of this row:
                # one comparison instead of parsing the reference.
                if col < MAX_COLUMN and r == letters[col + 1] + row_text:
                    col += 1
                    at = row
                else:
                    at, col = coordinate(r)
                    if not (0 < at <= MAX_ROW and 0 < col <= MAX_COLUMN):
                        raise cell_outside(r)
                    if at != row:
                        other_row(at, col)
            else:
                col += 1
                at = row
                if col > MAX_COLUMN:
                    raise cell_outside(letters[col] + row_text)
            if c_meta is not None:
                return rules.with_meta(cell_tuple(at, col, r, c_t, c_v, c_f, c_style, c_inline),
                                       c_meta, c_f is not None)
            return cell_tuple(at, col, r, c_t, c_v, c_f, c_style, c_inline)

        # Children of a cell: <v>, <f>, <is>, and what they contain.

        def open_cell_child(name, attrs):
            nonlocal child, seen, cut
            if name == _V and not seen & _SAW_VALUE:
                seen |= _SAW_VALUE
                child = _VALUE
                tx.clear()
                cut = -1
            elif name == _F and not seen & _SAW_FORMULA:
                seen |= _SAW_FORMULA
                child = _FORMULA
                open_formula(attrs)
            elif name == _IS and not seen & _SAW_INLINE and c_t == "inlineStr":
                seen |= _SAW_INLINE
                open_inline_string(attrs)
            elif name in dispatched:
                keep_whole()
            else:
                child = _OTHER  # skipped with its content

        def open_formula(attrs):
            nonlocal c_f, cut
            ftype = attrs.get("t")
            attrs_copy = None
            if ftype == "dataTable" and not data_only:
                attrs_copy = {ns_key(k): v for k, v in attrs.items()}
            c_f = [None, ftype, attrs.get("ref"), attrs.get("si"), attrs_copy]
            tx.clear()
            cut = -1

        def open_inline_string(attrs):
            nonlocal child, is_handle, is_plain, is_t, is_t_open
            if rich:
                child = _RICH_INLINE  # rich text is built from the element as a whole
                keep_whole()
            else:
                child = _INLINE
                is_handle = open_capture()
                is_plain = not attrs
                is_t = is_t_open = False

        def open_nested(name):
            """An element inside a child of a cell."""
            nonlocal cut, is_plain, is_t, is_t_open
            if child == _INLINE:
                if (depth == _AT_INLINE_PART and is_plain and not is_t
                        and name.rpartition("}")[2] == "t"):
                    is_t = is_t_open = True
                    tx.clear()
                    cut = -1
                else:
                    is_plain = False
            elif (child == _VALUE or child == _FORMULA) and cut < 0:
                cut = len(tx)  # element text ends where the first child starts
            if name in dispatched:
                keep_whole()

        def close_cell_child():
            nonlocal c_v, c_inline, child
            if child == _VALUE:
                c_v = "".join(tx) if cut < 0 else "".join(tx[:cut])
                if len(c_v) > MAX_TEXT:
                    raise TextTooLong(TEXT_TOO_LONG)
            elif child == _FORMULA:
                c_f[0] = text()
                if len(c_f[0]) > MAX_TEXT:
                    raise TextTooLong(TEXT_TOO_LONG)
            elif child == _INLINE:
                data = close_capture(is_handle)
                if is_plain:
                    c_inline = decode_escapes(is_text) if is_t else ""
                else:
                    c_inline = text_content(data, namespaces(is_handle[0]))
            child = _NO_CHILD

        # Between chunks: the text collected since the last element that uses
        # text began. Expat hands text on in pieces of at most a chunk, so a
        # few pieces are always within the limit.
        def check_text():
            if len(tx) <= MAX_TEXT // CHUNK:
                return
            if child == _VALUE or child == _FORMULA or (child == _INLINE and is_t_open):
                if cut >= 0:
                    del tx[cut:]  # past the first child: never used
                if sum(map(len, tx)) > MAX_TEXT:
                    raise TextTooLong(TEXT_TOO_LONG)
            else:
                # Whitespace between rows, text of skipped or kept elements:
                # nobody reads it.
                tx.clear()

        p.StartElementHandler = start
        p.EndElementHandler = end
        return check_text


def iter_items(source, parser, helpers=None, as_read=False, n_styles=None):
    """The items of the worksheet part `source` read with `parser`'s settings (see module doc).

    `helpers` defaults to the library's own reading helpers; it is checked
    and the settings are read before any byte of `source` is. `as_read`
    adds to each cell what the file held beyond its value (see module doc).
    `n_styles`, the number of cell formats, makes a style id outside them
    a `CellFault` (the caller indexes its table of formats with the ids).
    """
    h = checked_helpers(reading_helpers() if helpers is None else helpers)
    settings = Settings.from_parser(parser)
    rd = row_dimensions_of(parser)
    rich_strings = getattr(parser, "rich_strings", None) if as_read else None
    runs = getattr(parser, "row_runs", None)
    if runs is not None and not isinstance(runs, list):
        raise TypeError(f"row_runs must be list, not {type(runs).__name__}")
    reader = _SheetReader(source, settings, h, rd, as_read=as_read,
                          rich_strings=rich_strings, n_styles=n_styles)
    reader.row_runs = runs
    return reader.items()


class WorkSheetParser:
    """The settings of one worksheet read, and the parse itself.

    The attributes are what any reader of the worksheet (this module or the
    native engine) reads before it starts: `epoch` (the workbook's date
    epoch), `shared_strings` (the workbook's string table), `data_only`
    (cached values instead of formulas), `formula_and_value` (both),
    `rich_text` (inline strings as rich text), `date_formats` and
    `timedelta_formats` (style ids of date and duration number formats),
    `rich_strings` (runs of shared strings kept for cells written back).
    `time_formats` (style ids of formats that show only a time of day).
    `row_dimensions` collects, by row number as text, the attributes of rows
    that carry more than their number (all but `r`); rows in a run with equal
    attributes share one dict. A loader that sets `row_runs` to a list gets
    them there instead, a [first, last, attributes] list per run of rows in
    sequence with equal attributes, in file order (a row that comes again
    takes the attributes of its last run); none goes to `row_dimensions`.
    """

    def __init__(self, src=None, shared_strings=None, data_only=False, epoch=WINDOWS_EPOCH,
                 date_formats=(), timedelta_formats=(), rich_text=False,
                 formula_and_value=False, rich_strings=None, time_formats=()):
        self.source = src
        self.epoch = epoch
        self.formula_and_value = formula_and_value
        self.shared_strings = [] if shared_strings is None else shared_strings
        self.data_only = data_only
        self.rich_text = rich_text
        self.date_formats = set(date_formats)
        self.timedelta_formats = set(timedelta_formats)
        self.time_formats = set(time_formats)
        self.row_dimensions = {}
        self.row_runs = None
        # {index: CellRichText} of shared strings with runs read as plain text:
        # a reader that writes cells back keeps the runs of unchanged cells.
        self.rich_strings = {} if rich_strings is None else rich_strings

    def parse(self, helpers=None):
        """Yield the items of `self.source` (see the module docstring)."""
        return iter_items(self.source, self, helpers)

    def __repr__(self):
        return f"WorkSheetParser({vars(self)!r})"
