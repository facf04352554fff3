"""Shared-formula expansion: the C++ translator against the host Translator.

Prints, per master formula, the time per dependent cell of both and their
ratio. Needs the C++ build (tools/build); run inside the dev environment:
    PYTHONPATH=src python3 bench/formula_translate.py [build/dev]
"""

import subprocess
import sys
import time
from pathlib import Path

from brindle.formula import Translator
from brindle.utils.cell import get_column_letter

MASTERS = ["=A1*2", "=SUM($A1:D1)/COUNT(Sheet1!A1:A100)",
           "=IF(B2>0,'Data Sheet'!C2&\" ok\",#N/A)"]


def host_ns(master, cells):
    dests = [f"{get_column_letter(1 + r % 7)}{2 + r % 1_000_000}" for r in range(cells)]
    start = time.perf_counter()
    translator = Translator(master, "A1")
    for dest in dests:
        translator.translate_formula(dest)
    return (time.perf_counter() - start) * 1e9 / cells


def main():
    build = Path(sys.argv[1] if len(sys.argv) > 1 else "build/dev")
    binary = build / "bench" / "formula_translate_bench"
    native = subprocess.run([str(binary), "1000000", *MASTERS], check=True, capture_output=True,
                            text=True).stdout.splitlines()
    print("host ns/cell\tnative ns/cell\tratio\tmaster")
    for master, line in zip(MASTERS, native):
        ns = float(line.split("\t")[0])
        host = host_ns(master, 20_000)
        print(f"{host:.0f}\t{ns:.1f}\t{host / ns:.0f}x\t{master}")


if __name__ == "__main__":
    main()
