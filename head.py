"""SheetWriter against a minimal stand-in for the host layer.

Expected XML comes from the two serialisers the output must match:
xml.etree.ElementTree (lxml=False) and lxml.etree.xmlfile (lxml=True).
Number text is checked against '%.16g'.
"""

import array
import datetime as dt
import gc
import io
import re
import sys
import xml.etree.ElementTree as ET

import pytest
from hypothesis import given, strategies as st
from lxml import etree as LET

import brindle._brindle as m

XML_SPACE = "{http://www.w3.org/XML/1998/namespace}space"


# -- the stand-in host ---------------------------------------------------------

class StyleArray(array.array):
    def __new__(cls, values=(0,) * 9):
        return super().__new__(cls, "i", values)


class StyleList:
    """workbook._cell_styles: add() gives an array's index, adding it once."""

    def __init__(self):
        self.items = []
        self.added = []

    def add(self, style):
        self.added.append(style)
        key = tuple(style)
        if key not in self.items:
            self.items.append(key)
        return self.items.index(key)


class Workbook:
    def __init__(self, epoch=dt.datetime(1899, 12, 30), iso_dates=False):
        self._cell_styles = StyleList()
        self.epoch = epoch
        self.iso_dates = iso_dates


class Worksheet:
    def __init__(self, wb=None):
        self.parent = wb or Workbook()
        self._hyperlinks = []
        self.row_dimensions = {}


class Cell:
    def __init__(self, row, column, value=None, data_type="n", style=None, comment=None,
                 hyperlink=None):
        self.row = row
        self.column = column
        self._value = value
        self.data_type = data_type
        self._style = StyleArray() if style is None else style
        self._comment = comment
        self.hyperlink = hyperlink


class Host:
    """The helpers dict, with a record of the calls the writer makes."""

    def __init__(self, lxml=False, ws=None):
        self.lxml = lxml
        self.ws = ws or Worksheet()
        self.out = []
        self.calls = []
        self.date_result = None
        self.helpers = {
            "StyleArray": StyleArray,
            "add_comment": self.add_comment,
            "write_cell": self.write_cell,
            "date_value": self.date_value,
            "date_value_raw": self.date_value_raw,
            "safe_string": str,
        }

    def add_comment(self, ws, cell):
        assert ws is self.ws
        self.calls.append(("add_comment", cell))

    def write_cell(self, ws, cell, styled):
        assert ws is self.ws and type(styled) is bool
        self.calls.append(("write_cell", cell, styled))
        text = f"<fallback n=\"{len(self.calls)}\"/>"
        return text.encode() if self.lxml else text

    def date_value(self, ws, cell):
        self.calls.append(("date_value", cell))
        return self.date_result

    def date_value_raw(self, ws, value):
        raise AssertionError("not used by write_row")

    def writer(self, write=None):
        return m.SheetWriter(self.ws, write or self.out.append, self.lxml, self.helpers)

    def text(self):
        joined = b"".join(self.out) if self.lxml else "".join(self.out)
        return joined.decode() if self.lxml else joined

    def fallbacks(self):
        return [c for c in self.calls if c[0] == "write_cell"]


def write_one_row(host, cells, row=1):
    w = host.writer()
    w.write_row(cells, row)
    w.flush()
    text = host.text()
    prefix = f'<row r="{row}">'
    assert text.startswith(prefix) and text.endswith("</row>")
    return text[len(prefix):-len("</row>")]


