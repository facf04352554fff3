"""`max_row` of a read-only sheet: from its <dimension> against a scan of its cells.

A worksheet of CELLS cells (10 columns) is written into an in-memory
workbook once with a declared <dimension> and once without; each is opened
read-only and `max_row` / `max_column` asked, with the engine and without.
Times are the best of three, wall clock. Run inside the dev environment:

    PYTHONPATH=src python3 bench/read_only_extent.py [CELLS]
"""

import io
import os
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "support"))

import brindle  # noqa: E402
import sheetgen as gen  # noqa: E402


def best(data, native, repeat=3):
    out = None
    for _ in range(repeat):
        start = time.perf_counter()
        with brindle.load_workbook(io.BytesIO(data), read_only=True, native=native) as wb:
            ws = wb["S"]
            found = (ws.max_row, ws.max_column)
        spent = time.perf_counter() - start
        out = spent if out is None else min(out, spent)
    return out, found


def main():
    cells = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
    strings = [f"string {i}" for i in range(1000)]
    body = b"".join(gen.stream_sheet(cells))
    rows = cells // 10
    declared = body.replace(b'<dimension ref="A1"/>', f'<dimension ref="A1:J{rows}"/>'.encode())
    undeclared = body.replace(b'<dimension ref="A1"/>', b"")
    books = {"declared": gen.xlsx([declared], strings, compression=8),
             "scanned": gen.xlsx([undeclared], strings, compression=8)}
    paths = [True, False] if brindle.native_available() else [False]
    for native in paths:
        times = {}
        for kind, data in books.items():
            times[kind], found = best(data, native)
            assert found == (rows, 10), found
        label = "engine     " if native else "pure Python"
        print(f"{label}: {cells} cells, declared {times['declared'] * 1e3:8.2f} ms, "
              f"scanned {times['scanned'] * 1e3:9.2f} ms "
              f"({times['scanned'] / times['declared']:.0f}x)")


if __name__ == "__main__":
    main()
