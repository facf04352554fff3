"""Damaged and malicious workbooks read through load_workbook, natively and in pure Python:
a clear InvalidFileError instead of an empty workbook or endless padding, and streaming
memory that does not grow with what a sheet holds besides its cells.

Cases that would hang or exhaust memory if the fault came back run in a child
interpreter with bounded time and address space, so that they fail one test.
"""

import io
import json
import math
import os
import re
import resource
import subprocess
import sys
import warnings
import zipfile

import pytest

import brindle
from brindle._native import native_engine
from brindle.reader import zip_reader

MAIN = "http://schemas.openxmlformats.org/spreadsheetml/2006/main"
_DOC = "http://schemas.openxmlformats.org/officeDocument/2006/relationships"
_PKG = "http://schemas.openxmlformats.org/package/2006/relationships"
SHEET = "xl/worksheets/s.xml"

# The pure-Python library works without the compiled engine (an install that
# could not build it); its half of each case still runs there. Under CI the
# engine is always built and any skip fails the run.
paths = pytest.mark.parametrize("native", [
    pytest.param(True, marks=pytest.mark.skipif(native_engine() is None,
                                                reason="engine not built"), id="native"),
    pytest.param(False, id="pure"),
])


def parts(sheet, strings=("a",)):
    sst = "".join(f"<si><t>{s}</t></si>" for s in strings)
    return {
        "_rels/.rels": f'<Relationships xmlns="{_PKG}"><Relationship Id="r1" '
                       f'Type="{_DOC}/officeDocument" Target="xl/workbook.xml"/></Relationships>',
        "xl/workbook.xml": f'<workbook xmlns="{MAIN}" xmlns:r="{_DOC}"><sheets>'
                           '<sheet name="S" sheetId="1" r:id="rId1"/></sheets></workbook>',
        "xl/_rels/workbook.xml.rels":
            f'<Relationships xmlns="{_PKG}">'
            f'<Relationship Id="rId1" Type="{_DOC}/worksheet" Target="worksheets/s.xml"/>'
            f'<Relationship Id="rId2" Type="{_DOC}/sharedStrings" Target="strings.xml"/>'
            f'<Relationship Id="rId3" Type="{_DOC}/styles" Target="styles.xml"/>'
            '</Relationships>',
        "xl/strings.xml": f'<sst xmlns="{MAIN}">{sst}</sst>',
        "xl/styles.xml": f'<styleSheet xmlns="{MAIN}"><cellXfs><xf numFmtId="0"/></cellXfs>'
                         '</styleSheet>',
        SHEET: sheet,
    }


def package(members):
    """An xlsx file (bytes) of `members` ({name: text or bytes}), deflated."""
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w", zipfile.ZIP_DEFLATED) as z:
        for name, data in members.items():
            z.writestr(name, data)
    return out.getvalue()


def worksheet(rows, head="", tail="", ns=""):
    return f'<worksheet xmlns="{MAIN}"{ns}>{head}<sheetData>{rows}</sheetData>{tail}</worksheet>'


def use_path(monkeypatch, native):
    if native:
        monkeypatch.delenv("BRINDLE_NO_NATIVE", raising=False)
    else:
        monkeypatch.setenv("BRINDLE_NO_NATIVE", "1")


def read(data, **bounds):
    with brindle.load_workbook(io.BytesIO(data), read_only=True) as wb:
        return list(wb["S"].iter_rows(values_only=True, **bounds))


# --- the child interpreter ----------------------------------------------------

LIMIT = 1 << 30  # address space of a child
TIMEOUT = 120


def _limit():
    resource.setrlimit(resource.RLIMIT_AS, (LIMIT, LIMIT))


def in_child(path, native, **bounds):
    """Read the workbook file `path` in a bounded child interpreter: its rows (how many,
    and the first), the error that ended them, and its peak resident memory in KiB."""
    args = json.dumps([str(path), native, bounds])
    done = subprocess.run([sys.executable, os.path.abspath(__file__), args], preexec_fn=_limit,
                          capture_output=True, text=True, timeout=TIMEOUT)
    assert done.returncode == 0, done.stderr[-2000:]
    return json.loads(done.stdout)


def _child(path, native, bounds):
    if not native:
        os.environ["BRINDLE_NO_NATIVE"] = "1"
    count, first, error = 0, None, None
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            with brindle.load_workbook(path, read_only=True) as wb:
                for row in wb["S"].iter_rows(values_only=True, **bounds):
                    count += 1
                    first = first or list(row)
    except brindle.InvalidFileError as exc:
        error = [exc.part, str(exc)]
    with open("/proc/self/status") as f:
        peak = next(int(line.split()[1]) for line in f if line.startswith("VmHWM:"))
    print(json.dumps({"rows": count, "first": first, "error": error, "peak_kib": peak}))


def peaks(tmp_path, native, make, n):
    """Peak memory of reading the sheets made with n/4 and n repetitions, in MiB."""
    out = []
    for k in (n // 4, n):
        path = tmp_path / f"{k}.xlsx"
        path.write_bytes(package(parts(make(k))))
        got = in_child(path, native)
        assert got["error"] is None
        out.append(got["peak_kib"] / 1024)
    return out


# --- rows and columns beyond a worksheet's last ---------------------------------

@paths
def test_a_row_past_the_last_is_refused_not_padded_towards(tmp_path, native):
    path = tmp_path / "far.xlsx"
    path.write_bytes(package(parts(worksheet(
        '<row r="1"><c><v>1</v></c></row><row r="4294967297"><c><v>2</v></c></row>'))))
    got = in_child(path, native)
    # Refused as the row is read, in the chunk that holds it: the rows
    # before it in that chunk are not given.
    assert got["rows"] <= 1
    part, message = got["error"]
    assert part == SHEET and "row 4294967297 outside the rows of a worksheet" in message


@paths
@pytest.mark.parametrize("row,bounds,outcome", [
    ('<row r="1048576"><c r="XFD1048576"><v>1</v></c></row>', {"min_row": 1048576}, 16384),
    ('<row r="1048577"><c><v>1</v></c></row>', {}, "row 1048577 outside the rows"),
    ('<row r="1"><c r="XFE1"><v>1</v></c></row>', {}, "cell XFE1 outside the cells"),
    ('<row r="1"><c r="XFE1"><v>1</v></c></row>', {"max_col": 20000},
     "cell XFE1 outside the cells"),
    ("<row>" + "<c/>" * 16384 + "<c><v>1</v></c></row>", {}, "cell XFE1 outside the cells"),
    # A file with a cell no sheet has is refused whatever columns are asked for,
    # as an editable load refuses it.
    ('<row r="1"><c r="XFE1"><v>1</v></c><c r="B1"><v>1</v></c></row>', {"max_col": 2},
     "cell XFE1 outside the cells"),
    ('<row r="1"><c r="B1"><v>1</v></c></row>', {"max_col": 20000}, 20000),
])
def test_limits_of_a_worksheet(monkeypatch, native, row, bounds, outcome):
    use_path(monkeypatch, native)
    data = package(parts(worksheet(row)))
    if isinstance(outcome, int):
        (got,) = read(data, **bounds)
        assert len(got) == outcome and got.count(1) == 1
    else:
        with pytest.raises(brindle.InvalidFileError, match=outcome) as info:
            read(data, **bounds)
        assert info.value.part == SHEET


# --- streaming memory ------------------------------------------------------------

# Namespaces in scope multiply what every element carries along with it.
_MANY_NS = "".join(f' xmlns:n{i}="urn:example:namespace:{i}"' for i in range(10))


@paths
@pytest.mark.parametrize("what", ["elements between rows", "row attributes"])
def test_streaming_memory_does_not_grow_with_the_sheet(tmp_path, native, what):
    if what == "elements between rows":
        def make(n):
            return worksheet("<row><c><v>1</v></c></row><x/><x/><x/>" * n, ns=_MANY_NS)
    else:
        def make(n):
            return worksheet("".join(f'<row r="{r}" ht="15" customHeight="1"><c><v>1</v></c>'
                                     "</row>" for r in range(1, n + 1)))
    small, big = peaks(tmp_path, native, make, 120_000)
    # Kept, the big sheet's elements or row attributes take 40 MiB and more.
    assert big - small < 16, (small, big)


@paths
@pytest.mark.parametrize("where", ["head", "tail"])
def test_elements_in_one_run_are_not_kept(tmp_path, native, where):
    # Elements with no row between them are all read within one call.
    def make(n):
        return worksheet("<row><c><v>1</v></c></row>", **{where: "<x/>" * n}, ns=_MANY_NS)
    small, big = peaks(tmp_path, native, make, 400_000)
    assert big - small < 16, (small, big)


@paths
def test_warnings_are_replayed_once_each_in_order(monkeypatch, native):
    use_path(monkeypatch, native)
    rows = "".join(f'<row r="{r}"><c r="A{r}" s="1"><v>-700000</v></c></row><x/>'
                   for r in range(1, 4001))
    members = parts(worksheet(rows))
    members["xl/styles.xml"] = (f'<styleSheet xmlns="{MAIN}"><cellXfs><xf numFmtId="0"/>'
                                '<xf numFmtId="14"/></cellXfs></styleSheet>')
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        got = read(package(members))
    assert got == [("#VALUE!",)] * 4000
    assert [str(w.message).split()[1] for w in caught] == [f"A{r}" for r in range(1, 4001)]


# --- long runs of text -------------------------------------------------------------------

def stored(members):
    """An xlsx file (bytes) of `members`, stored uncompressed (no ratio to refuse)."""
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w", zipfile.ZIP_STORED) as z:
        for name, data in members.items():
            z.writestr(name, data)
    return out.getvalue()


_RUN = 128 << 20
_ROW = '<row><c><v>1</v></c></row>'


# Made in the test, not at import: the child interpreter imports this module too.
@paths
@pytest.mark.parametrize("make,rows,error", [
    # Whitespace between rows is read in pieces and dropped.
    (lambda: worksheet(_ROW + " " * _RUN + _ROW), 2, None),
    (lambda: worksheet(_ROW + "\r\n" * (_RUN // 2) + _ROW), 2, None),
    # An invalid byte is found where it is, not after the run it begins.
    (lambda: worksheet(_ROW + " " + "\0" * _RUN + _ROW), 1, "not well-formed"),
    # Text no cell can hold is refused once it passes the limit.
    (lambda: worksheet(_ROW + "<row><c><v>" + "1" * _RUN + "</v></c></row>"), 1,
     "holds a text longer than 1048576 characters"),
    (lambda: worksheet(_ROW + "<row><c><f>" + "1+" * (_RUN // 2) + "1</f></c></row>"), 1,
     "holds a text longer than 1048576 characters"),
    (lambda: worksheet(_ROW + '<row><c t="inlineStr"><is><t>' + "\u00e9" * (_RUN // 2)
                       + "</t></is></c></row>"), 1, "holds a text longer than 1048576 characters"),
], ids=["whitespace", "crlf", "nul", "digits", "formula", "inline"])
def test_long_text_runs_take_neither_memory_nor_time(tmp_path, native, make, rows, error):
    path = tmp_path / "run.xlsx"
    path.write_bytes(stored(parts(make())))
    got = in_child(path, native)
    if error is None:
        assert got["error"] is None and got["rows"] == rows
    else:
        part, message = got["error"]
        assert part == SHEET and error in message, message
    assert got["peak_kib"] < 96 * 1024, got


@paths
@pytest.mark.parametrize("size,ok", [(1 << 20, True), ((1 << 20) + 1, False)])
@pytest.mark.parametrize("where", ["v", "sst"])
def test_the_text_limit_is_the_same_in_both_paths(monkeypatch, native, size, ok, where):
    use_path(monkeypatch, native)
    text = "\u00e9" * size  # two bytes each: the limit counts characters
    if where == "v":
        members = parts(worksheet(f'<row><c t="str"><v>{text}</v></c></row>'))
    else:
        members = parts(worksheet('<row><c t="s"><v>0</v></c></row>'), strings=(text,))
    data = stored(members)
    if ok:
        assert read(data) == [(text,)]
        return
    part = SHEET if where == "v" else "xl/strings.xml"
    with pytest.raises(brindle.InvalidFileError, match="longer than 1048576 characters") as info:
        read(data)
    assert info.value.part == part


# --- a row's cells out of column order --------------------------------------------

@paths
@pytest.mark.parametrize("row,want", [
    ('<c r="D1"><v>1</v></c><c r="B1"><v>2</v></c>', (None, 2, None, 1)),
    ('<c r="C1"><v>1</v></c><c r="A1"><v>2</v></c><c r="B1"><v>3</v></c>', (2, 3, 1)),
    # Nor does it hide a cell beyond the last column.
    ('<c r="ZZZ1"><v>1</v></c><c r="A1"><v>2</v></c>', "cell ZZZ1 outside the cells"),
])
def test_a_cell_left_of_an_earlier_one_keeps_the_row_whole(monkeypatch, native, row, want):
    use_path(monkeypatch, native)
    data = package(parts(worksheet(f'<row r="1">{row}</row>')))
    if isinstance(want, str):
        with pytest.raises(brindle.InvalidFileError, match=want):
            read(data)
    else:
        assert read(data) == [want]


# --- the largest floats ---------------------------------------------------------------

_TOP = [1.7976931348623157e308, -1.7976931348623157e308, 1.7976931348623155e308,
        1.7976931348623153e308, 1.7976931348623151e308, 1e308, 0.1]


@pytest.mark.parametrize("lxml", [False, True], ids=["etree", "lxml"])
def test_the_largest_floats_are_written_as_text_that_reads_back(lxml):
    from brindle.writer.cell import make_writer_helpers
    from pure_sheet_writer import SheetWriter

    ws = brindle.Workbook(write_only=True, lxml=lxml).create_sheet()
    writers = [SheetWriter]
    if native_engine() is not None:
        writers.append(native_engine().SheetWriter)
    texts = []
    for cls in writers:
        out = []
        writer = cls(ws, out.append, lxml, make_writer_helpers(lxml))
        writer.write_row([brindle.Cell(ws, 1, k + 1, x) for k, x in enumerate(_TOP)], 1)
        writer.flush()
        texts.append(b"".join(out) if lxml else "".join(out).encode())
    assert len(set(texts)) == 1  # the same bytes from both writers
    written = re.findall(rb"<v>([^<]*)</v>", texts[0])
    # An in-memory sheet's whole sheet data, natively and in pure Python.
    from brindle.writer.sheet import write_sheet_data

    ws = brindle.Workbook(lxml=lxml).active
    ws.append(_TOP)
    whole = []
    for use_native in (True, False):
        sink = write_sheet_data(ws, lxml, use_native)
        out = io.BytesIO()
        sink.copy_to(out)
        sink.close()
        whole.append(out.getvalue())
    assert whole[0] == whole[1] and re.findall(rb"<v>([^<]*)</v>", whole[0]) == written
    # 16 digits as ever, but 17 where 16 would read back as infinity.
    assert [float(t) for t in written] == [float("%.16g" % x) if abs(float("%.16g" % x)) < math.inf
                                           else x for x in _TOP]
    assert written[:4] == [b"1.7976931348623157e+308", b"-1.7976931348623157e+308",
                           b"1.7976931348623155e+308", b"1.797693134862315e+308"]


# --- zip bombs ----------------------------------------------------------------------

def bomb(size, method, lie=False):
    """A workbook whose sheet inflates to about `size` bytes of whitespace; with `lie`,
    the archive records the sheet as 1,000 bytes long."""
    members = parts(worksheet("<row><c><v>1</v></c></row>", tail=" " * size))
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w", zipfile.ZIP_DEFLATED) as z:
        for name, data in members.items():
            z.writestr(name, data, compress_type=method if name == SHEET else None)
    data = bytearray(out.getvalue())
    if lie:
        with zipfile.ZipFile(io.BytesIO(bytes(data))) as z:
            info = z.getinfo(SHEET)
        real = info.file_size.to_bytes(4, "little")
        # The size field of the local header (offset 22) and of the central
        # directory entry (offset 24), which follows the member's data.
        data[info.header_offset + 22:info.header_offset + 26] = (1000).to_bytes(4, "little")
        central = data.index(SHEET.encode(), info.header_offset + 30 + len(SHEET)) - 46
        assert data[central:central + 4] == b"PK\x01\x02"
        assert data[central + 24:central + 28] == real
        data[central + 24:central + 28] = (1000).to_bytes(4, "little")
    return bytes(data)


@paths
@pytest.mark.parametrize("method,size,lie", [
    (zipfile.ZIP_DEFLATED, 64 << 20, False),  # beyond 1,000:1
    (zipfile.ZIP_BZIP2, 64 << 20, False),
    (zipfile.ZIP_DEFLATED, 64 << 20, True),  # a header that understates the size
    (zipfile.ZIP_BZIP2, 64 << 20, True),
], ids=["deflate", "bzip2", "deflate-lying", "bzip2-lying"])
def test_a_zip_bomb_is_refused_early(tmp_path, native, method, size, lie):
    path = tmp_path / "bomb.xlsx"
    path.write_bytes(bomb(size, method, lie))
    got = in_child(path, native)
    part, message = got["error"]
    assert part == SHEET and "the part cannot be read" in message
    # Refused before anything of that size was held.
    assert got["peak_kib"] < 200 * 1024


@paths
@pytest.mark.parametrize("full", [False, True], ids=["read-only", "full"])
@pytest.mark.parametrize("limits,refused", [
    ({"max_part_size": 1000}, "expands beyond 1000 bytes"),
    ({"max_part_size": 1000, "max_ratio": None}, "expands beyond 1000 bytes"),
    ({"max_ratio": 2}, "expansion ratio"),
    ({"max_ratio": None}, None),
    ({"max_part_size": None, "max_ratio": None}, None),
])
def test_the_limits_are_the_callers(monkeypatch, native, full, limits, refused):
    use_path(monkeypatch, native)
    monkeypatch.setattr(zip_reader, "RATIO_GRACE", 4096)
    data = package(parts(_ROWS))
    if refused is None:
        wb = brindle.load_workbook(io.BytesIO(data), read_only=not full, **limits)
        assert len(list(wb["S"].iter_rows())) == 2999
        return
    with pytest.raises(brindle.InvalidFileError, match=refused) as info:
        wb = brindle.load_workbook(io.BytesIO(data), read_only=not full, **limits)
        list(wb["S"].iter_rows())
    assert info.value.part == SHEET


@pytest.mark.parametrize("bad", [0, -1, 1.5, "1"])
def test_limits_must_be_positive_ints(bad):
    with pytest.raises(ValueError, match="must be a positive int or None"):
        brindle.load_workbook(io.BytesIO(package(parts(_ROWS))), max_ratio=bad)


# --- missing and damaged parts -----------------------------------------------------

def _damaged(data, name, first=False):
    """`data` with the compressed bytes of member `name` scrambled in the middle, or
    from the start (`first`: a deflate stream's first block then has no valid type)."""
    with zipfile.ZipFile(io.BytesIO(data)) as z:
        info = z.getinfo(name)
    out = bytearray(data)
    header = info.header_offset
    start = header + 30 + int.from_bytes(out[header + 26:header + 28], "little") \
        + int.from_bytes(out[header + 28:header + 30], "little")
    if first:
        out[start] = 0xFF
        return bytes(out)
    middle = start + info.compress_size // 2
    out[middle:middle + 8] = bytes(b ^ 0x5A for b in out[middle:middle + 8])
    return bytes(out)


_ROWS = worksheet("".join(f'<row r="{r}"><c t="s"><v>0</v></c><c><v>{r}</v></c></row>'
                          for r in range(1, 3000)))


def _without(name):
    members = parts(_ROWS)
    del members[name]
    return package(members)


def _replaced(name, text):
    members = parts(_ROWS)
    members[name] = text
    return package(members)


@paths
@pytest.mark.parametrize("make,part,reason,cause", [
    (lambda: _without("xl/_rels/workbook.xml.rels"), "xl/_rels/workbook.xml.rels",
     "the part is missing", KeyError),
    (lambda: _without("_rels/.rels"), "_rels/.rels", "the part is missing", KeyError),
    (lambda: _without("xl/workbook.xml"), "xl/workbook.xml", "the part is missing", KeyError),
    (lambda: _without("xl/strings.xml"), "xl/strings.xml", "the part is missing", KeyError),
    (lambda: _without("xl/styles.xml"), "xl/styles.xml", "the part is missing", KeyError),
    (lambda: _without(SHEET), SHEET, "the part is missing", KeyError),
    (lambda: _replaced("_rels/.rels", f'<Relationships xmlns="{_PKG}"/>'), "_rels/.rels",
     "no relationship names the workbook part", None),
    (lambda: _replaced("xl/_rels/workbook.xml.rels", f'<Relationships xmlns="{_PKG}"/>'),
     "xl/workbook.xml", "sheet 'S' names relationship 'rId1', which does not exist", None),
    (lambda: _replaced("xl/workbook.xml", "<workbook"), "xl/workbook.xml",
     "the part is not well-formed XML", SyntaxError),
    (lambda: _replaced("xl/strings.xml", f'<sst xmlns="{MAIN}"><si>'), "xl/strings.xml",
     "the part is not well-formed XML", SyntaxError),
    (lambda: _replaced(SHEET, _ROWS[:-40]), SHEET, "the part is not well-formed XML",
     SyntaxError),
    (lambda: _damaged(package(parts(_ROWS)), "xl/workbook.xml"), "xl/workbook.xml",
     "the part cannot be read", Exception),
    (lambda: _damaged(package(parts(_ROWS)), SHEET), SHEET, "", Exception),
])
@pytest.mark.parametrize("full", [False, True], ids=["read-only", "full"])
def test_missing_and_damaged_parts(monkeypatch, native, full, make, part, reason, cause):
    use_path(monkeypatch, native)
    data = make()
    with pytest.raises(brindle.InvalidFileError) as info:
        if full:
            brindle.load_workbook(io.BytesIO(data))
        else:
            read(data)
    err = info.value
    assert isinstance(err, ValueError)
    assert (err.filename, err.part) == ("<BytesIO>", part)
    assert str(err).startswith(f"<BytesIO>: {part}: {reason}")
    if cause is None:
        assert err.__cause__ is None
    else:
        assert isinstance(err.__cause__, cause)


def test_the_file_is_named_by_its_path(tmp_path):
    path = tmp_path / "book.xlsx"
    path.write_bytes(_without("xl/_rels/workbook.xml.rels"))
    with pytest.raises(brindle.InvalidFileError,
                       match=r"book\.xlsx: xl/_rels/workbook\.xml\.rels: the part is missing"):
        brindle.load_workbook(path)


if __name__ == "__main__":
    _child(*json.loads(sys.argv[1]))


# --- elements that cost out of proportion --------------------------------------

def _load_recording(data, native, read_only):
    """Load `data` (full mode or every row read-only); the warnings, in order."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        if read_only:
            with brindle.load_workbook(io.BytesIO(data), read_only=True, native=native) as wb:
                list(wb["S"].iter_rows(values_only=True))
        else:
            brindle.load_workbook(io.BytesIO(data), native=native)
    return [str(w.message) for w in caught]


@paths
@pytest.mark.parametrize("read_only", [False, True], ids=["full", "read_only"])
def test_unknown_elements_are_named_once_and_never_held(native, read_only):
    import tracemalloc

    n = 100_000
    tail = "<u/><x:u xmlns:x='urn:x'><c><v>1</v></c></x:u>" * (n // 2) + "<odd>t</odd>"
    data = package(parts(worksheet('<row r="1"><c r="A1"><v>1</v></c></row>', tail=tail)))
    tracemalloc.start()
    try:
        got = _load_recording(data, native, read_only)
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    want = [] if read_only else [f"worksheet 'S': element <{name}> is not kept"
                                 for name in ("u", "odd")]
    assert got == want
    assert peak < 100 * n, f"{peak / n:.0f} bytes an element"


@paths
@pytest.mark.parametrize("read_only", [False, True], ids=["full", "read_only"])
def test_namespace_declarations_times_elements_stay_linear(tmp_path, native, read_only):
    n = 16_000
    decl = "".join(f' xmlns:p{i}="urn:{i}"' for i in range(n))
    tail = '<ignoredErrors><ignoredError sqref="A1" p7:x="1"/></ignoredErrors>' * n
    data = package(parts(worksheet('<row r="1"><c r="A1"><v>1</v></c></row>', tail=tail,
                                   ns=decl)))
    path = tmp_path / "ns.xlsx"
    path.write_bytes(data)
    # Quadratic, this takes minutes; linear, about a second on a loaded machine.
    script = (f"import brindle, warnings; warnings.simplefilter('ignore'); "
              f"wb = brindle.load_workbook({str(path)!r}, read_only={read_only}, "
              f"native={native});"
              + ("list(wb['S'].iter_rows())" if read_only else
                 "assert wb['S']._kept['ignoredErrors'][0].count('xmlns') == 2"))
    subprocess.run([sys.executable, "-c", script], check=True, timeout=15,
                   preexec_fn=_limit)


@paths
def test_elements_repeated_are_each_kept_and_warned_of_as_read(native):
    # One element repeated is read once; what follows another is read anew.
    a = '<ignoredErrors><ignoredError sqref="A1" p:x="1"/></ignoredErrors>'
    b = '<ignoredErrors><ignoredError sqref="B2"/></ignoredErrors>'
    ext = ('<extLst><ext uri="{U}"><p:d r:id="rMissing"/></ext>'
           '<ext uri="{V}"><p:e/></ext></extLst>')
    decl = ' xmlns:p="urn:p" xmlns:r="http://schemas.openxmlformats.org/officeDocument/2006/' \
           'relationships"'
    data = package(parts(worksheet('<row r="1"><c r="A1"><v>1</v></c></row>',
                                   tail=a + a + b + a + ext + ext, ns=decl)))
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        ws = brindle.load_workbook(io.BytesIO(data), native=native)["S"]
    kept = ws._kept["ignoredErrors"]
    assert kept[0] == kept[1] == kept[3] != kept[2] and ':x="1"' in kept[0]
    assert len(ws._kept["extLst"]) == 2 and "{V}" in ws._kept["extLst"][1]
    assert [str(w.message) for w in caught].count(
        "worksheet 'S': an extension ({U}) refers to parts of the file that are not kept; "
        "it is left out") == 2


@paths
def test_elements_in_one_scope_share_their_bindings(monkeypatch, native):
    from brindle.reader import sheet_extras

    seen = []
    original = sheet_extras.SheetExtras.element
    monkeypatch.setattr(sheet_extras.SheetExtras, "element",
                        lambda self, data, ns: (seen.append(ns), original(self, data, ns)))
    tail = ('<mergeCells xmlns:q="urn:q"><mergeCell ref="A1:B1"/></mergeCells>'
            '<ignoredErrors><ignoredError sqref="A1"/></ignoredErrors>'
            '<extLst xmlns:z="urn:z"/>')
    data = package(parts(worksheet('<row r="1"><c r="A1"><v>1</v></c></row>', tail=tail,
                                   ns=' xmlns:a="urn:a"')))
    brindle.load_workbook(io.BytesIO(data), native=native)
    assert [len(s) for s in seen] == [2, 2, 2]
    assert seen[0] is seen[1] is seen[2]


def _rewritten(data, name, change):
    """The package `data` with part `name` passed through `change`."""
    src = zipfile.ZipFile(io.BytesIO(data))
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w", zipfile.ZIP_DEFLATED) as z:
        for n in src.namelist():
            body = src.read(n)
            z.writestr(n, change(body) if n == name else body)
    return out.getvalue()


def _saved_book(**cells):
    wb = brindle.Workbook()
    for ref, value in cells.items():
        wb.active[ref] = value
    out = io.BytesIO()
    wb.save(out)
    return out.getvalue()


@pytest.mark.parametrize("read_only", [False, True], ids=["full", "read-only"])
def test_only_the_sheets_element_lists_sheets(read_only):
    # A <sheet> elsewhere in the workbook part is carried through a save, so
    # read as a sheet it would add one in each round trip.
    stray = b'<sheet name="Stray" sheetId="9" r:id="rId1"/>'
    data = _rewritten(_saved_book(A1=1), "xl/workbook.xml",
                      lambda b: b.replace(b"</sheets>", b"</sheets>" + stray))
    for _ in range(2):
        with brindle.load_workbook(io.BytesIO(data), read_only=read_only) as wb:
            assert wb.sheetnames == ["Sheet"] and wb.active.title == "Sheet"
            if read_only:
                break
            out = io.BytesIO()
            wb.save(out)
            data = out.getvalue()


@pytest.mark.parametrize("part", ["docProps/core.xml", "xl/drawings/vmlDrawing1.vml"])
def test_damaged_members_read_beside_the_cells_are_a_damaged_file(part):
    wb = brindle.Workbook()
    wb.active["A1"] = 1
    wb.active["A1"].comment = brindle.Comment("a note", "me")  # a drawing to read
    out = io.BytesIO()
    wb.save(out)
    data = _damaged(out.getvalue(), part, first=True)
    with pytest.raises(brindle.InvalidFileError) as info:
        brindle.load_workbook(io.BytesIO(data))
    assert info.value.part == part
    assert info.value.reason.startswith("the part cannot be read")


@pytest.mark.parametrize("read_only", [False, True], ids=["full", "read-only"])
def test_a_workbook_part_in_another_namespace_is_refused(read_only):
    strict = b"http://purl.oclc.org/ooxml/spreadsheetml/main"
    data = _rewritten(_saved_book(A1=1), "xl/workbook.xml",
                      lambda b: b.replace(b"http://schemas.openxmlformats.org/spreadsheetml/"
                                          b"2006/main", strict))
    with pytest.raises(brindle.InvalidFileError) as info:
        brindle.load_workbook(io.BytesIO(data), read_only=read_only)
    assert info.value.part == "xl/workbook.xml" and "<workbook>" in info.value.reason


_WS_REL = b'Type="http://schemas.openxmlformats.org/officeDocument/2006/relationships/worksheet"'


@pytest.mark.parametrize("part,change", [
    ("xl/workbook.xml", lambda b: re.sub(rb"<sheets>.*</sheets>", b"<sheets/>", b)),
    ("xl/_rels/workbook.xml.rels", lambda b: b.replace(_WS_REL, _WS_REL[:-12] + b'x"')),
], ids=["no-sheets", "a-kind-not-kept"])
def test_a_workbook_left_without_sheets_is_refused_in_full_mode(part, change):
    # Loaded, it could be neither shown nor saved; read-only mode has
    # nothing to save and lists no worksheet.
    data = _rewritten(_saved_book(A1=1), part, change)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        with pytest.raises(brindle.InvalidFileError) as info:
            brindle.load_workbook(io.BytesIO(data))
    assert info.value.part == "xl/workbook.xml" and "no sheet" in info.value.reason


@pytest.mark.parametrize("width", ["nan", "inf", "-inf"])
@paths
def test_a_column_width_that_is_no_number_is_left_out_with_a_warning(width, native):
    data = _rewritten(_saved_book(A1=1), "xl/worksheets/sheet1.xml",
                      lambda b: b.replace(b"<sheetData>", f'<cols><col min="2" max="2" '
                                          f'width="{width}"/></cols><sheetData>'.encode()))
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        wb = brindle.load_workbook(io.BytesIO(data), native=native)
    assert [str(w.message) for w in caught] == [
        f"worksheet 'Sheet': column width '{width}' of column 2 is not a number; it is left out"]
    wb.save(io.BytesIO())  # and the workbook can be saved


# --- files that escaped as other errors -------------------------------------------

_A1 = '<row r="1"><c r="A1"><v>1</v></c></row>'


def _styled(sheet=_A1, **el):
    """A workbook whose one cell format holds the elements `el` ({tag: attributes})."""
    members = parts(sheet)
    inner = "".join(f"<{tag} {attrs}/>" for tag, attrs in el.items())
    members["xl/styles.xml"] = (f'<styleSheet xmlns="{MAIN}"><cellXfs><xf numFmtId="0" '
                                f'applyAlignment="1">{inner}</xf></cellXfs></styleSheet>')
    return package(members)


def _declared(part, encoding, encode=None):
    members = parts(worksheet('<row r="1"><c r="A1" t="s"><v>0</v></c></row>'))
    text = f'<?xml version="1.0" encoding="{encoding}"?>' + members[part]
    members[part] = text.encode(encode or "utf-8")
    return package(members)


def _with_member(name, text, sheet=_A1):
    members = parts(sheet)
    members[name] = text
    return package(members)


def _compressed(method, damage=False, code=None):
    """A workbook whose sheet is compressed by `method`; with `damage` its
    compressed bytes are scrambled, with `code` the method number is replaced."""
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w", zipfile.ZIP_DEFLATED) as z:
        for name, data in parts(worksheet(_A1 * 1)).items():
            z.writestr(name, data, compress_type=method if name == SHEET else None)
    data = bytearray(out.getvalue())
    with zipfile.ZipFile(io.BytesIO(bytes(data))) as z:
        info = z.getinfo(SHEET)
    header = info.header_offset
    start = header + 30 + int.from_bytes(data[header + 26:header + 28], "little") \
        + int.from_bytes(data[header + 28:header + 30], "little")
    if damage:
        for k in range(start + 2, start + info.compress_size - 2):
            data[k] ^= 0x5A
    if code is not None:
        data[header + 8:header + 10] = code.to_bytes(2, "little")
        central = data.index(b"PK\x01\x02", start + info.compress_size)
        while data[central + 46:central + 46 + len(SHEET)] != SHEET.encode():
            central = data.index(b"PK\x01\x02", central + 4)
        data[central + 10:central + 12] = code.to_bytes(2, "little")
    return bytes(data)


def _archive_changed(change, amount):
    data = bytearray(package(parts(worksheet(_A1))))
    change(data, amount)
    return bytes(data)


def _directory_offset(data, more):
    """The end record says the directory starts `more` bytes later than it does,
    which puts every member before the start of the file."""
    end = data.rindex(b"PK\x05\x06")
    at = int.from_bytes(data[end + 16:end + 20], "little")
    data[end + 16:end + 20] = (at + more).to_bytes(4, "little")


def _entry_version(data, version):
    """The first directory entry needs zip version `version` / 10 to extract."""
    entry = data.index(b"PK\x01\x02")
    data[entry + 6:entry + 8] = version.to_bytes(2, "little")


_DEEP = "<x>" * 3000 + "</x>" * 3000
_RELS = "xl/worksheets/_rels/s.xml.rels"

# (make, refused): refused is (part, what the reason says) in both modes, a
# dict of it by mode, or None where the file is read (and, opened for editing,
# saved and read again with the same cells).
_ESCAPES = {
    # A name Python gives its own parameters, as an attribute.
    "alignment-self": (lambda: _styled(alignment='horizontal="left" self="1"',
                                       protection='locked="1" self="0"'), None),
    "alignment-cls": (lambda: _styled(alignment='cls="1" class="2" def="3"'), None),
    "data-table-self": (lambda: package(parts(worksheet(
        '<row r="1"><c r="A1"><f t="dataTable" ref="A1:B2" dt2D="0" dtr="0" r1="C1" self="1"/>'
        '<v>1</v></c></row>'))), None),
    "run-property-self": (lambda: _with_member(
        "xl/strings.xml", f'<sst xmlns="{MAIN}"><si><r><rPr><self val="1"/><b/></rPr><t>x</t></r>'
        '</si></sst>', worksheet('<row r="1"><c r="A1" t="s"><v>0</v></c></row>')), None),
    # Nested past the interpreter's recursion limit, yet well-formed.
    "nested-sheetPr": (lambda: package(parts(worksheet(_A1, head=f"<sheetPr>{_DEEP}</sheetPr>"))),
                       None),
    "nested-extLst": (lambda: package(parts(worksheet(_A1, tail=f"<extLst>{_DEEP}</extLst>"))),
                      None),
    "style-empty": (lambda: package(parts(worksheet('<row r="1"><c r="A1" s=""><v>1</v></c></row>'))),
                    (SHEET, "cell A1 names the style '', which is not a number")),
    "style-text": (lambda: package(parts(worksheet(
        '<row r="2"><c><v>1</v></c><c s="x"><v>1</v></c></row>'))),
        (SHEET, "cell B2 names the style 'x', which is not a number")),
    "style-past": (lambda: package(parts(worksheet('<row r="1"><c r="C1" s="7"><v>1</v></c></row>'))),
                   {"full": (SHEET, "cell C1 has cell format 7, but the workbook has 1"),
                    "read-only": None}),
    "style-huge": (lambda: package(parts(worksheet(
        f'<row r="1"><c r="A1" s="{10**30}"><v>1</v></c></row>'))),
        {"full": (SHEET, f"cell A1 has cell format {10**30}, but the workbook has 1"),
         "read-only": None}),
    "shared-string-past": (lambda: package(parts(worksheet(
        '<row r="3"><c/><c t="s"><v>7</v></c></row>'))),
        (SHEET, "cell B3 names shared string 7, but the workbook has 1")),
    "shared-string-huge": (lambda: package(parts(worksheet(
        f'<row r="1"><c r="A1" t="s"><v>{10**30}</v></c></row>'))),
        (SHEET, f"cell A1 names shared string {10**30}, but the workbook has 1")),
    **{f"encoding-{enc}-{part.split('/')[-1]}": (
        lambda enc=enc, part=part, encode=encode: _declared(part, enc, encode),
        (part, reason))
       for enc, encode, reason in [("x-foo", None, "encoding 'x-foo' is unknown"),
                                   ("zlib", None, "encoding 'zlib' is no text encoding"),
                                   ("utf-32", "utf-32", "UTF-32")]
       for part in (SHEET, "xl/styles.xml", "xl/strings.xml", "xl/workbook.xml")},
    "encoding-sheet-rels": (lambda: _with_member(_RELS, '<?xml version="1.0" encoding="x-foo"?>'
                                                       f'<Relationships xmlns="{_PKG}"/>'),
                            {"full": (_RELS, "encoding 'x-foo' is unknown"), "read-only": None}),
    "malformed-sheet-rels": (lambda: _with_member(_RELS, "<Relationships"),
                             {"full": (_RELS, "not well-formed"), "read-only": None}),
    **{f"value-{kind}": (lambda cell=cell: package(parts(worksheet(f'<row r="1">{cell}</row>'))),
                         (SHEET, "holds a value that cannot be read"))
       for kind, cell in [("number", '<c r="A1"><v>12 s=""3</v></c>'),
                          ("shared-string", '<c r="A1" t="s"><v>x</v></c>'),
                          ("boolean", '<c r="A1" t="b"><v>yes</v></c>')]},
    "archive-offsets-before-start": (lambda: _archive_changed(_directory_offset, 1000),
                                     ("_rels/.rels", "places a member at offset -1000")),
    "archive-version": (lambda: _archive_changed(_entry_version, 135), (None, "")),
    "damaged-lzma": (lambda: _compressed(zipfile.ZIP_LZMA, damage=True),
                     (SHEET, "the part cannot be read")),
    "damaged-bzip2": (lambda: _compressed(zipfile.ZIP_BZIP2, damage=True),
                      (SHEET, "the part cannot be read")),
    "unknown-method": (lambda: _compressed(zipfile.ZIP_DEFLATED, code=99),
                       (SHEET, "the part cannot be read")),
}


def _open_as(data, full, native):
    """Read every row of `data` (opened for editing when `full`); the workbook."""
    if full:
        wb = brindle.load_workbook(io.BytesIO(data), native=native)
        for ws in wb.worksheets:
            list(ws.iter_rows(values_only=True))
        return wb
    with brindle.load_workbook(io.BytesIO(data), read_only=True, native=native) as wb:
        for ws in wb.worksheets:
            list(ws.iter_rows(values_only=True))
    return wb


def _refusal(refused, full):
    return refused.get("full" if full else "read-only") if isinstance(refused, dict) else refused


@paths
@pytest.mark.parametrize("full", [False, True], ids=["read-only", "full"])
@pytest.mark.parametrize("case", list(_ESCAPES))
def test_what_escaped_is_read_or_refused_as_invalid(native, full, case):
    make, refused = _ESCAPES[case]
    refused = _refusal(refused, full)
    data = make()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        if refused is None:
            wb = _open_as(data, full, native)
            if full:
                out = io.BytesIO()
                wb.save(out)
                again = _open_as(out.getvalue(), True, native)
                assert [[c.value for c in row] for row in again["S"].iter_rows()] == \
                       [[c.value for c in row] for row in wb["S"].iter_rows()]
            return
        with pytest.raises(brindle.InvalidFileError) as info:
            _open_as(data, full, native)
    part, reason = refused
    assert info.value.part == part and reason in info.value.reason, str(info.value)


@pytest.mark.parametrize("case", [c for c, (_, refused) in _ESCAPES.items()
                                  if _refusal(refused, False) is not None])
def test_the_command_line_says_what_escaped_in_one_line(tmp_path, case):
    path = tmp_path / "bad.xlsx"
    path.write_bytes(_ESCAPES[case][0]())
    src = os.path.join(os.path.dirname(__file__), "..", "..", "src")
    done = subprocess.run([sys.executable, "-m", "brindle", "to-csv", str(path)],
                          capture_output=True, text=True, timeout=TIMEOUT,
                          env=dict(os.environ, PYTHONPATH=os.path.abspath(src)))
    part, reason = _refusal(_ESCAPES[case][1], False)
    assert done.returncode == 1
    named = f"{path}: {part}: " if part else f"{path}: "
    assert done.stderr.startswith(f"brindle: error: {named}") and reason in done.stderr
    assert done.stderr.count("\n") == 1, done.stderr


@paths
@pytest.mark.parametrize("full", [False, True], ids=["read-only", "full"])
def test_an_archive_cut_anywhere_is_invalid(native, full):
    data = _saved_book(A1=1, B2="text")
    for cut in range(0, len(data), 23):
        with pytest.raises(brindle.InvalidFileError):
            _open_as(data[:cut], full, native)


@paths
@pytest.mark.parametrize("pane,frozen", [
    ('xSplit="inf" state="frozen"', None),
    ('xSplit="nan" ySplit="1" state="frozen"', None),
    ('ySplit="1e400" state="frozen"', None),
    ('xSplit="-1" state="frozen"', None),
    ('ySplit="-5" state="frozen"', None),
    ('xSplit="1e30" state="frozen"', None),
    # The cell it names is what a frozen pane is; the split does not matter then.
    ('xSplit="inf" topLeftCell="C3" state="frozen"', "C3"),
    ('xSplit="2" ySplit="1" state="frozen"', "C2"),
])
def test_a_frozen_pane_that_names_no_cell_is_left_out(native, pane, frozen):
    sheet = worksheet(_A1, head=f'<sheetViews><sheetView workbookViewId="0"><pane {pane}/>'
                                '</sheetView></sheetViews>')
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        wb = brindle.load_workbook(io.BytesIO(package(parts(sheet))), native=native)
    assert wb["S"].freeze_panes == frozen
    assert [str(w.message) for w in caught] == (
        [] if frozen else ["worksheet 'S': a frozen pane that names no cell is left out"])
    wb.save(io.BytesIO())


@paths
def test_a_workbook_relationship_of_another_kind_to_a_sheet_is_left_out(native):
    """The sheet is saved under a name of the library's: such a relationship would
    be saved pointing at nothing."""
    members = parts(worksheet(_A1))
    members["xl/_rels/workbook.xml.rels"] = members["xl/_rels/workbook.xml.rels"].replace(
        "</Relationships>", '<Relationship Id="rId9" Type="urn:odd/thing" '
                            'Target="worksheets/s.xml"/></Relationships>')
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        wb = brindle.load_workbook(io.BytesIO(package(members)), native=native)
    assert [str(w.message) for w in caught] == [
        f"relationship rId9 of xl/workbook.xml names the part {SHEET} as thing; it is left out"]
    out = io.BytesIO()
    wb.save(out)
    with zipfile.ZipFile(out) as z:
        names = set(z.namelist())
        rels = z.read("xl/_rels/workbook.xml.rels").decode()
    targets = re.findall(r'Target="([^"]+)"', rels)
    assert targets and all(f"xl/{t}" in names for t in targets), (targets, names)
