"""Throughput of reading a worksheet row by row: the native RowReader against the pure-Python one.

The worksheet is generated once (numbers, floats, shared strings, booleans,
dates and formulas) and read by each reader from a file object in memory,
so that the timings are of reading alone; times are CPU times of this
process, which a busy machine disturbs less than wall-clock times. Both
readers must give the same rows. Run inside the dev environment:

    PYTHONPATH=src python3 bench/bench_read_rows.py [cells] [columns]
"""

import io
import sys
import time

from brindle import _sheetgen as gen
from brindle._testing import make_helpers, make_parser
from brindle.reader.rows import ReadOnlyCell, RowReader


def parser():
    return make_parser(shared_strings=[f"s{i}" for i in range(1000)],
                       date_formats={gen.DATE_STYLE})


def run(cls, data, values_only):
    source = io.BytesIO(data)
    reader = cls(source, parser(), make_helpers())
    rows = []
    start = time.process_time()
    while (row := reader.next_row(None, 1, None, values_only, ReadOnlyCell, None)) is not None:
        rows.append(row)
    return time.process_time() - start, rows


def native_reader():
    try:
        from brindle._brindle import NativeFallback, RowReader as Native
    except ImportError:
        return None, None
    return Native, NativeFallback


def main():
    n_cells = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
    n_cols = int(sys.argv[2]) if len(sys.argv) > 2 else 10
    Native, NativeFallback = native_reader()
    data = b"".join(gen.stream_sheet(n_cells, n_cols))
    print(f"{n_cells} cells, {len(data) / 1e6:.1f} MB of XML")
    for values_only in (True, False):
        py_time, py_rows = run(RowReader, data, values_only)
        label = "values" if values_only else "cells "
        line = f"{label}: python {n_cells / py_time / 1e6:6.3f} Mcells/s"
        if Native is not None:
            try:
                nat_time, nat_rows = run(Native, data, values_only)
            except NativeFallback as exc:
                line += f"; native unavailable ({exc})"
            else:
                if values_only and nat_rows != py_rows:
                    raise SystemExit("native and pure-Python rows differ")
                line += (f", native {n_cells / nat_time / 1e6:6.3f} Mcells/s,"
                         f" ratio {py_time / nat_time:5.1f}x")
        print(line)


if __name__ == "__main__":
    main()
