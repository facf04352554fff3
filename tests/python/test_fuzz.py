"""Mutated real sheets through every entry point, the engine against pure Python.

Seeds are sheets of every kind of value and syntax (the generator's, one
written by the library itself, a shared-string table); each round mutates
one with a seeded random generator (bytes flipped, XML fragments spliced in,
runs cut or repeated) and hands it to read_string_table, find_dimension,
prescan_sheet, RowReader, bind_cells and, with the cells the pure reader
finds, to SheetWriter (row by row, and whole sheet data). The engine must give the pure-Python result, or the
same exception, or decline with NativeFallback for a reason of its own.

Bounded by time: a few seconds in CI. BRINDLE_FUZZ_SECONDS=600 (per entry
point) runs longer; BRINDLE_FUZZ_SEED picks another sequence.
"""

import io
import os
import random
import time
import zipfile

import pytest

import brindle
from brindle import _brindle as m
import sheetgen as gen
from testkit import make_helpers, make_parser
from brindle.reader import dimension, rows, string_table
from brindle.writer.cell import make_writer_helpers
from brindle.writer.sheet import write_sheet_data
from pure_sheet_writer import SheetWriter
import pure_prescan as prescan
from bind_check import check as check_bind

SECONDS = float(os.environ.get("BRINDLE_FUZZ_SECONDS", "0.6"))
SEED = int(os.environ.get("BRINDLE_FUZZ_SEED", "20261208"))
MAIN = gen.MAIN

FRAGMENTS = [b"<", b">", b"/>", b"</c>", b"</row>", b"<row>", b'<row r="3">', b"<c>", b'<c r="B1">',
             b'<c t="s">', b'<c t="inlineStr"><is><t>x</t></is></c>', b"<v>", b"</v>", b"<v>1</v>",
             b"<f>A1+1</f>", b'<f t="shared" si="0"/>', b"&amp;", b"&#0;", b"&#x41;", b"&bogus;",
             b"\x00", b"\xff", b"\xc3", b"\xe2\x82", b"]]>", b"<![CDATA[", b"<!--", b"-->", b'"',
             b"'", b" r=\"A1\"", b" s=\"1\"", b"\r\n", b"<x:y xmlns:x='urn:x'/>", b"<dimension ref='A1:B2'/>",
             b"<mergeCells/>", b"1e308", b"-0", b"99999999999999999999", b"<si><t>z</t></si>",
             b"<r><t>a</t></r>", b"<rPr><b/></rPr>"]


def seeds():
    out = []
    for seed in range(3):
        rows_, strings = gen.random_sheet(seed, n_rows=12, n_cols=6)
        syntax = gen.Syntax(prefix="x" if seed == 1 else "", newline="\n" if seed else "",
                            odd_attrs=seed == 2)
        out.append(gen.render(rows_, syntax))
    wb = brindle.Workbook()
    ws = wb.active
    ws.append(["text", 1, 2.5, True, "=A1&B1", None, -1e-300])
    ws.append([brindle.Cell(ws, 2, 1, "x"), 3])
    buf = io.BytesIO()
    wb.save(buf)
    with zipfile.ZipFile(buf) as z:
        out.append(z.read("xl/worksheets/sheet1.xml"))
    return out


SHEETS = seeds()
SST = (f'<sst xmlns="{MAIN}"><si><t>alpha</t></si><si><t xml:space="preserve"> b </t></si>'
       '<si><r><rPr><b/><sz val="9"/></rPr><t>r1</t></r><r><t>r2</t></r></si>'
       '<si><t>x&amp;y&#10;_x000D_</t><rPh><t>p</t></rPh></si><si/></sst>').encode()


def mutate(rnd, data):
    data = bytearray(data)
    for _ in range(rnd.randint(1, 4)):
        at = rnd.randrange(len(data) + 1)
        op = rnd.random()
        if op < 0.3:
            data[at:at] = rnd.choice(FRAGMENTS)
        elif op < 0.5 and at < len(data):
            data[at] = rnd.randrange(256)
        elif op < 0.7:
            del data[at:at + rnd.randint(1, 40)]
        elif op < 0.85:
            piece = data[at:at + rnd.randint(1, 200)]
            data[at:at] = piece * rnd.randint(1, 3)
        else:
            del data[at:]
    return bytes(data)


def outcome(fn):
    try:
        return ("ok", fn())
    except m.NativeFallback as e:
        return ("fallback", e.args[0])
    except Exception as e:  # noqa: BLE001 - the pure reader's exception is the expectation
        return ("error", f"{type(e).__qualname__}: {e}")


def agree(native, pure, wrapped=False, raw_scan=False):
    """The engine's outcome stands for the pure one: equal, or declined for its own reason.

    `wrapped`: the row reader folds exceptions into NativeFallback; the pure
    reader must then fail the same way. `raw_scan`: the prescan does not parse cell
    contents, so it may answer where the pure prescan finds them malformed.
    """
    if native[0] == "fallback":
        reason = native[1]
        if wrapped and reason.startswith("native reader error: "):
            inner = reason.removeprefix("native reader error: ")
            assert pure == ("error", inner), (native, pure)
        else:
            assert reason.startswith(("malformed: ", "unsupported: ")), (native, pure)
    elif raw_scan and pure[0] == "error" and pure[1].startswith("ParseError"):
        # Content the raw scan passes over unparsed: it may answer, or meet
        # a host error further on, where the pure prescan stops at the XML.
        pass
    else:
        assert native == pure


def rounds(name):
    """(random generator, input) pairs for `SECONDS`, the same for every run of one seed."""
    rnd = random.Random(f"{SEED}-{name}")
    end = time.monotonic() + SECONDS
    n = 0
    while n < 20 or time.monotonic() < end:
        yield rnd, mutate(rnd, rnd.choice(SHEETS if name != "sst" else [SST]))
        n += 1


def read_rows(cls, data, mode):
    parser = make_parser(shared_strings=["s0", "s1", "s2"], date_formats={1})
    r = cls(io.BytesIO(data), parser, make_helpers())
    out = []
    while True:
        if mode == "raw":
            row = r.next_raw()
        else:
            row = r.next_row("ws", 1, None, mode == "values", rows.ReadOnlyCell, None)
        if row is None:
            return out, r.actions, parser.row_dimensions
        if mode == "cells":
            row = (row[0], [c if c is None else (c.row, c.column, c._value, c.data_type,
                                                 c._style_id) for c in row[1]])
        out.append(row)


def test_row_reader():
    for rnd, data in rounds("rows"):
        mode = rnd.choice(["raw", "values", "cells"])
        agree(outcome(lambda: read_rows(m.RowReader, data, mode)),
              outcome(lambda: read_rows(rows.RowReader, data, mode)), wrapped=True)


def test_prescan_and_dimension():
    for rnd, data in rounds("prescan"):
        want = rnd.random() < 0.5
        corners = [(rnd.randint(1, 9), rnd.randint(1, 6)) for _ in range(3)]
        agree(outcome(lambda: m.prescan_sheet(io.BytesIO(data), want, corners, make_helpers())),
              outcome(lambda: prescan.prescan_sheet(io.BytesIO(data), want, corners,
                                                    make_helpers())), raw_scan=True)
        agree(outcome(lambda: m.find_dimension(io.BytesIO(data))),
              outcome(lambda: dimension.find_dimension(io.BytesIO(data))))


def test_string_table():
    for _, data in rounds("sst"):
        agree(outcome(lambda: m.read_string_table(io.BytesIO(data), make_helpers())),
              outcome(lambda: string_table.read_string_table(io.BytesIO(data), make_helpers())))


def test_bind_cells():
    for rnd, data in rounds("bind"):
        check_bind(data, dict(shared_strings=["s0", "s1", "s2", "s3"], date_formats={1},
                              data_only=rnd.random() < 0.3))


def test_sheet_writer():
    """The cells the pure reader finds in a mutated sheet, written by both writers."""
    for rnd, data in rounds("writer"):
        got = outcome(lambda: read_rows(rows.RowReader, data, "raw"))
        if got[0] != "ok":
            continue
        lxml = rnd.random() < 0.5
        ws = brindle.Workbook(write_only=True, lxml=lxml).create_sheet()
        results = []
        for cls in (m.SheetWriter, SheetWriter):
            def write():
                out = []
                writer = cls(ws, out.append, lxml, make_writer_helpers(lxml))
                for idx, cells in got[1][0]:
                    made = []
                    for row, col, value, data_type, _style in cells:
                        c = brindle.Cell(ws, row, col)
                        c._value, c.data_type = value, data_type
                        made.append(c)
                    writer.write_row(made, idx)
                writer.flush()
                return out
            results.append(outcome(write))
        native, pure = results
        if native[0] == "ok" and pure[0] == "ok":
            join = b"".join if lxml else "".join
            native, pure = ("ok", join(native[1])), ("ok", join(pure[1]))
        agree(native, pure)


def test_whole_sheet_data():
    """The same cells put into an in-memory sheet and written whole, both ways."""
    for rnd, data in rounds("sheet data"):
        got = outcome(lambda: read_rows(rows.RowReader, data, "raw"))
        if got[0] != "ok":
            continue
        lxml = rnd.random() < 0.5
        ws = brindle.Workbook(lxml=lxml).active
        try:
            for _idx, cells in got[1][0]:
                for row, col, value, _data_type, _style in cells:
                    ws.cell(row=row, column=col, value=value)
        except (ValueError, TypeError):
            continue  # no cell there in any sheet
        results = []
        for use_native in (True, False):
            def whole():
                sink = write_sheet_data(ws, lxml, use_native)
                out = io.BytesIO()
                sink.copy_to(out)
                sink.close()
                return out.getvalue()
            results.append(outcome(whole))
        assert results[0] == results[1]


@pytest.mark.parametrize("name", ["rows", "sst"])
def test_the_rounds_are_reproducible(name):
    first = [d for _, d in zip(range(5), rounds(name))]
    again = [d for _, d in zip(range(5), rounds(name))]
    assert [d for _, d in first] == [d for _, d in again]
