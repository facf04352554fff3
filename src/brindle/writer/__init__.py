"""Writing workbooks: cells, rows, sheet data and the xlsx package."""

from brindle.writer.cell import (
    add_comment, date_value, date_value_raw, make_writer_helpers, safe_string,
    write_cell_etree, write_cell_lxml,
)
from brindle.writer.rows import write_row, write_rows

__all__ = [
    "add_comment", "date_value", "date_value_raw", "make_writer_helpers", "safe_string",
    "write_cell_etree", "write_cell_lxml", "write_row", "write_rows",
]
