"""Throughput of the worksheet prescan without requested positions: native against pure Python.

A large worksheet is generated once in memory and streamed to each prescan
through a file object (`read(65536)` calls, as from an archive member). The
pure-Python prescan runs on a prefix-sized worksheet of the same shape and
its time is scaled to the full size; both results are checked against each
other on that smaller worksheet. Times are CPU times of this process. Run
inside the dev environment:

    PYTHONPATH=src python3 bench/bench_prescan.py [megabytes] [pure megabytes]
"""

import io
import sys
import time
import os

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "support"))

import sheetgen as gen
from testkit import make_helpers
from pure_prescan import prescan_sheet as pure_prescan

CELLS_PER_MB = 1e6 / 43  # about 43 bytes per generated cell


def sheet(megabytes):
    data = b"".join(gen.stream_sheet(int(megabytes * CELLS_PER_MB), n_cols=10))
    return data


def timed(fn, data, want_rows, repeat=1):
    best = None
    for _ in range(repeat):
        source = io.BytesIO(data)
        start = time.process_time()
        result = fn(source, want_rows, None, make_helpers())
        spent = time.process_time() - start
        best = spent if best is None else min(best, spent)
    return best, result


def main():
    big_mb = float(sys.argv[1]) if len(sys.argv) > 1 else 220
    small_mb = float(sys.argv[2]) if len(sys.argv) > 2 else 10
    try:
        from brindle._brindle import prescan_sheet as native_prescan
    except ImportError:
        native_prescan = None
    big = sheet(big_mb)
    small = sheet(small_mb)
    print(f"native on {len(big) / 1e6:.1f} MB, pure Python on {len(small) / 1e6:.1f} MB (scaled)")
    for want_rows in (True, False):
        py_time, py_result = timed(pure_prescan, small, want_rows)
        py_scaled = py_time * len(big) / len(small)
        label = f"want_rows={want_rows!s:5}"
        line = f"{label}: python {len(small) / py_time / 1e9:6.3f} GB/s ({py_scaled:7.2f} s scaled)"
        if native_prescan is not None:
            _, check = timed(native_prescan, small, want_rows)
            if check != py_result:
                raise SystemExit("native and pure-Python prescans disagree")
            nat_time, _ = timed(native_prescan, big, want_rows, repeat=3)
            line += (f"; native {len(big) / nat_time / 1e9:6.3f} GB/s ({nat_time:6.3f} s)"
                     f"; ratio {py_scaled / nat_time:6.1f}x")
        print(line)


if __name__ == "__main__":
    main()
