#!/usr/bin/env python3
"""What row settings cost a full-mode load: the same sheet with and without a
height on every row (as applications write after a change of font), loaded by
the engine and in pure Python, each in a child process of its own.

    PYTHONPATH=src python3 bench/row_heights.py [ROWS] [CELLS_PER_ROW]

Prints, per side and form, the load time (best of three, by the clock) and
the bytes per row the loaded workbook holds (traced allocations still alive
after the load), then the ratio of the sheet with heights to the one without
and whether it is within the target.
"""
import io
import json
import os
import subprocess
import sys
import time
import tracemalloc
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "src"))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "support"))

import sheetgen as gen  # noqa: E402

# Rows with settings should load at least half as fast as rows without.
TARGET = 2.0

MAIN = "http://schemas.openxmlformats.org/spreadsheetml/2006/main"


def sheet_bytes(n_rows, per_row, heights):
    attrs = ' ht="20" customHeight="1"' if heights else ""
    out = [f'<worksheet xmlns="{MAIN}"><sheetData>'.encode()]
    for r in range(1, n_rows + 1):
        cells = "".join(f'<c r="{gen.get_column_letter(c)}{r}"><v>{r + c}</v></c>'
                        for c in range(1, per_row + 1))
        out.append(f'<row r="{r}" spans="1:{per_row}"{attrs}>{cells}</row>'.encode())
    out.append(b"</sheetData></worksheet>")
    return gen.xlsx([b"".join(out)], compression=zipfile.ZIP_DEFLATED)


def child(side, data_path, n_rows):
    if side == "pure":
        os.environ["BRINDLE_NO_NATIVE"] = "1"
    import gc

    import brindle

    with open(data_path, "rb") as f:
        data = f.read()
    best = None
    for _ in range(3):
        gc.collect()
        t0 = time.perf_counter()
        wb = brindle.load_workbook(io.BytesIO(data))
        took = time.perf_counter() - t0
        best = took if best is None else min(best, took)
        del wb
    gc.collect()
    tracemalloc.start()
    wb = brindle.load_workbook(io.BytesIO(data))
    gc.collect()
    held = tracemalloc.get_traced_memory()[0]
    tracemalloc.stop()
    assert wb.active.row_dimensions is not None
    return {"seconds": best, "bytes_per_row": held / n_rows}


def main():
    if len(sys.argv) > 1 and sys.argv[1] == "--child":
        print(json.dumps(child(sys.argv[2], sys.argv[3], int(sys.argv[4]))))
        return
    n_rows = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
    per_row = int(sys.argv[2]) if len(sys.argv) > 2 else 2
    scratch = os.path.join(HERE, "..", "scratch")
    os.makedirs(scratch, exist_ok=True)
    print(f"{n_rows:,} rows x {per_row} cells")
    for side in ("engine", "pure"):
        got = {}
        for heights in (False, True):
            # Named for its size too: a file left by another size is not reused.
            path = os.path.join(scratch, f"row_heights_{n_rows}x{per_row}_{int(heights)}.xlsx")
            if not os.path.exists(path) or os.path.getmtime(path) < os.path.getmtime(__file__):
                with open(path, "wb") as f:
                    f.write(sheet_bytes(n_rows, per_row, heights))
            out = subprocess.run([sys.executable, __file__, "--child", side, path, str(n_rows)],
                                 check=True, capture_output=True, text=True).stdout
            got[heights] = json.loads(out)
            name = "with heights" if heights else "without"
            print(f"  {side:6} {name:12}: {got[heights]['seconds']:.3f} s, "
                  f"{got[heights]['bytes_per_row']:.1f} bytes/row")
        extra = got[True]["bytes_per_row"] - got[False]["bytes_per_row"]
        ratio = got[True]["seconds"] / got[False]["seconds"]
        print(f"  {side:6} heights cost {extra:.1f} bytes/row more and "
              f"{ratio:.2f}x the time (target: at most {TARGET:.0f}x, "
              f"{'met' if ratio <= TARGET else 'missed'})")


if __name__ == "__main__":
    main()
