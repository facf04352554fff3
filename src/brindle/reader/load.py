"""`load_workbook`: the one entry point of both readers."""

from __future__ import annotations

from typing import Literal, overload

from brindle.reader.full import load_full
from brindle.reader.workbook import FileArg, ReadOnlyWorkbook
from brindle.reader.zip_reader import MAX_PART_SIZE, MAX_RATIO
from brindle.settings import Options
from brindle.workbook.workbook import Workbook


@overload
def load_workbook(filename: FileArg, read_only: Literal[False] = False, data_only: bool = False,
                  rich_text: bool = False, *, native: bool = True,
                  max_part_size: int | None = MAX_PART_SIZE,
                  max_ratio: int | None = MAX_RATIO, options: Options | None = None) -> Workbook: ...
@overload
def load_workbook(filename: FileArg, read_only: Literal[True], data_only: bool = False,
                  rich_text: bool = False, *, native: bool = True,
                  max_part_size: int | None = MAX_PART_SIZE,
                  max_ratio: int | None = MAX_RATIO, options: Options | None = None) -> ReadOnlyWorkbook: ...
@overload
def load_workbook(filename: FileArg, read_only: bool, data_only: bool = False,
                  rich_text: bool = False, *, native: bool = True,
                  max_part_size: int | None = MAX_PART_SIZE,
                  max_ratio: int | None = MAX_RATIO,
                  options: Options | None = None) -> Workbook | ReadOnlyWorkbook: ...
def load_workbook(filename: FileArg, read_only: bool = False, data_only: bool = False,
                  rich_text: bool = False, *, native: bool = True,
                  max_part_size: int | None = MAX_PART_SIZE,
                  max_ratio: int | None = MAX_RATIO,
                  options: Options | None = None) -> Workbook | ReadOnlyWorkbook:
    """Open the xlsx file `filename` (a path or a binary file object).

    By default the whole workbook is read into a `Workbook` that can be
    changed and saved: cells, their styles, column widths, row heights,
    merged cells, frozen panes, links and comments. With `read_only`, a
    `ReadOnlyWorkbook` is returned instead, whose worksheets are read row by
    row with `iter_rows`, each time from the file, in constant memory.

    With `data_only`, formula cells give their cached values instead of
    their formulas; with `rich_text`, inline strings with formatting come
    back as `CellRichText`. A file whose package lacks a part it names, or
    whose parts cannot be read, raises `InvalidFileError`.

    Against zip bombs, no part is inflated beyond `max_part_size` bytes
    (default 4 GiB), nor, once past 8 MiB, beyond `max_ratio` times its
    compressed size (default 1,000, a ratio deflate itself cannot reach);
    such a part raises `InvalidFileError`. `None` lifts a limit.

    `native=False` keeps the native engine out (as the environment variable
    BRINDLE_NO_NATIVE does for the whole process); the results are the same.

    `options` (a `brindle.Options`; default: those `brindle.options()` set
    for the current context) choose threads, deflate library and block
    sizes for this workbook, its later reads and its saves.
    """
    settings = {"native": native, "max_part_size": max_part_size, "max_ratio": max_ratio,
                "options": options}
    if not read_only:
        return load_full(filename, data_only=data_only, rich_text=rich_text, **settings)
    return ReadOnlyWorkbook(filename, data_only=data_only, rich_text=rich_text, **settings)
