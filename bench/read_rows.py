#!/usr/bin/env python3
"""Reading worksheets row by row: the native RowReader against the pure-Python one,
the prescan, and the memory of streaming.

    PYTHONPATH=src python3 bench/read_rows.py [CELLS] [--no-memory]

The worksheet (numbers, floats with a style, shared strings, booleans,
dates, formulas) comes from `sheetgen.stream_sheet` (tests/support) and is read
from an in-memory file object, so the timings are of reading alone. Each
reader reads it with `next_row` values-only, `next_row` building cells and
`next_raw`, dropping each row once made; both must give the same rows
(checked in a separate, untimed pass). Times are CPU times (best of
five for the native reader, one run for pure Python), which a busy
machine disturbs less than wall-clock times.

`prescan_sheet` (no positions asked for, no row attributes) runs over a
larger worksheet built in memory. Last, each reader streams a sheet of
CELLS and of CELLS/4 cells in a child process of its own, reporting its
peak resident set: it should not grow with the sheet.
"""
import io
import json
import os
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "src"))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "support"))

import sheetgen as gen  # noqa: E402
from testkit import make_helpers, make_parser  # noqa: E402
from pure_prescan import prescan_sheet as py_prescan  # noqa: E402
from brindle.reader.rows import ReadOnlyCell, RowReader as PyRowReader  # noqa: E402

N_COLS = 10
STRINGS = [f"string {i}" for i in range(1000)]
TARGETS = {"values": 15, "cells": 8}
# Values-only streaming from memory, in cells per second.
VALUES_RATE = 12e6


def engine():
    try:
        from brindle import _brindle
    except ImportError:
        return None
    return _brindle


def parser():
    return make_parser(shared_strings=STRINGS, date_formats={gen.DATE_STYLE})


def reader_rows(cls, data, mode):
    """The rows of one read of `data` in `mode`, one at a time."""
    reader = cls(io.BytesIO(data), parser(), make_helpers())
    if mode == "raw":
        while (row := reader.next_raw()) is not None:
            yield row
    else:
        values_only = mode == "values"
        while (row := reader.next_row(None, 1, None, values_only, ReadOnlyCell,
                                      None)) is not None:
            yield row


def read(cls, data, mode):
    """CPU seconds of one full read of `data` in `mode`, each row dropped once made,
    as a program that streams a sheet does (kept rows would time the garbage
    collector's passes over them instead)."""
    start = time.process_time()
    for _ in reader_rows(cls, data, mode):
        pass
    return time.process_time() - start


def comparable(row, mode):
    if mode != "cells":
        return row
    idx, cells = row
    return idx, [(c.row, c.column, c.value, c.data_type, c.style_id) for c in cells]


def same_rows(mod, data, mode):
    pure = reader_rows(PyRowReader, data, mode)
    native = reader_rows(mod.RowReader, data, mode)
    for a, b in zip(pure, native, strict=True):
        if comparable(a, mode) != comparable(b, mode):
            return False
    return True


def bench_rows(mod, n_cells):
    data = b"".join(gen.stream_sheet(n_cells, N_COLS))
    n = (n_cells // N_COLS) * N_COLS
    mb = len(data) / 1e6
    print(f"rows: {n:,} cells in {n // N_COLS:,} rows, {mb:.1f} MB of XML")
    print(f"  {'mode':<22}{'pure Python':>16}{'native':>16}{'native MB/s':>13}{'ratio':>9}")
    labels = {"values": "next_row values_only", "cells": "next_row cells",
              "raw": "next_raw"}
    ok = True
    for mode in ("values", "cells", "raw"):
        py_t = read(PyRowReader, data, mode)
        line = f"  {labels[mode]:<22}{n / py_t:>12,.0f} c/s"
        if mod is not None:
            if not same_rows(mod, data, mode):
                sys.exit(f"{mode}: native and pure-Python rows differ")
            nat_t = min(read(mod.RowReader, data, mode) for _ in range(5))
            ratio = py_t / nat_t
            line += f"{n / nat_t:>12,.0f} c/s{mb / nat_t:>13.1f}{ratio:>8.1f}x"
            target = TARGETS.get(mode)
            if target is not None:
                met = ratio >= target
                ok &= met
                line += f"  (target {target}x: {'met' if met else 'MISSED'})"
            if mode == "values":
                met = n / nat_t >= VALUES_RATE
                ok &= met
                line += f" ({VALUES_RATE / 1e6:.0f} M c/s: {'met' if met else 'MISSED'})"
        print(line)
    return ok


def bench_prescan(mod, n_cells):
    data = b"".join(gen.stream_sheet(n_cells, N_COLS))
    mb = len(data) / 1e6
    helpers = make_helpers()
    print(f"prescan_sheet, no positions: {mb:.0f} MB of XML")
    best = None
    for _ in range(3):
        start = time.perf_counter()
        got = mod.prescan_sheet(io.BytesIO(data), False, None, helpers) if mod else None
        t = time.perf_counter() - start
        best = t if best is None else min(best, t)
    line = ""
    if mod is not None:
        line = f"  native       {mb / 1000 / best:6.2f} GB/s"
    # The pure-Python prescan is timed on a tenth of the sheet.
    part = b"".join(gen.stream_sheet(n_cells // 10, N_COLS))
    start = time.perf_counter()
    want = py_prescan(io.BytesIO(part), False, None, helpers)
    py_t = (time.perf_counter() - start) * len(data) / len(part)
    if mod is not None:
        if mod.prescan_sheet(io.BytesIO(part), False, None, helpers) != want:
            sys.exit("prescan: native and pure-Python results differ")
        line += f"  (pure Python {mb / 1000 / py_t:.3f} GB/s, ratio {py_t / best:.0f}x)"
        print(line)
        print(f"  target 1 GB/s: {'met' if mb / 1000 / best >= 1 else 'MISSED'}")
        del got
    else:
        print(f"  pure Python {mb / 1000 / py_t:.3f} GB/s")


def child(n_cells, native):
    """Stream a generated sheet from its pieces (never whole in memory); print peak RSS."""
    mod = engine() if native else None
    cls = mod.RowReader if mod is not None else PyRowReader
    reader = cls(gen.PieceSource(gen.stream_sheet(n_cells, N_COLS)), parser(), make_helpers())
    count = 0
    while (row := reader.next_row(None, 1, None, False, ReadOnlyCell, None)) is not None:
        count += len(row[1])
    with open("/proc/self/status") as f:
        peak = next(int(line.split()[1]) for line in f if line.startswith("VmHWM:"))
    print(json.dumps({"cells": count, "peak_kib": peak}))


def bench_memory(mod, n_cells):
    print("streaming peak memory (child processes, cells built):")
    for native in ([True] if mod is not None else []) + [False]:
        sizes = []
        for cells in (n_cells // 4, n_cells):
            out = subprocess.run([sys.executable, os.path.abspath(__file__), "--child",
                                  str(cells), "1" if native else "0"],
                                 check=True, capture_output=True, text=True).stdout
            sizes.append(json.loads(out))
        name = "native" if native else "pure Python"
        text = ", ".join(f"{s['peak_kib'] / 1024:.1f} MiB at {s['cells']:,} cells"
                         for s in sizes)
        print(f"  {name:<12} {text}")


def main():
    if sys.argv[1:2] == ["--child"]:
        child(int(sys.argv[2]), sys.argv[3] == "1")
        return
    args = [a for a in sys.argv[1:] if not a.startswith("--")]
    n_cells = int(args[0]) if args else 1_000_000
    mod = engine()
    print(f"engine: {mod.__file__ if mod else 'not built (pure Python only)'}")
    bench_rows(mod, n_cells)
    bench_prescan(mod, max(n_cells, 1_000_000) * 5)
    if "--no-memory" not in sys.argv:
        bench_memory(mod, n_cells)


if __name__ == "__main__":
    main()
