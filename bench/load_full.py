#!/usr/bin/env python3
"""Full-mode (editable) loading: the engine's bind_cells and CellStore against the
pure-Python loader and its dict of cells.

    PYTHONPATH=src python3 bench/load_full.py [CELLS]

The worksheet (numbers, styled floats, shared strings, booleans, dates,
formulas; `sheetgen.stream_sheet` (tests/support)) is read four ways, each side in
a child process of its own so that memory is measured apart:

- bind: the sheet's cells from an in-memory file into the worksheet's
  container (`bind_cells`), cells per second of CPU time;
- memory: resident memory the loaded cells add, in bytes per cell;
- load: `load_workbook` of a saved file (inflating included), by the clock;
- iterate: every value of the loaded sheet through `iter_rows(values_only=True)`.

Without the engine's store in the build the native side reports that it
declined, and only the pure-Python figures are printed.
"""
import io
import json
import os
import subprocess
import sys
import time
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "src"))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "support"))

import sheetgen as gen  # noqa: E402

N_STRINGS = 1000


def sheet_bytes(n_cells):
    return b"".join(gen.stream_sheet(n_cells, n_strings=N_STRINGS))


def package(sheet):
    return gen.xlsx([sheet], [f"string {i}" for i in range(N_STRINGS)],
                    '<fonts><font><b/><sz val="11"/><name val="Calibri"/><family val="2"/></font>'
                    '</fonts><cellXfs><xf numFmtId="0"/><xf numFmtId="14"/><xf numFmtId="0"/>'
                    '<xf numFmtId="2" fontId="0"/></cellXfs>', compression=zipfile.ZIP_DEFLATED)


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def child(side, n_cells):
    """One side's figures, measured in this (child) process."""
    if side == "pure":
        os.environ["BRINDLE_NO_NATIVE"] = "1"
    import gc

    import brindle
    from brindle.cell.cell import Cell
    from brindle.reader import full
    from brindle.reader.helpers import reading_helpers
    from brindle.reader.worksheet import WorkSheetParser
    from brindle.styles.cell_style import StyleArray
    from brindle.worksheet.store import is_cell_store
    from brindle._native import native_engine

    data = sheet_bytes(n_cells)
    strings = [f"string {i}" for i in range(N_STRINGS)]
    styles = [StyleArray(), StyleArray([0, 0, 0, 14, 0, 0, 0, 0, 0]), StyleArray(),
              StyleArray([0, 0, 0, 2, 0, 0, 0, 0, 0])]
    wb = brindle.Workbook()
    ws = wb.active
    if side == "native" and not is_cell_store(ws._cells):
        return {"declined": "the build has no usable CellStore"}
    bind = native_engine().bind_cells if side == "native" else full.bind_cells
    out = {}
    best = grown = None
    for _ in range(3 if side == "native" else 1):
        ws._cells.clear()
        gc.collect()
        parser = WorkSheetParser(shared_strings=strings, date_formats={gen.DATE_STYLE})
        before = rss()
        t = time.process_time()
        try:
            bind(io.BytesIO(data), parser, ws, ws._cells, styles, Cell, reading_helpers(), [])
        except Exception as exc:  # NativeFallback and the like: report, do not measure
            return {"declined": f"{type(exc).__name__}: {exc}"}
        elapsed = time.process_time() - t
        # Only the first load grows the process: later ones reuse the memory
        # the allocator kept from the store the previous load filled.
        if grown is None:
            grown = rss() - before
        best = elapsed if best is None else min(best, elapsed)
    n = len(ws._cells)
    out["cells"] = n
    out["bind"] = n / best
    out["bytes_per_cell"] = grown / n
    t = time.process_time()
    for _ in ws.iter_rows(values_only=True):
        pass
    out["iterate"] = n / (time.process_time() - t)
    del ws, wb
    gc.collect()
    saved = package(data)
    # Wall time: the part is inflated on a second thread while it is parsed,
    # and CPU time would count both threads' work.
    t = time.perf_counter()
    loaded = brindle.load_workbook(io.BytesIO(saved))
    out["load"] = n / (time.perf_counter() - t)
    assert len(loaded.active._cells) == n
    return out


def run(side, n_cells):
    proc = subprocess.run([sys.executable, __file__, "--child", side, str(n_cells)],
                          capture_output=True, text=True, check=True)
    return json.loads(proc.stdout)


def main():
    if len(sys.argv) > 1 and sys.argv[1] == "--child":
        print(json.dumps(child(sys.argv[2], int(sys.argv[3]))))
        return
    n_cells = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
    pure = run("pure", n_cells)
    native = run("native", n_cells)
    print(f"{pure['cells']:,} cells")
    rows = [("bind_cells from memory (cells/s)", "bind"), ("load_workbook (cells/s)", "load"),
            ("iterating values (cells/s)", "iterate")]
    for label, key in rows:
        line = f"{label:36} pure {pure[key]:>12,.0f}"
        if "declined" not in native:
            line += f"   native {native[key]:>12,.0f}   {native[key] / pure[key]:5.1f}x"
        print(line)
    line = f"{'resident memory (bytes/cell)':36} pure {pure['bytes_per_cell']:>12,.1f}"
    if "declined" not in native:
        line += f"   native {native['bytes_per_cell']:>12,.1f}"
    print(line)
    if "declined" in native:
        print(f"native: declined ({native['declined']})")


if __name__ == "__main__":
    main()
