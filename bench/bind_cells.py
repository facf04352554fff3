#!/usr/bin/env python3
"""Full-mode loading of one worksheet: the engine's bind_cells into a
CellStore against the pure-Python parse into a dict of Cells.

    PYTHONPATH=src python3 bench/bind_cells.py [CELLS] [--no-memory]

The worksheet is built in memory: ten columns of integers, styled floats,
shared strings, dates, plain formulas (shifted copies of one shape, as
spreadsheet programs write them), a shared-formula group, more shared
strings and integers, booleans and inline-free text cells. Both loaders
read it from an in-memory file object; times are CPU times, best of five
for the engine, one run for pure Python. Afterwards every value is read
once, the way `Worksheet.values` walks the rows (`CellStore._row` with
values only, against `dict.get` and `.value` per position).

Resident memory per cell is measured in child processes: the growth of
the resident set across one load, with the XML already in memory, for
the mixed sheet and for a sheet of numbers and shared strings only.
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
from testkit import Cell, make_helpers, make_parser  # noqa: E402
from brindle.styles.cell_style import StyleArray  # noqa: E402

N_COLS = 10
STRINGS = [f"string {i}" for i in range(1000)]
STYLES = [StyleArray([0] * 9), StyleArray([0, 0, 0, 14, 0, 0, 0, 0, 0]), StyleArray([1] * 9),
          StyleArray([2] * 9)]
TARGETS = {"cells/s": 10e6, "bytes/cell": 16, "values ratio": 5}


def engine():
    try:
        from brindle import _brindle
    except ImportError:
        return None
    return _brindle


def sheet(n_cells, kinds="mixed"):
    """The worksheet XML of about `n_cells` cells."""
    n_rows = max(2, n_cells // N_COLS)
    out = [f'<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n'
           f'<worksheet xmlns="{gen.MAIN}"><dimension ref="A1:J{n_rows}"/>'
           '<sheetViews><sheetView workbookViewId="0"/></sheetViews><sheetData>']
    for r in range(1, n_rows + 1):
        p = [f'<row r="{r}" spans="1:10">']
        if kinds == "numbers":
            for c, col in enumerate("ABCDEFGHIJ"):
                if c % 2:
                    p.append(f'<c r="{col}{r}" t="s"><v>{(r * 7 + c) % 1000}</v></c>')
                else:
                    p.append(f'<c r="{col}{r}"><v>{(r * 7919 + c) % 1000003}</v></c>')
        else:
            p.append(f'<c r="A{r}"><v>{(r * 7919) % 1000003}</v></c>')
            p.append(f'<c r="B{r}" s="2"><v>{r * 0.25 + 0.125!r}</v></c>')
            p.append(f'<c r="C{r}" t="s"><v>{r % 1000}</v></c>')
            p.append(f'<c r="D{r}" s="1"><v>{40000 + r % 5000}</v></c>')
            p.append(f'<c r="E{r}"><f>A{r}*2+B{r}</f><v>{r}</v></c>')
            if r == 1:
                p.append(f'<c r="F{r}"><f t="shared" ref="F1:F{n_rows}" si="0">A1+C$1</f>'
                         f'<v>1</v></c>')
            else:
                p.append(f'<c r="F{r}"><f t="shared" si="0"/><v>{r}</v></c>')
            p.append(f'<c r="G{r}" t="s"><v>{(r * 13) % 1000}</v></c>')
            p.append(f'<c r="H{r}" s="3"><v>{r % 97}</v></c>')
            p.append(f'<c r="I{r}" t="b"><v>{r & 1}</v></c>')
            p.append(f'<c r="J{r}" t="str"><v>label {r % 50}</v></c>')
        p.append("</row>")
        out.append("".join(p))
    out.append('</sheetData><pageMargins left="0.7" right="0.7" top="0.75" bottom="0.75"'
               ' header="0.3" footer="0.3"/></worksheet>')
    return "".join(out).encode(), n_rows


def parser():
    return make_parser(shared_strings=STRINGS, date_formats={1})


def native_load(m, data):
    store = m.CellStore()
    m.bind_cells(io.BytesIO(data), parser(), "ws", store, STYLES, Cell, make_helpers(), [])
    return store


def pure_load(data):
    """The host's loader in pure Python: every cell a Cell with a copy of its style."""
    p = parser()
    p.source = io.BytesIO(data)
    cells = {}
    for item in p.parse(make_helpers()):
        if item[0] != "row":
            continue
        for row, col, value, data_type, style, _f, _c in item[2]:
            cell = Cell("ws", row, col, style_array=STYLES[style])
            cell._value = value
            cell.data_type = data_type
            cells[(row, col)] = cell
    return cells


def cpu(fn, repeat):
    best, result = None, None
    for _ in range(repeat):
        result = None
        t = time.process_time()
        result = fn()
        dt = time.process_time() - t
        best = dt if best is None else min(best, dt)
    return best, result


def store_values(store, n_rows):
    row = store._row
    for r in range(1, n_rows + 1):
        row(r, 1, N_COLS, True)


def dict_values(cells, n_rows):
    get = cells.get
    for r in range(1, n_rows + 1):
        tuple(get((r, c)).value for c in range(1, N_COLS + 1))


def child_memory(n_cells, kinds, which):
    """Resident bytes per cell of one load, measured in this (child) process."""
    data, _ = sheet(n_cells, kinds)

    def rss():
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

    import gc
    gc.collect()
    before = rss()
    kept = native_load(engine(), data) if which == "native" else pure_load(data)
    gc.collect()
    after = rss()
    return {"bytes_per_cell": (after - before) / len(kept)}


def memory(n_cells, kinds, which):
    out = subprocess.run([sys.executable, __file__, "--child", str(n_cells), kinds, which],
                         capture_output=True, text=True, check=True)
    return json.loads(out.stdout)["bytes_per_cell"]


def main():
    args = [a for a in sys.argv[1:] if not a.startswith("--")]
    if "--child" in sys.argv:
        print(json.dumps(child_memory(int(args[0]), args[1], args[2])))
        return
    n = int(args[0]) if args else 1_000_000
    m = engine()
    if m is None:
        sys.exit("the engine is not built")
    data, n_rows = sheet(n)
    print(f"worksheet: {n_rows * N_COLS:,} cells, {len(data) / 1e6:.1f} MB of XML")

    t_native, store = cpu(lambda: native_load(m, data), 5)
    cells_n = len(store)
    t_pure, cells = cpu(lambda: pure_load(data), 1)
    assert len(cells) == cells_n
    for key in [(1, 1), (2, 2), (3, 4), (n_rows, 5), (n_rows, 6), (7, 10), (n_rows // 2, 9)]:
        a, b = store[key], cells[key]
        assert (a.value, a.data_type, list(a._style)) == (b.value, b.data_type, list(b._style)), key
    store = native_load(m, data)  # nothing materialised for the walk below
    print(f"bind_cells:     {t_native:7.3f} s  {cells_n / t_native / 1e6:6.2f} M cells/s  "
          f"{len(data) / t_native / 1e6:6.0f} MB/s  (stats {store._stats()})")
    print(f"pure Python:    {t_pure:7.3f} s  {cells_n / t_pure / 1e6:6.2f} M cells/s  "
          f"ratio {t_pure / t_native:5.1f}x")

    t_sv, _ = cpu(lambda: store_values(store, n_rows), 3)
    t_dv, _ = cpu(lambda: dict_values(cells, n_rows), 3)
    print(f"every value:    store {t_sv:6.3f} s, dict of cells {t_dv:6.3f} s  "
          f"ratio {t_dv / t_sv:5.1f}x")
    cells = None  # the dict of cells is freed before the memory runs

    if "--no-memory" not in sys.argv:
        for kinds in ("mixed", "numbers"):
            nb = memory(n, kinds, "native")
            pb = memory(n, kinds, "pure")
            print(f"memory ({kinds:7}): store {nb:6.1f} bytes/cell, dict of cells {pb:6.1f} "
                  f"bytes/cell")
    print(f"targets: >= {TARGETS['cells/s'] / 1e6:.0f} M cells/s, <= {TARGETS['bytes/cell']} "
          f"bytes per numeric or shared-string cell, values >= {TARGETS['values ratio']}x")


if __name__ == "__main__":
    main()
