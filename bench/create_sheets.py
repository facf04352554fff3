"""Cost of a new worksheet: `Workbook().create_sheet()` with the engine's store and without.

A new sheet of an engine workbook gets a `CellStore`; without the engine it
gets a dict. Times are the best of five runs of creating the sheets of one
workbook, in CPU time of this process. Run inside the dev environment:

    PYTHONPATH=src python3 bench/create_sheets.py [sheets]
"""

import sys
import time

import brindle


def best_time(native, sheets, repeat=5):
    best = None
    for _ in range(repeat):
        wb = brindle.Workbook(native=native)
        start = time.process_time()
        for _ in range(sheets):
            wb.create_sheet()
        spent = time.process_time() - start
        best = spent if best is None else min(best, spent)
    return best


def main():
    sheets = int(sys.argv[1]) if len(sys.argv) > 1 else 1000
    pure = best_time(False, sheets)
    print(f"pure Python: {sheets} sheets in {pure * 1e3:7.2f} ms ({pure / sheets * 1e6:6.1f} us each)")
    if brindle.native_available():
        native = best_time(True, sheets)
        print(f"engine:      {sheets} sheets in {native * 1e3:7.2f} ms "
              f"({native / sheets * 1e6:6.1f} us each, {native / pure:.2f}x pure Python)")
    else:
        print("engine not available:", brindle.native_available().reason)


if __name__ == "__main__":
    main()
