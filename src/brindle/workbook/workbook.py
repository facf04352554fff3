"""The workbook: its sheets, shared style tables and date settings."""

from __future__ import annotations

import datetime
import os
from typing import IO, Self, TypeAlias

from brindle.settings import Options, resolve
from brindle.styles.cell_style import StyleArray, StyleList
from brindle.styles.extra import NO_ALIGNMENT, NO_PROTECTION, PLAIN_BORDER
from brindle.styles.fonts import DEFAULT_FONT
from brindle.utils.datetime import MAC_EPOCH, WINDOWS_EPOCH
from brindle.utils.indexed_list import IndexedList
from brindle.workbook.defined_names import DefinedName, rename_in_formula
from brindle.workbook.properties import DocumentProperties, new_properties
from brindle.worksheet.chartsheet import Chartsheet
from brindle.worksheet.worksheet import Worksheet
from brindle.worksheet.write_only import WorkbookAlreadySaved, WriteOnlyWorksheet
from brindle.writer.package import write_package
from brindle.writer.sheet import RowStream

AnySheet: TypeAlias = Worksheet | WriteOnlyWorksheet


class Workbook:
    """A workbook to be written as an xlsx file; `load_workbook` returns one
    too, read from a file, to be changed and saved.

    Workbook(write_only=False, iso_dates=False, lxml=False, native=True, options=None)

    - `write_only`: sheets are `WriteOnlyWorksheet`s whose rows are written
      to disk as they are appended (constant memory); the workbook starts
      without sheets. Otherwise it starts with one `Worksheet` ("Sheet").
    - `iso_dates`: dates are stored as ISO 8601 text (type "d") instead of
      serial numbers.
    - `lxml`: serialise worksheets in lxml's form instead of ElementTree's;
      both give equivalent files.
    - `native`: use the native engine when it is available; the pure-Python
      writer gives the same bytes and is used whenever the engine declines.
    - `options`: a `brindle.Options` (threads, deflate library), kept as
      `wb.options` for every save; default: those `brindle.options()` set
      for the current context when the workbook is created.

    Typical use::

        wb = Workbook(write_only=True)
        ws = wb.create_sheet("Data")
        ws.append(["name", "amount"])
        ws.append(["a", 1.5])
        wb.save("out.xlsx")
    """

    def __init__(self, write_only: bool = False, iso_dates: bool = False, lxml: bool = False,
                 native: bool = True, options: Options | None = None) -> None:
        self.options: Options = resolve(options)
        self.write_only = bool(write_only)
        self.iso_dates = bool(iso_dates)
        self.lxml = bool(lxml)
        self.native = bool(native)
        self.epoch = WINDOWS_EPOCH
        # Index 0 is the unstyled cell, which every file must have first.
        self._cell_styles = StyleList([StyleArray()])
        self._number_formats = IndexedList()
        self._fonts = IndexedList([DEFAULT_FONT])
        # Fills 0 and 1 are fixed by the file format (none, gray125).
        self._fills = IndexedList(["none", "gray125"])
        self._borders = IndexedList([PLAIN_BORDER])
        self._alignments = IndexedList([NO_ALIGNMENT])
        self._protections = IndexedList([NO_PROTECTION])
        # Parts of a loaded stylesheet that are written back as they were:
        # differential formats (which conditional formats point into) and
        # the colour palette.
        self._dxfs_xml = None
        self._colors_xml = None
        # Named cell styles (their formats and names) and the table styles and
        # extensions of a loaded stylesheet, kept as read.
        self._named_style_xfs = None
        self._cell_styles_xml = None
        self._styles_kept = {}
        # Named ranges, print areas and titles (`DefinedName`s), in file order.
        self.defined_names: list[DefinedName] = []
        self.properties: DocumentProperties = new_properties()
        # Of a loaded workbook: the package it came from, with every part
        # the library does not write itself, carried into the saved file.
        self._loaded = None
        self._sheets = []  # worksheets and chartsheets, in the order of the tabs
        self._active = None  # the sheet shown first; None: the first sheet
        # (old title, new title or None when removed) of sheets that carried
        # parts (charts) may still name.
        self._gone_titles = []
        # Whether sheets were added, removed, moved or renamed since the load:
        # formulas may then give other results than those the file cached.
        self._structure_changed = False
        self._saved = False
        if not self.write_only:
            self.create_sheet("Sheet")

    @property
    def excel_base_date(self) -> datetime.datetime:
        return self.epoch

    @property
    def date1904(self) -> bool:
        return self.epoch == MAC_EPOCH

    @date1904.setter
    def date1904(self, value: bool) -> None:
        self.epoch = MAC_EPOCH if value else WINDOWS_EPOCH

    @property
    def worksheets(self) -> list[AnySheet]:
        """The worksheets, in tab order (chartsheets are in `chartsheets`)."""
        return [ws for ws in self._sheets if not isinstance(ws, Chartsheet)]

    @property
    def chartsheets(self) -> list[Chartsheet]:
        """The chartsheets of a loaded workbook, in tab order."""
        return [ws for ws in self._sheets if isinstance(ws, Chartsheet)]

    @property
    def sheetnames(self) -> list[str]:
        """The titles of all sheets, worksheets and chartsheets, in tab order."""
        return [ws.title for ws in self._sheets]

    @property
    def active(self) -> AnySheet | Chartsheet | None:
        """The sheet shown when the workbook is opened (the first by default)."""
        if self._active is not None and any(ws is self._active for ws in self._sheets):
            return self._active
        return self._sheets[0] if self._sheets else None

    @active.setter
    def active(self, sheet: AnySheet | Chartsheet | int) -> None:
        if isinstance(sheet, int) and not isinstance(sheet, bool):
            sheet = self._sheets[sheet]
        if not any(ws is sheet for ws in self._sheets):
            raise ValueError("the active sheet must be a sheet of this workbook")
        self._active = sheet

    def __getitem__(self, title: str) -> AnySheet:
        for ws in self._sheets:
            if ws.title == title:
                return ws
        raise KeyError(f"Worksheet {title} does not exist.")

    def create_sheet(self, title: str | None = None, index: int | None = None) -> AnySheet:
        """Add a worksheet (write-only in a write-only workbook) and return it.
        Titles must be unique (compared without regard to case)."""
        if self.write_only and self._saved:
            raise WorkbookAlreadySaved("a write-only workbook cannot be changed once saved")
        taken = {ws.title.casefold() for ws in self._sheets}
        if title is None:
            n = len(self._sheets) + 1
            while f"Sheet{n}".casefold() in taken:
                n += 1
            title = f"Sheet{n}"
        elif isinstance(title, str) and title.casefold() in taken:
            raise ValueError(f"a sheet named {title!r} already exists")
        cls = WriteOnlyWorksheet if self.write_only else Worksheet
        ws = cls(self, title)
        self._structure_changed = True
        if index is None:
            self._sheets.append(ws)
        else:
            self._sheets.insert(index, ws)
        return ws

    def close(self) -> None:
        """Nothing to release (the file was read whole); present, with the
        `with` statement, so that code written for read-only workbooks runs
        unchanged."""

    def __enter__(self) -> Self:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def remove(self, ws: AnySheet | Chartsheet) -> None:
        """Remove a sheet, with the defined names that belong to it."""
        self._sheets.remove(ws)
        self.defined_names = [dn for dn in self.defined_names if dn.scope is not ws]
        self._gone_titles.append((ws.title, None))
        self._structure_changed = True

    def move_sheet(self, sheet: AnySheet | Chartsheet | str, offset: int = 0) -> None:
        """Move a sheet (or the sheet of that title) `offset` places towards
        the end (towards the start when negative)."""
        if isinstance(sheet, str):
            sheet = self[sheet]
        i = next(n for n, ws in enumerate(self._sheets) if ws is sheet)
        del self._sheets[i]
        self._sheets.insert(max(0, min(len(self._sheets), i + offset)), sheet)
        self._structure_changed = True

    def _sheet_renamed(self, old: str, new: str) -> None:
        # Names refer to sheets by title in their formula text.
        for dn in self.defined_names:
            dn.value = rename_in_formula(dn.value, old, new)
        self._gone_titles.append((old, new))
        self._structure_changed = True

    def _row_stream(self, ws):
        return RowStream(ws, self.lxml, self.native)

    def save(self, filename: str | os.PathLike[str] | IO[bytes]) -> None:
        """Write the workbook as an xlsx package to a path or a binary file.

        A write-only workbook can be saved again (giving the same file) but
        accepts no further rows or sheets once saved.
        """
        write_package(self, filename)
        if self.write_only:
            self._saved = True
            for ws in self._sheets:
                ws._closed = True
