"""Throughput of SheetWriter.write_row against a pure-Python row writer.

The pure-Python side builds each <c> with xml.etree.ElementTree and
serialises it, which is what the host's ElementTree writer does per cell;
both sides get the same stand-in host objects and must produce the same
text. Run inside the dev environment:

    PYTHONPATH=src python3 bench/bench_write_rows.py [rows] [columns]
"""

import array
import sys
import time
import xml.etree.ElementTree as ET

import brindle._brindle as m


class StyleArray(array.array):
    def __new__(cls, values=(0,) * 9):
        return super().__new__(cls, "i", values)


class StyleList(list):
    def add(self, style):
        key = tuple(style)
        if key not in self:
            self.append(key)
        return self.index(key)


class Workbook:
    epoch = None
    iso_dates = False

    def __init__(self):
        self._cell_styles = StyleList()


class Worksheet:
    def __init__(self):
        self.parent = Workbook()
        self._hyperlinks = []
        self.row_dimensions = {}


class Cell:
    __slots__ = ("row", "column", "_value", "data_type", "_style", "_comment", "hyperlink")

    def __init__(self, row, column, value, data_type, style):
        self.row, self.column, self._value, self.data_type = row, column, value, data_type
        self._style, self._comment, self.hyperlink = style, None, None


def letters(col):
    s = ""
    while col:
        col, r = divmod(col - 1, 26)
        s = chr(65 + r) + s
    return s


def python_write_row(ws, write, cells, row_idx):
    """The host-style loop: one ElementTree element per cell."""
    styles = ws.parent._cell_styles
    parts = [f'<row r="{row_idx}">']
    for c in cells:
        styled = any(c._style)
        if c._value is None and not styled and not c._comment:
            continue
        attrs = {"r": f"{letters(c.column)}{c.row}"}
        if styled:
            attrs["s"] = str(styles.add(c._style))
        v = c._value
        if c.data_type == "s":
            attrs["t"] = "inlineStr"
            el = ET.Element("c", attrs)
            ET.SubElement(ET.SubElement(el, "is"), "t").text = v
        else:
            attrs["t"] = c.data_type
            el = ET.Element("c", attrs)
            ET.SubElement(el, "v").text = v if isinstance(v, str) else "%.16g" % v
        parts.append(ET.tostring(el, encoding="unicode"))
    parts.append("</row>")
    write("".join(parts))


def make_rows(n_rows, n_cols):
    plain, bold = StyleArray(), StyleArray([0, 1, 0, 0, 0, 0, 0, 0, 0])
    rows = []
    for r in range(1, n_rows + 1):
        row = []
        for c in range(1, n_cols + 1):
            k = c % 4
            value = (r * c, r / (c + 0.5), f"text {r}:{c}", r * 1000003)[k]
            row.append(Cell(r, c, value, "s" if k == 2 else "n", bold if c == 1 else plain))
        rows.append(row)
    return rows


def run_native(rows):
    ws, out = Worksheet(), []
    helpers = {"StyleArray": StyleArray, "add_comment": None, "write_cell": None,
               "date_value": None, "date_value_raw": None, "safe_string": str}
    w = m.SheetWriter(ws, out.append, False, helpers)
    t = time.perf_counter()
    for i, row in enumerate(rows, 1):
        w.write_row(row, i)
    w.flush()
    return time.perf_counter() - t, "".join(out)


def run_python(rows):
    ws, out = Worksheet(), []
    t = time.perf_counter()
    for i, row in enumerate(rows, 1):
        python_write_row(ws, out.append, row, i)
    return time.perf_counter() - t, "".join(out)


def main():
    n_rows = int(sys.argv[1]) if len(sys.argv) > 1 else 20000
    n_cols = int(sys.argv[2]) if len(sys.argv) > 2 else 20
    rows = make_rows(n_rows, n_cols)
    native_t, native_text = min((run_native(rows) for _ in range(3)), key=lambda r: r[0])
    python_t, python_text = min((run_python(rows) for _ in range(3)), key=lambda r: r[0])
    if native_text != python_text:
        sys.exit("outputs differ")
    cells = n_rows * n_cols
    print(f"{cells} cells, {len(native_text) / 1e6:.1f} MB of XML")
    print(f"native  {native_t:8.3f} s  {cells / native_t / 1e6:6.2f} Mcells/s")
    print(f"python  {python_t:8.3f} s  {cells / python_t / 1e6:6.2f} Mcells/s")
    print(f"ratio   {python_t / native_t:8.1f}x")


if __name__ == "__main__":
    main()
