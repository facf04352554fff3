#!/usr/bin/env python3
"""Write-only workbooks: cells per second and peak memory of the native
writer, the pure-Python writer and xlsxwriter (constant_memory mode), all
writing the same values.

    PYTHONPATH=src python3 bench/write_only.py [CELLS] [--lxml]

Each variant runs in a child process of its own, so that its peak resident
set (VmHWM, which counts C allocations too) is its alone; each is measured
at CELLS and at a quarter of it, to show that memory does not grow with the
row count; times are the best of three runs. A last section times the writing of prebuilt cells alone (the
part the engine takes over: no file, no deflating), in this process.
"""
import datetime as dt
import json
import os
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SRC = os.path.join(HERE, "..", "src")
sys.path.insert(0, SRC)

REPEAT = 3
START = dt.datetime(2024, 1, 1)


def values(r):
    """Row r: integers, floats, short strings, dates, a formula, a gap."""
    return [r, r * 0.25, f"item {r % 1000}", r % 3 == 0, START + dt.timedelta(minutes=r),
            "=A1*2", None, "é ∑", -r, 1e-7 * r, dt.date(2024, 1, 1 + r % 28)]


CELLS_PER_ROW = sum(v is not None for v in values(0))


def peak_rss_kib():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return 0


def run_brindle(n_rows, lxml, native, path):
    import brindle

    wb = brindle.Workbook(write_only=True, lxml=lxml, native=native)
    ws = wb.create_sheet("Data")
    header = brindle.Cell(ws, value="total")
    header.font = brindle.Font(bold=True)
    header.fill = brindle.PatternFill("FFFF00")
    start = time.perf_counter()
    for r in range(n_rows):
        row = values(r)
        if r % 10 == 0:
            row[6] = header  # some styled cells
        ws.append(row)
    wb.save(path)
    elapsed = time.perf_counter() - start
    return elapsed, ws._stream.is_native


def run_xlsxwriter(n_rows, path):
    import xlsxwriter

    start = time.perf_counter()
    wb = xlsxwriter.Workbook(path, {"constant_memory": True,
                                    "default_date_format": "yyyy-mm-dd h:mm:ss"})
    ws = wb.add_worksheet("Data")
    bold = wb.add_format({"bold": True, "bg_color": "#FFFF00"})
    for r in range(n_rows):
        row = values(r)
        if r % 10 == 0:
            row[6] = None
            ws.write_row(r, 0, row)
            ws.write_string(r, 6, "total", bold)
        else:
            ws.write_row(r, 0, row)
    wb.close()
    return time.perf_counter() - start, False


def child(variant, n_rows, lxml):
    with tempfile.TemporaryDirectory() as d:
        path = os.path.join(d, "out.xlsx")
        if variant == "xlsxwriter":
            elapsed, used = run_xlsxwriter(n_rows, path)
        else:
            elapsed, used = run_brindle(n_rows, lxml, variant == "native", path)
        size = os.path.getsize(path)
    print(json.dumps({"seconds": elapsed, "native_used": used, "peak_kib": peak_rss_kib(),
                      "bytes": size}))


def measure(variant, n_rows, lxml):
    cmd = [sys.executable, os.path.abspath(__file__), "--child", variant, str(n_rows)]
    if lxml:
        cmd.append("--lxml")
    env = dict(os.environ, PYTHONPATH=SRC + os.pathsep + os.environ.get("PYTHONPATH", ""))
    out = subprocess.run(cmd, check=True, capture_output=True, text=True, env=env)
    return json.loads(out.stdout)


def sheet_data_only(n_rows, lxml):
    """Prebuilt cells through the row writer alone (no file, no deflating):
    the engine's SheetWriter and its pure-Python twin."""
    import brindle
    from brindle._native import native_engine
    from brindle.writer.cell import make_writer_helpers
    from pure_sheet_writer import SheetWriter as PySheetWriter

    engine = native_engine()
    wb = brindle.Workbook(write_only=True, lxml=lxml)
    ws = wb.create_sheet("Data")
    rows = []
    for r in range(n_rows):
        rows.append([brindle.Cell(ws, r + 1, c, v) for c, v in enumerate(values(r), 1)
                     if v is not None])
    results = {}
    for native in (False, True):
        cls = engine.SheetWriter if native and engine is not None else PySheetWriter
        best = None
        for _ in range(REPEAT):
            ws._hyperlinks.clear()
            out = []
            writer = cls(ws, out.append, lxml, make_writer_helpers(lxml))
            start = time.perf_counter()
            for r, cells in enumerate(rows, 1):
                writer.write_row(cells, r)
            writer.flush()
            elapsed = time.perf_counter() - start
            best = elapsed if best is None else min(best, elapsed)
        results[native] = (best, cls is not PySheetWriter)
    return results


def main():
    argv = sys.argv[1:]
    lxml = "--lxml" in argv
    argv = [a for a in argv if a != "--lxml"]
    if argv and argv[0] == "--child":
        child(argv[1], int(argv[2]), lxml)
        return
    cells = int(argv[0]) if argv else 1_000_000
    n_rows = max(1, cells // CELLS_PER_ROW)
    cells = n_rows * CELLS_PER_ROW
    mode = "lxml" if lxml else "ElementTree"
    print(f"write-only workbook, {cells:,} cells ({n_rows:,} rows x {CELLS_PER_ROW}), "
          f"{mode} form; append + save, one child process per run")
    results = {}
    for variant in ("native", "pure", "xlsxwriter"):
        # The fastest of three runs: the machine may be busy with other work.
        runs = [measure(variant, n_rows, lxml) for _ in range(REPEAT)]
        big = min(runs, key=lambda run: run["seconds"])
        big["peak_kib"] = max(run["peak_kib"] for run in runs)
        small = measure(variant, max(1, n_rows // 4), lxml)
        results[variant] = big
        note = ""
        if variant == "native" and not big["native_used"]:
            note = "  (engine not used: pure Python ran instead)"
        print(f"  {variant:10} {cells / big['seconds']:>12,.0f} cells/s  "
              f"{big['seconds']:7.2f} s  file {big['bytes'] / 1e6:6.1f} MB  "
              f"peak RSS {big['peak_kib'] / 1024:6.1f} MiB "
              f"({small['peak_kib'] / 1024:.1f} MiB at a quarter of the rows){note}")
    native = results["native"]["seconds"]
    print(f"  ratio native / pure Python: {results['pure']['seconds'] / native:.2f}x; "
          f"native / xlsxwriter: {results['xlsxwriter']['seconds'] / native:.2f}x")

    data_rows = min(n_rows, 100_000)
    data = sheet_data_only(data_rows, lxml)
    data_cells = data_rows * CELLS_PER_ROW
    pure_t, (native_t, used) = data[False][0], data[True]
    print(f"sheet data alone (prebuilt cells, {data_cells:,}): pure Python "
          f"{data_cells / pure_t:,.0f} cells/s; native {data_cells / native_t:,.0f} cells/s"
          + (f"; ratio {pure_t / native_t:.2f}x" if used else " (engine not used)"))


if __name__ == "__main__":
    main()
