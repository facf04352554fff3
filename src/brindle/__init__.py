"""brindle: read and write xlsx workbooks, with a native engine for the hot paths.

Writing::

    import brindle

    wb = brindle.Workbook(write_only=True)     # rows stream to disk
    ws = wb.create_sheet("Data")
    ws.append(["when", "amount", "total"])
    ws.append([datetime.date(2024, 1, 2), 1.5, "=SUM(B2:B2)"])
    wb.save("out.xlsx")

`brindle.Workbook()` without `write_only` keeps cells in memory
(`ws["A1"] = 3`, `ws.cell(row, column, value)`, `ws.append(values)`).

Reading: ``brindle.load_workbook(path)`` opens a workbook for editing (a
`Workbook` to change and save); ``load_workbook(path, read_only=True)``
streams it, ``wb[name].iter_rows(values_only=True)`` giving its rows.

The native engine `brindle._brindle` is used when it is present; the
pure-Python paths produce the same results without it.

Threads, deflate library and block sizes are a workbook's `Options`, given
to `load_workbook`/`Workbook` or set for a block with ``brindle.options(...)``.
"""

__version__ = "0.1.0"

from brindle._native import native_available  # noqa: E402
from brindle.cell import Cell, Comment, Hyperlink, IllegalCharacterError  # noqa: E402
from brindle.reader.load import load_workbook  # noqa: E402
from brindle.reader.workbook import InvalidFileError, ReadOnlyWorkbook  # noqa: E402
from brindle.settings import Options, current_options, options  # noqa: E402
from brindle.styles import Font, PatternFill, StyleArray  # noqa: E402
from brindle.workbook import Workbook  # noqa: E402
from brindle.workbook.defined_names import DefinedName  # noqa: E402
from brindle.workbook.properties import DocumentProperties  # noqa: E402
from brindle.worksheet.chartsheet import Chartsheet  # noqa: E402
from brindle.worksheet import WorkbookAlreadySaved  # noqa: E402
from brindle.worksheet.worksheet import Worksheet  # noqa: E402
from brindle.worksheet.write_only import WriteOnlyWorksheet  # noqa: E402

__all__ = [
    "Cell", "Chartsheet", "Comment", "DefinedName", "DocumentProperties", "Font", "Hyperlink",
    "IllegalCharacterError", "InvalidFileError", "Options", "PatternFill", "ReadOnlyWorkbook",
    "StyleArray", "Workbook", "WorkbookAlreadySaved", "Worksheet", "WriteOnlyWorksheet",
    "current_options", "load_workbook", "native_available", "options",
]
