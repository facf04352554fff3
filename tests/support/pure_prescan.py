"""A quick look at a worksheet before it is loaded.

`prescan_sheet` tells the loader which elements surround ``<sheetData>``
(to be replayed by their handlers), which rows carry attributes of their
own, and what style the cells at a few chosen positions have, without
building any cell value.
"""

import operator
import re

from brindle.reader.worksheet import MAIN, _column_numbers
from brindle.reader.xmlwindow import Window, ns_key
from brindle.utils.cell import coordinate_to_tuple

_SHORT_INT = re.compile(r"-?[0-9]{1,18}").fullmatch
_M = MAIN + "}"
_SHEET_DATA, _ROW, _C = _M + "sheetData", _M + "row", _M + "c"
_ABSENT = object()


def prescan_sheet(source, want_rows, corners, helpers):
    """prescan_sheet(source, want_rows, corners, helpers) -> dict

    The dict has, in this order: "head" and "tail", lists of (bytes,
    namespaces) for the children of the worksheet element before and after
    ``<sheetData>``; "rows", a list of (row number, [(attribute key, value),
    ...]) for each row with attributes other than ``r`` and ``spans`` (only
    when `want_rows`); "corners", mapping each (row, column) of `corners`
    at which a cell was found to its ``s`` attribute (None without one).
    Rows of ``<sheetData>`` are its ``row`` children and cells their ``c``
    children, in the main namespace.
    """
    if type(want_rows) is not bool:
        raise TypeError(f"want_rows must be a bool, not {type(want_rows).__name__}")
    if not isinstance(helpers, dict):
        raise TypeError(f"helpers must be a dict, not {type(helpers).__name__}")
    row_index = dict.get(helpers, "row_index", _ABSENT)
    if row_index is _ABSENT:
        raise TypeError("missing helper row_index")
    wanted = set()
    if corners is not None:
        for row, col in corners:
            wanted.add((operator.index(row), operator.index(col)))
    scan = _Prescan(source, want_rows, wanted, row_index)
    for _ in scan.feed_all(tuple):
        pass
    return {"head": scan.head, "tail": scan.tail, "rows": scan.rows,
            "corners": scan.found}


class _Prescan(Window):
    def __init__(self, source, want_rows, wanted, row_index):
        super().__init__(source)
        self.want_rows = want_rows
        self.wanted = wanted
        self.row_index = row_index
        self.head, self.tail, self.rows, self.found = [], [], [], {}
        self.depth = 0
        self.in_sd = self.sd_seen = False
        self.in_row = False
        self.capture = None  # (handle, depth)
        self.row = self.col = 0
        self.columns = _column_numbers()
        p = self.parser
        p.StartElementHandler = self._start
        p.EndElementHandler = self._end

    def _start(self, name, attrs):
        depth = self.depth = self.depth + 1
        if self.capture is not None:
            return
        if depth == 2:
            if name == _SHEET_DATA:
                self.in_sd = self.sd_seen = True
            else:
                self.capture = (self.open_capture(), depth)
        elif depth == 3:
            self.in_row = self.in_sd and name == _ROW
            # Row numbers matter only to rows and cells that are asked for.
            if self.in_row and (self.want_rows or self.wanted):
                self._row(attrs)
        elif depth == 4 and self.in_row and name == _C and self.wanted:
            self._cell(attrs)

    def _row(self, attrs):
        r = attrs.get("r")
        if r is None:
            self.row += 1
        elif _SHORT_INT(r):
            self.row = int(r)
        else:
            self.row = operator.index(self.row_index(r))
        self.col = 0
        if self.want_rows and any("}" not in k and k != "r" and k != "spans" for k in attrs):
            self.rows.append((self.row, [(ns_key(k), v) for k, v in attrs.items()]))

    def _cell(self, attrs):
        r = attrs.get("r")
        if r:
            letters = r.rstrip("0123456789")
            digits = r[len(letters):]
            col = self.columns.get(letters)
            if col is not None and digits and digits[0] != "0" and len(digits) <= 9:
                row = int(digits)
            else:
                row, col = coordinate_to_tuple(r)
        else:
            row, col = self.row, self.col + 1
        self.col = col
        if (row, col) in self.wanted:
            self.found[(row, col)] = attrs.get("s")

    def _end(self, _name):
        depth = self.depth
        self.depth = depth - 1
        cap = self.capture
        if cap is not None:
            if depth == cap[1]:
                handle = cap[0]
                data = self.close_capture(handle)
                (self.tail if self.sd_seen else self.head).append(
                    (data, self.namespaces(handle[0])))
                self.capture = None
            return
        if depth == 2:
            self.in_sd = False
        elif depth == 3:
            self.in_row = False
