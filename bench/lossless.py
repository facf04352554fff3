#!/usr/bin/env python3
"""Load, edit one cell, save: a workbook with pictures and charts against the
same workbook without them, natively and in pure Python, and against
LibreOffice's and Gnumeric's xlsx-to-xlsx conversion of it.

    PYTHONPATH=src python3 bench/lossless.py [CELLS] [PICTURE_MIB]

The worksheet holds CELLS cells (100,000 rows by default of ten columns:
numbers, text, dates, formulas); the rich copy adds PICTURE_MIB MiB of
pictures (incompressible pixels, as photographs are) in five PNG files and
three charts. Carried parts are copied as stored, so the rich copy should
cost little more than the plain one. Each figure is the best of three runs
(the pure-Python path and the peers run once).
"""
import io
import os
import random
import shutil
import struct
import subprocess
import sys
import tempfile
import time
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "src"))

import brindle  # noqa: E402


def png(side, rng):
    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data
                + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))

    rows = b"".join(b"\x00" + rng.randbytes(3 * side) for _ in range(side))
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", side, side, 8, 2,
                                                               0, 0, 0))
            + chunk(b"IDAT", zlib.compress(rows, 1)) + chunk(b"IEND", b""))


def make(path, n_cells, picture_mib):
    import datetime as dt

    import xlsxwriter

    book = xlsxwriter.Workbook(str(path), {"constant_memory": True})
    ws = book.add_worksheet("Data")
    date = book.add_format({"num_format": "yyyy-mm-dd"})
    rows = n_cells // 10
    for r in range(rows):
        ws.write_number(r, 0, r)
        ws.write_number(r, 1, r * 0.5)
        ws.write_string(r, 2, f"item {r % 1000}")
        ws.write_datetime(r, 3, dt.datetime(2024, 1, 1) + dt.timedelta(days=r % 365), date)
        ws.write_formula(r, 4, f"=A{r + 1}*2", None, r * 2)
        for c in range(5, 10):
            ws.write_number(r, c, r + c)
    if picture_mib:
        rng = random.Random(7)
        side = int((picture_mib * (1 << 20) / 5 / 3) ** 0.5)
        for i in range(5):
            ws.insert_image(2 + 30 * i, 12, f"p{i}.png",
                            {"image_data": io.BytesIO(png(side, rng)), "x_scale": 0.05,
                             "y_scale": 0.05})
        for i, kind in enumerate(("line", "bar", "pie")):
            chart = book.add_chart({"type": kind})
            chart.add_series({"values": f"=Data!$B$1:$B${min(rows, 1000)}"})
            ws.insert_chart(2 + 30 * i, 20, chart)
    book.close()


def brindle_job(src, dst, native):
    start = time.perf_counter()
    wb = brindle.load_workbook(src, native=native)
    wb["Data"]["A1"] = -1
    wb.save(dst)
    return time.perf_counter() - start


def best(fn, runs):
    return min(fn() for _ in range(runs))


def peer(cmd):
    start = time.perf_counter()
    subprocess.run(cmd, check=True, capture_output=True, timeout=3600)
    return time.perf_counter() - start


def main():
    n_cells = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
    picture_mib = int(sys.argv[2]) if len(sys.argv) > 2 else 50
    tmp = tempfile.mkdtemp(prefix="brindle-bench-")
    try:
        plain, rich = os.path.join(tmp, "plain.xlsx"), os.path.join(tmp, "rich.xlsx")
        make(plain, n_cells, 0)
        make(rich, n_cells, picture_mib)
        out = os.path.join(tmp, "out.xlsx")
        print(f"{n_cells:,} cells; rich copy {os.path.getsize(rich) / 2**20:.1f} MiB "
              f"(plain {os.path.getsize(plain) / 2**20:.1f} MiB)")
        t_plain = best(lambda: brindle_job(plain, out, True), 3)
        t_rich = best(lambda: brindle_job(rich, out, True), 3)
        print(f"native load+edit+save  plain {t_plain:6.2f} s   rich {t_rich:6.2f} s   "
              f"rich/plain {t_rich / t_plain:.2f}x (target <= 1.2x)")
        t_pure = brindle_job(rich, out, False)
        print(f"pure Python, rich      {t_pure:6.2f} s   ({t_pure / t_rich:.1f}x the engine)")
        soffice = shutil.which("soffice")
        if soffice:
            outdir = os.path.join(tmp, "lo")
            t = peer([soffice, f"-env:UserInstallation=file://{tmp}/profile", "--headless",
                      "--norestore", "--convert-to", "xlsx:Calc MS Excel 2007 XML",
                      "--outdir", outdir, rich])
            print(f"LibreOffice xlsx->xlsx {t:6.2f} s   ({t / t_rich:.1f}x brindle; "
                  "target >= 10x)")
        ssconvert = shutil.which("ssconvert")
        if ssconvert:
            t = peer([ssconvert, rich, os.path.join(tmp, "gnumeric.xlsx")])
            print(f"Gnumeric xlsx->xlsx    {t:6.2f} s   ({t / t_rich:.1f}x brindle; "
                  "target >= 10x)")
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    main()
