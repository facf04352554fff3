"""Read-only rows: the native RowReader against the pure-Python reader.

Prints cells per second for each and their ratio. Run inside the dev
environment: PYTHONPATH=src python3 bench/bench_row_reader.py [rows]
"""

import io
import sys
import time

from brindle import _brindle
from brindle._testing import make_helpers, make_parser

MAIN = "http://schemas.openxmlformats.org/spreadsheetml/2006/main"


def worksheet(rows):
    out = [f'<worksheet xmlns="{MAIN}"><sheetData>']
    for r in range(1, rows + 1):
        out.append(f'<row r="{r}" spans="1:8">'
                   f'<c r="A{r}"><v>{r}</v></c><c r="B{r}"><v>{r}.25</v></c>'
                   f'<c r="C{r}" t="s"><v>{r % 50}</v></c><c r="D{r}" s="1"><v>{40000 + r % 900}</v></c>'
                   f'<c r="E{r}" t="b"><v>{r & 1}</v></c><c r="F{r}"><f>A{r}*2</f><v>{2 * r}</v></c>'
                   f'<c r="G{r}" t="str"><v>text {r}</v></c><c r="H{r}" s="2"><v>-{r}.5e-3</v></c>'
                   '</row>')
    out.append("</sheetData></worksheet>")
    return "".join(out).encode()


def run(cls, data, values_only):
    parser = make_parser(shared_strings=[f"s{i}" for i in range(50)], date_formats={1})
    r = cls(io.BytesIO(data), parser, make_helpers())
    cells = 0
    t0 = time.perf_counter()
    while (row := r.next_row(None, 1, None, values_only, Cell, None)) is not None:
        cells += len(row[1])
    return cells, time.perf_counter() - t0


class Cell:
    __slots__ = ("parent", "row", "column", "_value", "data_type", "_style_id")


def main():
    rows = int(sys.argv[1]) if len(sys.argv) > 1 else 20000
    data = worksheet(rows)
    try:
        from brindle.reader.rows import RowReader as PyRowReader
    except ImportError:
        PyRowReader = None
    for values_only in (True, False):
        cells, native = min((run(_brindle.RowReader, data, values_only) for _ in range(3)),
                            key=lambda x: x[1])
        line = f"values_only={values_only}: native {cells / native / 1e6:.2f} Mcells/s"
        if PyRowReader is not None:
            _, pure = min((run(PyRowReader, data, values_only) for _ in range(2)),
                          key=lambda x: x[1])
            line += f", pure {cells / pure / 1e6:.2f} Mcells/s, ratio {pure / native:.1f}x"
        print(line)


if __name__ == "__main__":
    main()
