"""Mutated workbooks opened for editing, saved and opened again, the engine against
pure Python.

Seeds are whole packages the library writes (cells of every kind, styles, merged
cells, panes, widths, links, notes, names, two sheets) and one of the sheet
generator's. Each round mutates one or two of a seed's parts (bytes flipped,
fragments of sheet, style and package XML spliced in, runs cut or repeated), or
now and then the archive itself, and loads the result natively and in pure
Python. Both must give the same workbook (cells, styles, layout, warnings) or
the same InvalidFileError, never another exception; a workbook that loads is
saved both ways (the same parts, byte for byte) and loads again to the same
cells, styles and layout, with no warning the first load did not give. Each
round is also held to a cost per inflated byte, in time and (now and then,
under tracemalloc) in peak memory.

Bounded by time: BRINDLE_FUZZ_FULL_SECONDS (default 30 s under CI, 4 s
otherwise); BRINDLE_FUZZ_SEED picks another sequence.
"""

import datetime as dt
import io
import os
import random
import re
import time
import tracemalloc
import warnings
import zipfile

import brindle
import sheetgen as gen
from brindle.workbook.defined_names import DefinedName

SECONDS = float(os.environ.get("BRINDLE_FUZZ_FULL_SECONDS",
                               "30" if os.environ.get("CI") == "true" else "4"))
SEED = int(os.environ.get("BRINDLE_FUZZ_SEED", "20261208"))

# A round may take this long plus this much per inflated byte, and hold this
# much plus this much per inflated byte at its peak: generous, to catch costs
# that grow out of proportion with the input, not to time the library.
TIME_BASE, TIME_PER_BYTE = 2.0, 50e-6
MEMORY_BASE, MEMORY_PER_BYTE = 8 << 20, 1000

FRAGMENTS = [
    b"<", b">", b"/>", b"</c>", b"</row>", b'<row r="3">', b'<c r="B1" s="1">', b'<c t="s">',
    b"<v>1</v>", b"<v>99</v>", b"<f>A1+1</f>", b'<f t="shared" si="0"/>', b"&amp;", b"&#0;",
    b"\x00", b"\xff", b"\xc3", b"<!--", b"-->", b'"', b" s=\"\"", b" s=\"7\"",
    b' r="XFD1048576"', b' r="A0"', b"99999999999999999999", b"1e308", b"nan", b"inf",
    b"<sheetPr>" + b"<x>" * 300 + b"</x>" * 300 + b"</sheetPr>",
    b'<pane xSplit="inf" state="frozen"/>', b'<pane ySplit="2" topLeftCell="A3" state="frozen"/>',
    b'<mergeCell ref="A1:B2"/>', b'<mergeCell ref="B2:A1"/>', b'<col min="1" max="3" width="nan"/>',
    b'<hyperlink ref="A1" location="S!A1"/>', b'<hyperlink ref="ZZZ" r:id="rId9"/>',
    b'<xf numFmtId="14" fontId="9" applyAlignment="1"><alignment self="1" wrapText="1"/></xf>',
    b'<font><b/><sz val="0"/><self val="1"/></font>', b'<numFmt numFmtId="170" formatCode="yy"/>',
    b'<fill><patternFill patternType="solid"><fgColor rgb="FF00FF00"/></patternFill></fill>',
    b'<protection locked="0" cls="1"/>', b'<?xml version="1.0" encoding="x-foo"?>',
    b'<?xml version="1.0" encoding="latin-1"?>', b'<definedName name="n">S!$A$1</definedName>',
    b'<sheet name="S" sheetId="9" r:id="rId1"/>', b'<Relationship Id="rId9" Type="x" Target="../y"/>',
    b'<extLst><ext uri="u"><x:y xmlns:x="urn:x"/></ext></extLst>',
]


def _rich_book():
    wb = brindle.Workbook()
    ws = wb.active
    ws.title = "S"
    ws.append(["text", 1, 2.5, True, "=A1&B1", None, -1e-300, dt.date(2024, 1, 2)])
    ws.append([dt.datetime(2001, 2, 3, 4, 5, 6), dt.time(7, 8), "x&y<z>", 10**15, False])
    ws["B3"].font = brindle.Font(bold=True, size=14, color="FF0000FF")
    ws["C3"].number_format = "0.00%"
    ws["C3"] = 0.25
    ws.merge_cells("D4:E5")
    ws.freeze_panes = "B2"
    ws.column_dimensions["B"].width = 20
    ws["A6"].hyperlink = "https://example.com/a?b=c"
    ws["A7"].comment = brindle.Comment("a note", "me")
    other = wb.create_sheet("Other")
    other["A1"] = "=S!B1*2"
    other["B2"] = "second"
    wb.defined_names.append(DefinedName("Total", "S!$B$1:$B$2"))
    out = io.BytesIO()
    wb.save(out)
    return out.getvalue()


def _generated_book():
    rows, strings = gen.random_sheet(3, n_rows=10, n_cols=5)
    # Without ISO dates (t="d"): such a cell keeps the General format it was
    # read with, so it is saved as a plain number and does not round-trip.
    sheet = re.sub(rb'<c [^>]*t="d"[^>]*>.*?</c>', b"", gen.render(rows))
    return gen.package(sheet, strings)


def _members(data):
    with zipfile.ZipFile(io.BytesIO(data)) as z:
        return [(info.filename, z.read(info)) for info in z.infolist()]


SEEDS = [_members(_rich_book()), _members(_generated_book())]


def _mutate(rnd, data):
    data = bytearray(data)
    for _ in range(rnd.randint(1, 3)):
        at = rnd.randrange(len(data) + 1)
        op = rnd.random()
        if op < 0.45:
            data[at:at] = rnd.choice(FRAGMENTS)
        elif op < 0.6 and at < len(data):
            data[at] = rnd.randrange(256)
        elif op < 0.75:
            del data[at:at + rnd.randint(1, 40)]
        elif op < 0.95:
            piece = data[at:at + rnd.randint(1, 200)]
            data[at:at] = piece * rnd.randint(1, 3)
        else:
            del data[at:]
    return bytes(data)


def _package(rnd):
    members = list(rnd.choice(SEEDS))
    for _ in range(rnd.randint(1, 2)):
        k = rnd.randrange(len(members))
        name, data = members[k]
        members[k] = (name, _mutate(rnd, data))
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w", zipfile.ZIP_DEFLATED) as z:
        for name, data in members:
            z.writestr(name, data)
    data = out.getvalue()
    if rnd.random() < 0.05:  # the archive itself damaged
        data = _mutate(rnd, data)
    return data, sum(len(d) for _, d in members)


def rounds():
    """(round number, random generator, package, inflated size) for `SECONDS`, the
    same sequence for every run of one seed."""
    rnd = random.Random(f"{SEED}-full")
    end = time.monotonic() + SECONDS
    n = 0
    while n < 10 or time.monotonic() < end:
        data, inflated = _package(rnd)
        yield n, rnd, data, inflated
        n += 1


def view(wb):
    """What a workbook shows: per sheet, its cells with their styles, and its layout."""
    out = []
    for ws in wb.worksheets:
        cells = [(c.coordinate, repr(c.value), c.data_type, c.number_format, repr(c.font),
                  repr(c.fill), repr(c.border), repr(c.alignment), repr(c.protection),
                  c.hyperlink and (c.hyperlink.target, c.hyperlink.location),
                  c.comment and (c.comment.text, c.comment.author))
                 for row in ws.iter_rows() for c in row if c.value is not None
                 or c.has_style]
        out.append((ws.title, cells, ws.freeze_panes, sorted(str(r) for r in ws.merged_cells),
                    sorted((k, d.width) for k, d in ws.column_dimensions.items()
                           if d.width is not None)))
    return out


def load(data, native):
    """("invalid", message) or ("ok", view, warnings), and the workbook."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            wb = brindle.load_workbook(io.BytesIO(data), native=native)
        except brindle.InvalidFileError as exc:
            return ("invalid", str(exc)), None
        shown = view(wb)
    return ("ok", shown, [(w.category.__name__, str(w.message)) for w in caught]), wb


def saved_parts(wb):
    out = io.BytesIO()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        wb.save(out)
    return dict(_members(out.getvalue()))


def check_round(n, data, inflated, measure):
    if measure:
        tracemalloc.start()
    start = time.perf_counter()
    try:
        native, wb_native = load(data, True)
        pure, wb_pure = load(data, False)
        assert native == pure, f"round {n}: the engine and pure Python disagree"
        if native[0] == "ok":
            parts = saved_parts(wb_native)
            assert parts == saved_parts(wb_pure), f"round {n}: the saved parts differ"
            out = io.BytesIO()
            with zipfile.ZipFile(out, "w") as z:
                for name, body in parts.items():
                    z.writestr(name, body)
            for use_native in (True, False):
                again, _ = load(out.getvalue(), use_native)
                assert again[0] == "ok", f"round {n}: the saved workbook is refused: {again}"
                assert again[1] == native[1], f"round {n}: the cells changed in a round trip"
                new = set(again[2]) - set(native[2])
                assert not new, f"round {n}: new warnings after a round trip: {new}"
        elapsed = time.perf_counter() - start
        assert elapsed < TIME_BASE + TIME_PER_BYTE * inflated, \
            f"round {n}: {elapsed:.2f} s for {inflated} bytes"
        if measure:
            peak = tracemalloc.get_traced_memory()[1]
            assert peak < MEMORY_BASE + MEMORY_PER_BYTE * inflated, \
                f"round {n}: {peak} bytes at the peak for {inflated} bytes"
    finally:
        if measure:
            tracemalloc.stop()


def test_full_load_edit_save():
    outcomes = {"ok": 0, "invalid": 0}
    for n, rnd, data, inflated in rounds():
        check_round(n, data, inflated, measure=rnd.random() < 0.1)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            try:
                brindle.load_workbook(io.BytesIO(data))
                outcomes["ok"] += 1
            except brindle.InvalidFileError:
                outcomes["invalid"] += 1
    # Mutations that break everything, or nothing, test little.
    assert outcomes["ok"] and outcomes["invalid"], outcomes


def test_an_edit_after_the_load_round_trips():
    """The seeds loaded, edited (a value, a style, a removed cell, a new sheet) and
    saved both ways: the same parts, and the edits read back."""
    for members in SEEDS:
        out = io.BytesIO()
        with zipfile.ZipFile(out, "w", zipfile.ZIP_DEFLATED) as z:
            for name, body in members:
                z.writestr(name, body)
        books = []
        for native in (True, False):
            wb = brindle.load_workbook(io.BytesIO(out.getvalue()), native=native)
            ws = wb.worksheets[0]
            ws["B1"] = "edited"
            ws["C1"].font = brindle.Font(italic=True)
            del ws["A1"]
            wb.create_sheet("Added")["A1"] = 5
            books.append(wb)
        parts = [saved_parts(wb) for wb in books]
        assert parts[0] == parts[1]
        again = brindle.load_workbook(io.BytesIO(_zip(parts[0])))
        ws = again.worksheets[0]
        assert (ws["A1"].value, ws["B1"].value, ws["C1"].font.italic) == (None, "edited", True)
        assert again["Added"]["A1"].value == 5


def _zip(parts):
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w") as z:
        for name, body in parts.items():
            z.writestr(name, body)
    return out.getvalue()


def test_the_rounds_are_reproducible():
    first = [(data, size) for _, (_, _, data, size) in zip(range(5), rounds())]
    again = [(data, size) for _, (_, _, data, size) in zip(range(5), rounds())]
    assert first == again
