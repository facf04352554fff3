"""Throughput of reading a shared-string table: the engine against the pure-Python reader.

Two generated tables of 200,000 items each, one of short plain strings and
one of rich items (runs with run properties), are read from file objects in
memory; times are the best of a few runs in CPU time of this process. Both
readers must give the same lists. Also shows how little of a big worksheet
the dimension lookup reads. Run inside the dev environment:

    PYTHONPATH=src python3 bench/bench_string_table.py [items]
"""

import io
import sys
import time
import os

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "support"))

from testkit import make_helpers
from brindle.reader.dimension import find_dimension as py_find_dimension
from brindle.reader.string_table import read_string_table as py_read_string_table

MAIN = "http://schemas.openxmlformats.org/spreadsheetml/2006/main"
RPRS = ["<rPr><b/><sz val=\"11\"/><rFont val=\"Calibri\"/></rPr>",
        "<rPr><i/><color rgb=\"FFFF0000\"/><sz val=\"10\"/></rPr>",
        "<rPr><u val=\"single\"/><family val=\"2\"/></rPr>"]


def plain_table(n):
    items = (f"<si><t>item {i % 9973} text</t></si>" for i in range(n))
    return f'<sst xmlns="{MAIN}" count="{n}" uniqueCount="{n}">'.encode() + \
        "".join(items).encode() + b"</sst>"


def rich_table(n):
    items = (f"<si><r>{RPRS[i % 3]}<t>bold {i}</t></r><r><t xml:space=\"preserve\"> rest</t></r></si>"
             for i in range(n))
    return f'<sst xmlns="{MAIN}" count="{n}">'.encode() + "".join(items).encode() + b"</sst>"


def best(fn, data, repeat):
    times = []
    for _ in range(repeat):
        src = io.BytesIO(data)
        helpers = make_helpers()
        start = time.process_time()
        out = fn(src, helpers)
        times.append(time.process_time() - start)
    return min(times), out


class Counting(io.BytesIO):
    def __init__(self, data):
        super().__init__(data)
        self.reads = 0

    def read(self, n=-1):
        self.reads += 1
        return super().read(n)


def main():
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 200_000
    try:
        from brindle._brindle import find_dimension, read_string_table
    except ImportError:
        sys.exit("the engine is not built")
    for name, data in (("plain", plain_table(n)), ("rich", rich_table(n))):
        mb = len(data) / 1e6
        t_native, got = best(read_string_table, data, 5)
        t_python, want = best(py_read_string_table, data, 2)
        assert got == want, "the readers disagree"
        print(f"{name:5}: {n} items, {mb:.1f} MB: native {mb / t_native:7.1f} MB/s, "
              f"python {mb / t_python:5.1f} MB/s, ratio {t_python / t_native:5.1f}x")
    row = b'<row r="1"><c r="A1" t="s"><v>0</v></c><c r="B1"><v>3.25</v></c></row>'
    sheet = (f'<worksheet xmlns="{MAIN}"><dimension ref="A1:B1"/><sheetData>'.encode()
             + row * (50_000_000 // len(row)) + b"</sheetData></worksheet>")
    for label, fn in (("native", find_dimension), ("python", py_find_dimension)):
        src = Counting(sheet)
        start = time.perf_counter()
        found = fn(src)
        took = time.perf_counter() - start
        print(f"find_dimension ({label}) on a {len(sheet) / 1e6:.0f} MB sheet: {found[0]!r}, "
              f"{src.reads} read call(s), {took * 1e3:.2f} ms")


if __name__ == "__main__":
    main()
