"""XML reading: the native reader against the host's pure-Python path.

Builds a worksheet-shaped document, times ElementTree's pull parser over it
(what the pure-Python loader runs) and the native reader (bench program built
with the tests), and prints both throughputs and their ratio.

    python3 bench/xml_reader.py [ROWS]
"""

import pathlib
import subprocess
import sys
import tempfile
import time
import xml.etree.ElementTree as ET

ROOT = pathlib.Path(__file__).resolve().parents[1]
TOOL = ROOT / "build" / "dev" / "bench" / "xml_reader_bench"


def worksheet(rows):
    parts = ['<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n'
             '<worksheet xmlns="http://schemas.openxmlformats.org/spreadsheetml/2006/main" '
             'xmlns:r="http://schemas.openxmlformats.org/officeDocument/2006/relationships"><sheetData>']
    for i in range(1, rows + 1):
        parts.append(f'<row r="{i}" spans="1:6">')
        for col in "ABCDEF":
            if col == "C":
                parts.append(f'<c r="{col}{i}" t="s"><v>{i % 97}</v></c>')
            elif col == "E":
                parts.append(f'<c r="{col}{i}" s="2"><f>A{i}*2</f><v>{i * 2}</v></c>')
            else:
                parts.append(f'<c r="{col}{i}" s="1"><v>{i * 1.5}</v></c>')
        parts.append("</row>")
    parts.append("</sheetData></worksheet>")
    return "".join(parts).encode()


def shared_strings(count):
    parts = ['<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n'
             '<sst xmlns="http://schemas.openxmlformats.org/spreadsheetml/2006/main"'
             f' count="{count}" uniqueCount="{count}">']
    for i in range(count):
        if i % 10 == 0:
            parts.append(f'<si><r><rPr><b/><sz val="11"/></rPr><t>Bold {i}</t></r>'
                         '<r><t xml:space="preserve"> and plain</t></r></si>')
        else:
            parts.append(f'<si><t>Item number {i} &amp; caf\u00e9</t></si>')
    parts.append("</sst>")
    return "".join(parts).encode()


def python_pull(data):
    best = 1e30
    for _ in range(3):
        t0 = time.perf_counter()
        p = ET.XMLPullParser(events=("start", "end"))
        for i in range(0, len(data), 65536):
            p.feed(data[i:i + 65536])
            for _ in p.read_events():
                pass
        p.close()
        best = min(best, time.perf_counter() - t0)
    return best


def compare(name, data):
    with tempfile.NamedTemporaryFile(suffix=".xml") as f:
        f.write(data)
        f.flush()
        out = subprocess.run([str(TOOL), f.name, "5"], capture_output=True, text=True, check=True).stdout
    native = float(out.split()[0])
    py = python_pull(data)
    mb = len(data) / 1e6
    print(f"{name}: {mb:.1f} MB")
    print(f"  ElementTree pull parser: {py:.3f} s ({mb / py:.0f} MB/s)")
    print(f"  native reader:           {native:.3f} s ({mb / native:.0f} MB/s)")
    print(f"  ratio: {py / native:.1f}x")


def main():
    rows = int(sys.argv[1]) if len(sys.argv) > 1 else 50000
    if not TOOL.exists():
        sys.exit(f"{TOOL} is not built (tools/build)")
    compare(f"worksheet, {rows} rows", worksheet(rows))
    compare(f"shared strings, {rows * 4} items", shared_strings(rows * 4))


if __name__ == "__main__":
    main()
