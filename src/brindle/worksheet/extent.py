"""The extent of a sheet's cells, as both kinds of worksheet report it."""


class SheetExtent:
    """`min_row`, `min_column`, `max_row` and `max_column` from the sheet's
    `_used_range()`: (first row, first column, last row, last column), or
    None when it has no cells, which reports 1 for each."""

    def _used_range(self):
        raise NotImplementedError

    @property
    def min_row(self) -> int:
        extent = self._used_range()
        return 1 if extent is None else extent[0]

    @property
    def min_column(self) -> int:
        extent = self._used_range()
        return 1 if extent is None else extent[1]

    @property
    def max_row(self) -> int:
        extent = self._used_range()
        return 1 if extent is None else extent[2]

    @property
    def max_column(self) -> int:
        extent = self._used_range()
        return 1 if extent is None else extent[3]
