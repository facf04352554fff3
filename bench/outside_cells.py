#!/usr/bin/env python3
"""What a worksheet's elements besides its cells cost a load: a million empty
elements nobody keeps, and 16,000 kept elements under 16,000 namespace
declarations on the root (each element must be read again on its own, with
the declarations it uses). Both shapes are small files that once took
minutes; a load must stay linear in what the part holds.

    PYTHONPATH=src python3 bench/outside_cells.py [UNKNOWN] [DECLARATIONS]

Prints, for the engine and pure Python, full and read-only mode, the best of
three loads by the processor time the load took (a shared machine's stolen
time left out), the ratio of pure Python to the engine, and whether each
is within its target: at least a million unknown elements a second, and
the declarations shape in under a second.
"""
import gc
import io
import os
import sys
import time
import warnings
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "src"))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "support"))

import brindle  # noqa: E402
import sheetgen as gen  # noqa: E402

MAIN = "http://schemas.openxmlformats.org/spreadsheetml/2006/main"


def sheet(tail, ns=""):
    return (f'<worksheet xmlns="{MAIN}"{ns}><sheetData><row r="1"><c r="A1"><v>1</v></c></row>'
            f"</sheetData>{tail}</worksheet>")


def load(data, native, read_only):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        gc.collect()
        t0 = time.process_time()
        wb = brindle.load_workbook(io.BytesIO(data), native=native, read_only=read_only)
        if read_only:
            for _ in wb.active.iter_rows():
                pass
            wb.close()
        return time.process_time() - t0


def main():
    unknown = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
    n_decl = int(sys.argv[2]) if len(sys.argv) > 2 else 16_000
    decl = "".join(f' xmlns:p{i}="urn:{i}"' for i in range(n_decl))
    shapes = [
        (f"{unknown:,} unknown elements", unknown,
         gen.xlsx([sheet("<u/>" * unknown)], compression=zipfile.ZIP_DEFLATED)),
        (f"{n_decl:,} declarations x {n_decl:,} kept elements", None,
         gen.xlsx([sheet('<ignoredErrors><ignoredError sqref="A1" p7:x="1"/></ignoredErrors>'
                         * n_decl, ns=decl)], compression=zipfile.ZIP_DEFLATED)),
    ]
    for title, count, data in shapes:
        print(f"{title} ({len(data):,} bytes packed)")
        for read_only in (False, True):
            took = {native: min(load(data, native, read_only) for _ in range(3))
                    for native in (True, False)}
            mode = "read-only" if read_only else "full"
            for native, seconds in took.items():
                side = "engine" if native else "pure"
                if count is None:
                    verdict = f"target under 1 s: {'met' if seconds < 1 else 'missed'}"
                else:
                    rate = count / seconds
                    verdict = (f"{rate / 1e6:.2f} M/s, target at least 1 M/s: "
                               f"{'met' if rate >= 1e6 else 'missed'}")
                print(f"  {mode:9} {side:6}: {seconds:.3f} s  {verdict}")
            print(f"  {mode:9} pure / engine: {took[False] / took[True]:.1f}x")


if __name__ == "__main__":
    main()
