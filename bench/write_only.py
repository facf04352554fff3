#!/usr/bin/env python3
"""Saving: cells per second of the native writer and of the pure-Python
writer, and their ratio, for write-only sheets (append + save, and the sheet
data alone) and for an in-memory sheet (save).

    PYTHONPATH=src python3 bench/write_only.py [ROWS] [--lxml]
"""
import datetime as dt
import io
import os
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "src"))

import brindle  # noqa: E402
from brindle.writer.engine import native_engine  # noqa: E402



def rows(n):
    day = dt.datetime(2024, 1, 1)
    for r in range(n):
        yield [r, r * 0.25, f"text {r}", r % 3 == 0, day, "=A1*2", None, "é ∑", -r, 1e-7 * r]


def run(n, lxml, native):
    wb = brindle.Workbook(write_only=True, lxml=lxml, native=native)
    ws = wb.create_sheet("Data")
    start = time.perf_counter()
    for row in rows(n):
        ws.append(row)
    out = io.BytesIO()
    wb.save(out)
    return time.perf_counter() - start, ws._stream.is_native


def run_rows(n, lxml, native):
    """Only the writing of prebuilt cells: the part the engine takes over."""
    from brindle.writer.sheet import RowStream

    wb = brindle.Workbook(write_only=True, lxml=lxml)
    ws = wb.create_sheet("Data")
    prebuilt = [[brindle.Cell(ws, r + 1, c, v) for c, v in enumerate(row, 1) if v is not None]
                for r, row in enumerate(rows(n))]
    stream = RowStream(ws, lxml, native)
    start = time.perf_counter()
    for r, cells in enumerate(prebuilt, 1):
        stream.write_row(cells, r)
    stream.finish()
    return time.perf_counter() - start, stream.is_native


def run_normal(n, lxml, native):
    """Saving an in-memory sheet: the whole `<sheetData>` in one call."""
    from brindle.writer.sheet import write_sheet_data

    wb = brindle.Workbook(lxml=lxml, native=native)
    ws = wb.active
    for row in rows(n):
        ws.append(row)
    start = time.perf_counter()
    sink = write_sheet_data(ws, lxml, native)
    elapsed = time.perf_counter() - start
    sink.close()
    return elapsed, sink.native


def main():
    args = [a for a in sys.argv[1:] if not a.startswith("--")]
    n = int(args[0]) if args else 20000
    lxml = "--lxml" in sys.argv
    cells = n * sum(v is not None for v in next(rows(1)))
    mode = "lxml" if lxml else "etree"
    for label, fn in (("append + save", run), ("sheet data only", run_rows),
                      ("in-memory sheet data", run_normal)):
        pure, _ = fn(n, lxml, native=False)
        native, is_native = fn(n, lxml, native=True)
        line = f"{mode} {label}: {cells} cells; pure Python {cells / pure:,.0f} cells/s; "
        if not is_native:
            why = "no engine" if native_engine() is None else "engine declined"
            print(line + f"native not used ({why}); ratio 1.00")
        else:
            print(line + f"native {cells / native:,.0f} cells/s; ratio {pure / native:.2f}")


if __name__ == "__main__":
    main()
