#!/usr/bin/env python3
"""Saving in-memory worksheets: the native `SheetWriter.write_sheet_data`
against the pure-Python row writer, and `Workbook.save` end to end against
the pure-Python save and xlsxwriter writing the same cells.

    PYTHONPATH=src python3 bench/write_sheet_data.py [CELLS] [--lxml]

The sheet has CELLS cells (default 1,000,000) in rows of ten: integers,
floats, short strings, dates, booleans, a formula, and a bold, filled cell
every tenth row. A last section loads the saved sheet into a CellStore and
writes it back from the store's records. Times are CPU seconds, best of
three, in this process; the workbooks are built once, outside the timing.
"""
import datetime as dt
import io
import os
import sys
import time
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "src"))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "support"))

import brindle  # noqa: E402
from brindle import _brindle as m  # noqa: E402
from brindle.writer.cell import make_writer_helpers  # noqa: E402
from brindle.writer.rows import write_rows  # noqa: E402

REPEAT = 3
START = dt.datetime(2024, 1, 1)
COLS = 10


def values(r):
    return [r, r * 0.25, f"item {r % 1000}", START + dt.timedelta(minutes=r), r % 3 == 0,
            f"=A{r + 1}*2", "é ∑ <&>", -r, 1e-7 * r, dt.date(2024, 1, 1 + r % 28)]


def build(n_rows, lxml):
    wb = brindle.Workbook(lxml=lxml)
    ws = wb.active
    bold, fill = brindle.Font(bold=True), brindle.PatternFill("FFFF00")
    for r in range(n_rows):
        ws.append(values(r))
        if r % 10 == 0:
            cell = ws.cell(r + 1, 3)
            cell.font, cell.fill = bold, fill
    return wb


def best(fn):
    times = []
    for _ in range(REPEAT):
        t = time.process_time()
        fn()
        times.append(time.process_time() - t)
    return min(times)


def sink():
    size = [0]

    def write(text):
        size[0] += len(text)

    return write, size


def native_sheet_data(ws, lxml):
    write, size = sink()
    m.SheetWriter(ws, write, lxml, make_writer_helpers(lxml)).write_sheet_data(None)
    return size[0]


def pure_sheet_data(ws, lxml):
    write, size = sink()
    write_rows(ws, write, lxml)
    return size[0]


def xlsxwriter_save(n_rows):
    import xlsxwriter

    out = io.BytesIO()
    wb = xlsxwriter.Workbook(out, {"in_memory": True})
    ws = wb.add_worksheet()
    bold = wb.add_format({"bold": True, "bg_color": "#FFFF00"})
    date_fmt = wb.add_format({"num_format": "yyyy-mm-dd h:mm:ss"})
    for r in range(n_rows):
        row = values(r)
        for c, v in enumerate(row):
            if isinstance(v, (dt.date, dt.datetime)):
                ws.write_datetime(r, c, v, date_fmt)
            elif c == 2 and r % 10 == 0:
                ws.write(r, c, v, bold)
            else:
                ws.write(r, c, v)
    wb.close()
    return out


def loaded_store(data, lxml):
    """The first sheet of a saved workbook, loaded into a CellStore."""
    from testkit import make_helpers, make_parser
    from brindle.styles.cell_style import StyleArray

    wb = brindle.Workbook(lxml=lxml)
    for k in range(1, 4):
        wb._cell_styles.add(StyleArray([k] * 9))
    ws = wb.active
    store = m.CellStore()
    part = zipfile.ZipFile(io.BytesIO(data)).read("xl/worksheets/sheet1.xml")
    m.bind_cells(io.BytesIO(part), make_parser(date_formats={1, 2}), ws, store,
                 wb._cell_styles, brindle.Cell, make_helpers(), [])
    ws._cells = store
    return ws


def main():
    args = [a for a in sys.argv[1:] if not a.startswith("--")]
    lxml = "--lxml" in sys.argv
    cells = int(args[0]) if args else 1_000_000
    n_rows = cells // COLS
    print(f"{n_rows * COLS:,} cells, {'lxml' if lxml else 'ElementTree'} form")
    wb = build(n_rows, lxml)
    ws = wb.active

    assert native_sheet_data(ws, lxml) == pure_sheet_data(ws, lxml)
    t_native = best(lambda: native_sheet_data(ws, lxml))
    t_pure = best(lambda: pure_sheet_data(ws, lxml))
    print(f"write_sheet_data  native {t_native:7.3f} s  ({cells / t_native / 1e6:5.2f} M cells/s)")
    print(f"write_rows        pure   {t_pure:7.3f} s  ({cells / t_pure / 1e6:5.2f} M cells/s)"
          f"  -> native {t_pure / t_native:4.1f}x")

    def save(native):
        wb.native = native
        out = io.BytesIO()
        wb.save(out)
        return out

    t_save_native = best(lambda: save(True))
    t_save_pure = best(lambda: save(False))
    print(f"Workbook.save     native {t_save_native:7.3f} s")
    print(f"Workbook.save     pure   {t_save_pure:7.3f} s  -> native {t_save_pure / t_save_native:4.1f}x")
    try:
        t_xw = best(lambda: xlsxwriter_save(n_rows))
        print(f"xlsxwriter        save   {t_xw:7.3f} s  -> native {t_xw / t_save_native:4.1f}x")
    except ImportError:
        print("xlsxwriter        not installed")

    data = save(True).getvalue()
    loaded = loaded_store(data, lxml)
    t_store = best(lambda: native_sheet_data(loaded, lxml))
    cells_in, materialised = loaded._cells._stats()[:2]
    print(f"from a CellStore  native {t_store:7.3f} s  ({cells_in / t_store / 1e6:5.2f} M cells/s),"
          f" {materialised} of {cells_in:,} cells materialised")


if __name__ == "__main__":
    main()
