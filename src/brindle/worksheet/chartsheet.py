"""Chartsheets: sheets that show one chart and hold no cells."""

from __future__ import annotations

from typing import Any

from brindle.worksheet.worksheet import _SheetBase


class Chartsheet(_SheetBase):
    """A sheet of a loaded workbook that shows a chart. It is listed among the
    sheets (`Workbook.sheetnames`, `Workbook.chartsheets`) and written back
    as it was read, with its chart; its title and visibility can be changed."""

    def __init__(self, parent: Any, title: str, part_name: str | None = None) -> None:
        super().__init__(parent, title)
        self._part_name = part_name

    def _used_range(self):
        return None
