#!/usr/bin/env python3
"""Write-only saving: cells per second of the native writer and of the
pure-Python writer, and their ratio.

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

COLS = 10


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


def main():
    args = [a for a in sys.argv[1:] if not a.startswith("--")]
    n = int(args[0]) if args else 20000
    lxml = "--lxml" in sys.argv
    pure, _ = run(n, lxml, native=False)
    native, is_native = run(n, lxml, native=True)
    cells = n * COLS
    mode = "lxml" if lxml else "etree"
    print(f"{mode}: {cells} cells; pure Python {cells / pure:,.0f} cells/s")
    if not is_native:
        why = "no engine" if native_engine() is None else "engine declined"
        print(f"native: not used ({why}); ratio 1.00")
    else:
        print(f"native {cells / native:,.0f} cells/s; ratio {pure / native:.2f}")


if __name__ == "__main__":
    main()
