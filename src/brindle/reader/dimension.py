"""The worksheet's <dimension> element found in pure Python (after a native fallback)."""

from brindle.reader.xmlwindow import Window

MAIN = "http://schemas.openxmlformats.org/spreadsheetml/2006/main"
_DIMENSION = MAIN + "}dimension"
_SHEET_DATA = MAIN + "}sheetData"


class _Found(Exception):
    """Stops the parse at the end of the element (or of the sheet data)."""


class _Scan(Window):
    def __init__(self, source):
        super().__init__(source)
        self.handle = None
        self.result = None
        self.parser.StartElementHandler = self._start
        self.parser.EndElementHandler = self._end

    def _start(self, name, _attrs):
        if self.handle is None and name == _DIMENSION:
            self.handle = self.open_capture()
            self.depth = 0
        elif self.handle is not None:
            self.depth += 1

    def _end(self, name):
        if self.handle is None:
            if name == _SHEET_DATA:
                raise _Found
            return
        if self.depth:
            self.depth -= 1
            return
        snippet = self.close_capture(self.handle)
        self.result = (snippet, self.namespaces(self.handle[0]))
        raise _Found


def find_dimension(source):
    """(bytes of the first main-namespace <dimension>, bindings in scope) or None.

    The scan ends at that element, so usually only the first chunk of the
    part is read; a worksheet without one is read through its </sheetData>.
    """
    scan = _Scan(source)
    try:
        for _ in scan.feed_all(tuple):
            pass
    except _Found:
        pass
    return scan.result
