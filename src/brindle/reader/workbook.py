"""Opening an xlsx file for reading: the package parts and read-only worksheets."""

from __future__ import annotations

import contextlib
import os
import posixpath
import re
import warnings
import xml.etree.ElementTree as ET
import zipfile
import zlib
from collections.abc import Iterator
from typing import IO, Any, TypeAlias

from brindle._native import native_engine
from brindle.reader import sniff
from brindle.reader.dimension import find_dimension
from brindle.reader.element_scope import ScopeDeclarations
from brindle.reader.helpers import reading_helpers
from brindle.reader.number_formats import BUILTIN_TIMES, is_time_format
from brindle.reader.rows import EMPTY_CELL, ReadOnlyCell, RowReader
from brindle.reader.string_table import read_string_table, split_runs, with_runs
from brindle.reader.worksheet import MAIN, WorkSheetParser
from brindle.reader.xmlwindow import CellFault, OutsideSheet, TextTooLong
from brindle.reader.zip_reader import MAX_PART_SIZE, MAX_RATIO, ZipReader
from brindle.settings import Options, resolve
from brindle.styles.numbers import (BUILTIN_DATE_IDS, BUILTIN_DURATION_IDS, is_date_format,
                                    is_timedelta_format)
from brindle.utils.cell import column_index_from_string, get_column_letter
from brindle.utils.datetime import MAC_EPOCH, WINDOWS_EPOCH
from brindle.utils.deflate import DeflateError
from brindle.utils.limits import MAX_COLUMN, MAX_ROW
from brindle.utils.xml_encoding import parse_part
from brindle.worksheet.extent import SheetExtent

FileArg: TypeAlias = str | os.PathLike[str] | IO[bytes]

_REL_NS = "http://schemas.openxmlformats.org/package/2006/relationships"
_DOC_REL = "http://schemas.openxmlformats.org/officeDocument/2006/relationships"
_M = "{" + MAIN + "}"


# What reading a part of the archive raises when the part is damaged: a bad
# CRC or header, a broken deflate stream, a stream cut short, an unknown
# compression method, an encrypted member.
_DAMAGED_STREAM = (zipfile.BadZipFile, DeflateError, zlib.error, EOFError)
_DAMAGED = _DAMAGED_STREAM + (NotImplementedError, RuntimeError)


class InvalidFileError(ValueError):
    """An xlsx file that cannot be read as a workbook.

    `filename` names the file, `part` the part of the package that is missing,
    damaged or beyond what a workbook can hold; the exception that revealed
    it, if any, is chained as `__cause__`.
    """

    def __init__(self, filename, part, reason):
        # part None: the file as a whole is not a workbook.
        super().__init__(f"{filename}: {reason}" if part is None else f"{filename}: {part}: {reason}")
        self.filename = filename
        self.part = part
        self.reason = reason


def _display_name(file):
    if isinstance(file, (str, bytes, os.PathLike)):
        return os.fsdecode(file)
    name = getattr(file, "name", None)
    return name if isinstance(name, str) else f"<{type(file).__name__}>"


def _part_path(base_dir, target):
    if target.startswith("/"):
        return target[1:]
    return posixpath.normpath(posixpath.join(base_dir, target))


def _open_package(filename, max_part_size, max_ratio, options):
    """The zip archive of an xlsx package; InvalidFileError saying what the
    file is when it is no such archive."""
    try:
        package = ZipReader(filename, max_part_size=max_part_size, max_ratio=max_ratio,
                            options=options)
    except (zipfile.BadZipFile, EOFError) as exc:
        raise InvalidFileError(_display_name(filename), None, sniff.what_is_it(filename)) from exc
    if sniff.is_opendocument(package):
        package.close()
        raise InvalidFileError(_display_name(filename), None, sniff.OPENDOCUMENT)
    return package


class ReadOnlyWorkbook:
    """The sheets of an xlsx file, read on demand. Use as a context manager or `close()`."""

    _keep_runs = False  # the package of a workbook loaded for editing keeps rich text

    def __init__(self, filename: FileArg, data_only: bool = False, rich_text: bool = False,
                 *, native: bool = True, max_part_size: int | None = MAX_PART_SIZE,
                 max_ratio: int | None = MAX_RATIO, options: Options | None = None) -> None:
        self.native = bool(native)
        # Kept for the sheets read later, whatever the context is by then.
        self.options = resolve(options)
        self._zip = _open_package(filename, max_part_size, max_ratio, self.options)
        try:
            self._open(filename, data_only, rich_text)
        except BaseException:
            self._zip.close()
            raise

    def _open(self, filename, data_only, rich_text):
        self.filename = _display_name(filename)
        self.data_only = data_only
        self.rich_text = rich_text
        self._helpers = reading_helpers()
        wb_path = self._office_document()
        rels = self._rels(wb_path)
        root = self._xml_part(wb_path)
        if root.tag != _M + "workbook":
            # Read anyway, it would be a workbook without sheets, which can
            # be neither shown nor saved.
            raise self.invalid(wb_path, f"the workbook part's root is {root.tag}, not a "
                                        f"<workbook> of the SpreadsheetML namespace {MAIN}")
        pr = root.find(_M + "workbookPr")
        date1904 = pr is not None and pr.get("date1904", "0").lower() in ("1", "true")
        self.epoch = MAC_EPOCH if date1904 else WINDOWS_EPOCH
        by_type = {}
        for rel_type, target in rels.values():
            by_type.setdefault(rel_type.rpartition("/")[2], target)
        self._parts = by_type  # part path by relationship kind ("styles", ...)
        # Runs are read for rich text, and kept for a workbook that is saved again.
        keep_runs = rich_text or self._keep_runs
        self.shared_strings, self.rich_strings = split_runs(
            self._read_strings(by_type.get("sharedStrings"), keep_runs), rich_text)
        self.date_formats, self.timedelta_formats, self.time_formats = self._read_styles(
            by_type.get("styles"))
        # (name, local sheet index or None, text) in document order.
        self.defined_names = [
            (dn.get("name"), int(dn.get("localSheetId")) if dn.get("localSheetId", "").isdigit()
             else None, dn.text or "")
            for dn in root.iterfind(f"{_M}definedNames/{_M}definedName")]
        self._sheets = []  # the worksheets
        self._tabs = []  # worksheets and chartsheets, in the order of the tabs
        every = []  # every <sheet>, None where it is neither
        for sheet in root.iterfind(f"{_M}sheets/{_M}sheet"):  # as full mode reads them
            every.append(None)
            rel_id = sheet.get("{%s}id" % _DOC_REL)
            rel = rels.get(rel_id)
            if rel is None:
                raise self.invalid(wb_path, f"sheet {sheet.get('name')!r} names relationship "
                                            f"{rel_id!r}, which does not exist")
            if rel[0].endswith("/worksheet"):
                self._part_info(rel[1])  # a sheet whose part is missing fails here, not later
                self._sheets.append(ReadOnlyWorksheet(self, sheet.get("name"), rel[1]))
                self._tabs.append(self._sheets[-1])
                every[-1] = self._tabs[-1]
            elif rel[0].endswith("/chartsheet"):
                self._tabs.append(ReadOnlyChartsheet(self, sheet.get("name"), rel[1]))
                every[-1] = self._tabs[-1]
        # As full mode reads it: a tab the workbook lacks leaves the first shown.
        view = root.find(f"{_M}bookViews/{_M}workbookView")
        try:
            tab = int(view.get("activeTab", "0")) if view is not None else -1
        except ValueError:
            tab = -1
        self._active = every[tab] if 0 <= tab < len(every) else None

    def invalid(self, part, reason):
        """The InvalidFileError for `part` of this file."""
        return InvalidFileError(self.filename, part, reason)

    def _part_info(self, path):
        try:
            return self._zip.getinfo(path)
        except KeyError as exc:
            raise self.invalid(path, "the part is missing") from exc

    def open_part(self, path):
        """A binary file object over the part `path`."""
        self._part_info(path)
        try:
            return self._zip.open(path)
        except _DAMAGED as exc:
            raise self.invalid(path, f"the part cannot be read: {exc}") from exc

    @contextlib.contextmanager
    def reading(self, path):
        """Turns what a damaged or malformed part `path` raises while it is read into
        InvalidFileError."""
        try:
            yield
        except _DAMAGED_STREAM as exc:
            raise self.invalid(path, f"the part cannot be read: {exc}") from exc
        except ET.ParseError as exc:
            raise self.invalid(path, f"the part is not well-formed XML: {exc}") from exc
        except (TextTooLong, OutsideSheet) as exc:
            raise self.invalid(path, f"the part holds a {exc}") from exc
        except CellFault as exc:
            raise self.invalid(path, str(exc)) from exc
        except RecursionError as exc:
            raise self.invalid(path, "the part nests its elements too deeply") from exc
        except InvalidFileError:
            raise
        except (ValueError, OverflowError) as exc:
            # Text that converts to no value of its kind (a number, an index,
            # a flag): both paths meet the same error, raised by the same host
            # conversion.
            raise self.invalid(path, f"the part holds a value that cannot be read: {exc}") \
                from exc
        except Exception as exc:
            # The engine refuses what is past a workbook's limits (a text too
            # long, in the same words): read again in pure Python it would
            # only be refused again. A decline raised by host code has no kind.
            if _is_fallback(exc) and getattr(exc, "kind", None) == "limit":
                raise self.invalid(path, f"the part holds a {exc}") from exc
            raise

    def _xml_part(self, path):
        """The part `path` parsed as XML."""
        with self.open_part(path) as src, self.reading(path):
            return parse_part(src.read())

    def _office_document(self):
        for rel_type, target in self._rels("").values():
            if rel_type.endswith("/officeDocument"):
                return target
        raise self.invalid("_rels/.rels", "no relationship names the workbook part")

    def _rels(self, part, required=True):
        """{id: (type, part path)} of the relationships of `part` ("" for the package).

        The package and the workbook must have theirs; for other parts (a
        worksheet without links or comments) `required=False` gives {} when
        there are none."""
        folder, name = posixpath.split(part)
        path = posixpath.join(folder, "_rels", name + ".rels")
        if not required:
            try:
                self._zip.getinfo(path)
            except KeyError:
                return {}
        root = self._xml_part(path)
        out = {}
        for rel in root.iter("{%s}Relationship" % _REL_NS):
            if rel.get("TargetMode") == "External":
                continue
            out[rel.get("Id")] = (rel.get("Type", ""), _part_path(folder, rel.get("Target", "")))
        return out

    def _read_strings(self, path, keep_runs=False):
        if path is None:
            return []
        helpers = with_runs(self._helpers) if keep_runs else self._helpers
        native = _native_function("read_string_table") if self.native else None
        if native is not None:
            read, fallback = native
            try:
                with self.open_part(path) as src, self.reading(path):
                    return read(src, helpers)
            except fallback:
                pass
        with self.open_part(path) as src, self.reading(path):
            return read_string_table(src, helpers)

    def _read_styles(self, path):
        if path is None:
            return set(), set(), set()
        root = self._xml_part(path)
        codes = {}
        # The formats as the stylesheet reader takes them: <numFmt> elements
        # with an id and a code, so that no cell shows one format and holds
        # the value of another.
        for fmt in root.iterfind(f"{_M}numFmts/{_M}numFmt"):
            try:
                fmt_id = int(fmt.get("numFmtId"))
            except (TypeError, ValueError):
                continue
            if fmt.get("formatCode") is not None:
                codes[fmt_id] = fmt.get("formatCode")
        dates, durations, times = set(), set(), set()
        xfs = root.find(_M + "cellXfs")
        # Cells number their formats by the <xf> elements alone: anything else
        # in the list (an extension, an unknown element) must not shift them.
        for i, xf in enumerate(xfs.iterfind(_M + "xf") if xfs is not None else ()):
            try:
                fmt_id = int(xf.get("numFmtId", "0"))
            except ValueError:
                continue
            if fmt_id in codes:
                if is_date_format(codes[fmt_id]):
                    dates.add(i)
                if is_timedelta_format(codes[fmt_id]):
                    durations.add(i)
                elif is_time_format(codes[fmt_id]):
                    times.add(i)
            elif fmt_id in BUILTIN_DATE_IDS:
                dates.add(i)
                if fmt_id in BUILTIN_DURATION_IDS:
                    durations.add(i)
                elif fmt_id in BUILTIN_TIMES:
                    times.add(i)
        return dates, durations, times

    @property
    def sheetnames(self) -> list[str]:
        """The titles of all sheets, worksheets and chartsheets, in tab order."""
        return [ws.title for ws in self._tabs]

    @property
    def active(self) -> ReadOnlyWorksheet | ReadOnlyChartsheet | None:
        """The sheet shown when the workbook is opened (the first by default)."""
        if self._active is not None:
            return self._active
        return self._tabs[0] if self._tabs else None

    @property
    def worksheets(self) -> list[ReadOnlyWorksheet]:
        """The worksheets, in tab order (chartsheets are in `chartsheets`)."""
        return list(self._sheets)

    @property
    def chartsheets(self) -> list[ReadOnlyChartsheet]:
        """The chartsheets, in tab order."""
        return [ws for ws in self._tabs if isinstance(ws, ReadOnlyChartsheet)]

    # Typed as the worksheet, as Workbook.__getitem__ is: programs index by the
    # titles of worksheets, and a union would make each of them test the type.
    def __getitem__(self, name: str) -> ReadOnlyWorksheet:
        """The sheet titled `name`: a worksheet, or a `ReadOnlyChartsheet`."""
        for ws in self._tabs:
            if ws.title == name:
                return ws
        raise KeyError(f"Worksheet {name} does not exist.")

    def __iter__(self) -> Iterator[ReadOnlyWorksheet]:
        return iter(self._sheets)

    def close(self) -> None:
        self._zip.close()

    def __enter__(self) -> ReadOnlyWorkbook:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


class ReadOnlyChartsheet:
    """A sheet of a read-only workbook that shows a chart: it has a title and a
    place among the tabs, and no cells (its chart is not read)."""

    def __init__(self, workbook, title, path):
        self.parent = workbook
        self.title = title
        self._path = path

    def __repr__(self):
        return f"<ReadOnlyChartsheet {self.title!r}>"


class ReadOnlyWorksheet(SheetExtent):
    """One worksheet of a read-only workbook; its rows are read anew by each iteration."""

    def __init__(self, workbook, title, path):
        self.parent = workbook
        self.title = title
        self._path = path
        # (min row, min column, max row, max column), None for no cells, or
        # _UNKNOWN until asked; and whether the file's <dimension> is trusted.
        self._extent = _UNKNOWN
        self._trust_declared = True

    # -- extent ---------------------------------------------------------------

    def _declared_extent(self):
        """The extent the sheet's <dimension> declares, or None when it has none
        that names a range within a worksheet's limits."""
        wb = self.parent
        found = _UNKNOWN
        native = _native_function("find_dimension") if wb.native else None
        if native is not None:
            find, fallback = native
            try:
                with wb.open_part(self._path) as src, wb.reading(self._path):
                    found = find(src)
            except fallback:
                pass
        if found is _UNKNOWN:
            with wb.open_part(self._path) as src, wb.reading(self._path):
                found = find_dimension(src)
        if found is None:
            return None
        data, namespaces = found
        try:
            el = ET.fromstring(f"<_{ScopeDeclarations()(data, namespaces)}>".encode() + data
                               + b"</_>")[0]
        except (ET.ParseError, IndexError):
            return None
        return _range_extent(el.get("ref"))

    def _scanned_extent(self):
        """The extent of the cells the sheet holds, read through every row."""
        first_row = last_row = first_col = last_col = 0
        for idx, row in enumerate(self.iter_rows(), 1):
            if not row:
                continue
            col = next(i for i, cell in enumerate(row, 1) if cell is not EMPTY_CELL)
            if not first_row:
                first_row, first_col = idx, col
            last_row = idx
            first_col = min(first_col, col)
            last_col = max(last_col, len(row))
        return (first_row, first_col, last_row, last_col) if first_row else None

    def _bounds(self):
        extent = self._extent
        if extent is _UNKNOWN:
            extent = self._declared_extent() if self._trust_declared else None
            if extent is None:
                extent = self._scanned_extent()
            self._extent = extent
        return extent

    _used_range = _bounds

    def calculate_dimension(self) -> str:
        """The range the sheet's cells occupy, such as "A1:C10", found by reading
        every row (whatever the file declares); "A1" for a sheet without cells."""
        return _range_text(self._scanned_extent())

    def reset_dimensions(self) -> None:
        """Make `dimensions`, `min_row`, `max_row`, `min_column` and `max_column`
        come from the cells themselves (read once, on the next use) instead of
        the range the file declares, which the application that wrote it may
        have got wrong."""
        self._trust_declared = False
        self._extent = _UNKNOWN

    @property
    def dimensions(self) -> str:
        """The range of the sheet's cells: the one the file declares when it
        declares one, else the one its cells occupy (see `reset_dimensions`)."""
        return _range_text(self._bounds())

    # -- rows -----------------------------------------------------------------

    def _parser(self, runs=False):
        wb = self.parent
        parser = WorkSheetParser(
            None, shared_strings=wb.shared_strings, data_only=wb.data_only, epoch=wb.epoch,
            date_formats=wb.date_formats, timedelta_formats=wb.timedelta_formats,
            rich_text=wb.rich_text, rich_strings=wb.rich_strings,
            time_formats=wb.time_formats)
        if runs:
            parser.row_runs = []
        return parser

    def _source_rows(self, min_row, max_row, min_col, max_col, values_only):
        """The rows `iter_rows` gives, from the native reader when it can read this sheet.

        The native reader refuses input it cannot reproduce exactly with
        NativeFallback; the sheet is then read again in pure Python, past
        the rows already given. Warnings are issued as rows are produced.
        Neither reader's bookkeeping is kept past the row it belongs to:
        `actions` and the row dimensions are emptied after every row, so
        that streaming memory does not grow with the sheet. One generator
        does it all: per row, it is most of what the host adds to the
        engine's work.
        """
        wb = self.parent
        filler = None if values_only else EMPTY_CELL
        blank = (filler,) * (max_col - min_col + 1) if max_col else ()
        last = max_row if max_row is not None else MAX_ROW  # rows past it are refused below
        expected = min_row  # the next row to give: those missing come out blank
        given = 0
        native = _native_reader() if wb.native else None
        if native is not None:
            reader_cls, fallback = native
            try:
                with wb.open_part(self._path) as src, wb.reading(self._path):
                    parser = self._parser()
                    reader = reader_cls(src, parser, wb._helpers, elements=False)
                    next_row = reader.next_row
                    actions = reader.actions
                    row_dimensions = parser.row_dimensions
                    # Per row, only the tests; the bookkeeping runs when there is some.
                    while True:
                        item = next_row(self, min_col, max_col, values_only, ReadOnlyCell,
                                        filler)
                        if actions:
                            _replay(actions, self.title)
                        if row_dimensions:
                            row_dimensions.clear()
                        if item is None:
                            return
                        idx, row = item
                        if idx > MAX_ROW or min_col + len(row) > MAX_COLUMN + 1:
                            self._check_bounds(item, min_col, max_col, filler)
                        given += 1
                        if min_row <= idx <= last:
                            while expected < idx:
                                yield blank
                                expected += 1
                            # A row given again (its cells came later in the
                            # file) must not pad the rows after it twice.
                            if expected == idx:
                                expected += 1
                            yield row
            except fallback:
                pass
        with wb.open_part(self._path) as src, wb.reading(self._path):
            parser = self._parser()
            reader = RowReader(src, parser, wb._helpers, elements=False)
            actions = reader.actions
            row_dimensions = parser.row_dimensions
            seen = 0
            while True:
                item = reader.next_row(self, min_col, max_col, values_only, ReadOnlyCell,
                                       filler)
                # Warnings of the rows the native reader gave were issued already.
                if seen < given:
                    actions.clear()
                else:
                    _replay(actions, self.title)
                row_dimensions.clear()
                if item is None:
                    return
                seen += 1
                if seen > given:
                    self._check_bounds(item, min_col, max_col, filler)
                    idx, row = item
                    if min_row <= idx <= last:
                        while expected < idx:
                            yield blank
                            expected += 1
                        if expected == idx:
                            expected += 1
                        yield row

    def _check_bounds(self, item, min_col, max_col, filler):
        """Refuse a row numbered past the last row of a worksheet, or a cell past the last
        column: a reader padding towards one would never be done."""
        idx, row = item
        if idx > MAX_ROW:
            raise self.parent.invalid(self._path, f"row {idx} is beyond the last row of a "
                                                  f"worksheet ({MAX_ROW})")
        last = min_col + len(row) - 1
        if last <= MAX_COLUMN:
            return
        # Without `max_col` the row ends at its rightmost cell; with one, only a
        # cell (not the filler) past the last column counts.
        beyond = row[max(MAX_COLUMN - min_col + 1, 0):]
        if not max_col or any(entry is not filler for entry in beyond):
            raise self.parent.invalid(self._path, f"row {idx} has a cell beyond the last "
                                                  f"column of a worksheet ({MAX_COLUMN})")

    def iter_rows(self, min_row: int | None = None, max_row: int | None = None,
                  min_col: int | None = None, max_col: int | None = None,
                  values_only: bool = False) -> Iterator[tuple[Any, ...]]:
        """Rows as tuples of cells (or of values), in the order of the file.

        Columns run from `min_col` (default 1) to `max_col` (default: the
        row's rightmost cell); missing cells are `EMPTY_CELL` (None with
        `values_only`). Rows missing between two rows of the file come out
        as empty rows. Dates that cannot be read give "#VALUE!" and a
        warning. A row past row 1,048,576, a cell past column 16,384 or a
        damaged part raises `InvalidFileError` when it is reached.
        """
        return self._source_rows(min_row or 1, max_row, min_col or 1, max_col, values_only)

    @property
    def rows(self) -> Iterator[tuple[Any, ...]]:
        return self.iter_rows()

    @property
    def values(self) -> Iterator[tuple[Any, ...]]:
        return self.iter_rows(values_only=True)

    def __repr__(self):
        return f"<ReadOnlyWorksheet {self.title!r}>"


_UNKNOWN = object()
_RANGE = re.compile(r"\$?([A-Za-z]{1,3})\$?([1-9][0-9]{0,6})(?::\$?([A-Za-z]{1,3})\$?([1-9][0-9]{0,6}))?")


def _range_extent(ref):
    """(min row, min column, max row, max column) of a range such as "A1:C10", or
    None for anything else (whole rows or columns, a reversed or oversized range)."""
    m = _RANGE.fullmatch(ref) if isinstance(ref, str) else None
    if m is None:
        return None
    c0, r0, c1, r1 = m.groups()
    if c1 is None:
        c1, r1 = c0, r0
    try:
        extent = (int(r0), column_index_from_string(c0), int(r1), column_index_from_string(c1))
    except ValueError:
        return None
    if not (extent[0] <= extent[2] <= MAX_ROW and extent[1] <= extent[3] <= MAX_COLUMN):
        return None
    return extent


def _range_text(extent):
    if extent is None:
        return "A1"
    r0, c0, r1, c1 = extent
    first, last = f"{get_column_letter(c0)}{r0}", f"{get_column_letter(c1)}{r1}"
    return first if first == last else f"{first}:{last}"


def _native_reader():
    engine = native_engine()
    if engine is None:
        return None
    return engine.RowReader, engine.NativeFallback


def _native_function(name):
    """(the engine's function `name`, NativeFallback), or None without the engine."""
    engine = native_engine()
    if engine is None:
        return None
    return getattr(engine, name), engine.NativeFallback


def _is_fallback(exc):
    engine = native_engine()
    return engine is not None and isinstance(exc, engine.NativeFallback)


def _replay(actions, title):
    """Issue the warnings among `actions` (those of the sheet named with its `title`)
    and empty it: nothing else in it is used."""
    for action in actions:
        if action[0] == "warn":
            warnings.warn(action[1], UserWarning, stacklevel=3)
        elif action[0] == "sheet_warn":
            warnings.warn(f"worksheet {title!r}: {action[1]}", UserWarning, stacklevel=3)
    actions.clear()
