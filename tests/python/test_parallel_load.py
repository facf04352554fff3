"""The sheets of one workbook read on parallel threads in full mode give exactly what a
serial load gives: cells, style table, sheet layout, warnings in order, and the error of
the first failing sheet in the file's order; no thread outlives the load."""

import io
import threading
import time
import warnings
import zipfile

import pytest

import brindle
import sheetgen as gen
from brindle.reader import full
from brindle.reader import parallel as parallel_reader

from loaded import snapshot

_DOC = "http://schemas.openxmlformats.org/officeDocument/2006/relationships"
STRINGS = ("alpha", "beta", "gamma")


def book(sheets):
    """An xlsx file of the worksheet parts `sheets`, named S1, S2, ...; cell formats 0
    to 5 differ from each other, 1 shows dates."""
    return gen.xlsx(sheets, STRINGS, '<cellXfs><xf numFmtId="0"/><xf numFmtId="14"/>'
                    '<xf numFmtId="2"/><xf numFmtId="3"/><xf numFmtId="4"/><xf numFmtId="10"/>'
                    '</cellXfs>', compression=zipfile.ZIP_DEFLATED)


def sheet(seed, style, rows=40):
    """A generated worksheet with layout that adds cell format `style` to the workbook,
    and parts that are warned about: a date no calendar has, a drawing."""
    cells, _ = gen.random_sheet(seed, n_rows=rows, strings=STRINGS)
    cells.append(gen.Row(rows + 5, [(1, gen.Cell(s="1", v="1e300"))]))
    return gen.render(cells, head=("<sheetPr/>", f"<cols><col min='2' max='3' width='9' "
                                                 f"style='{style}'/></cols>"),
                      tail=(f"<mergeCells><mergeCell ref='A{seed % 9 + 1}:B{seed % 9 + 1}'/>"
                            "</mergeCells>",
                            f"<drawing r:id='rId{seed}' xmlns:r='{_DOC}'/>"))


def load(data, parallel, native):
    used = []

    class Spy(parallel_reader.ParallelSheets):
        def __init__(self, *args):
            used.append(True)
            super().__init__(*args)

    with pytest.MonkeyPatch.context() as m, brindle.options(parallel_sheets=parallel):
        m.setattr(full, "ParallelSheets", Spy)
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            try:
                wb = brindle.load_workbook(io.BytesIO(data), native=native)
            except Exception as exc:
                wb = exc
    assert not [t for t in threading.enumerate() if t.name.startswith("brindle ")]
    assert used == [True] * parallel
    return wb, [(w.category, str(w.message), w.filename) for w in caught]


def shown(wb):
    """Everything the loaded workbook shows that a load could get out of order."""
    return (wb.sheetnames, [list(s) for s in wb._cell_styles],
            [(ws.title, snapshot(ws), ws.merged_cells,
              [(k, d.style_id, d.width) for k, d in sorted(ws.column_dimensions.items())])
             for ws in wb.worksheets])


def failure(exc):
    return type(exc), str(exc), getattr(exc, "__notes__", None)


@pytest.mark.parametrize("native", [True, False], ids=["native", "pure"])
@pytest.mark.parametrize("read_ahead", [False, True], ids=["", "read-ahead"])
def test_parallel_and_serial_loads_agree(brindle_options, native, read_ahead):
    if read_ahead:
        brindle_options(read_ahead=True, read_ahead_min=0, block_size=2048)
    data = book([sheet(seed, style) for seed, style in
                 [(1, 3), (2, 2), (3, 5), (4, 3), (5, 4), (6, 2)]])
    serial, serial_warnings = load(data, False, native)
    parallel, parallel_warnings = load(data, True, native)
    assert shown(parallel) == shown(serial)
    assert parallel_warnings == serial_warnings
    assert len(serial_warnings) >= 12  # each sheet's date and drawing, in the sheets' order
    assert [w[1].split(":")[0] for w in serial_warnings if "drawing" in w[1]] == \
        [f"worksheet 'S{i}'" for i in range(1, 7)]


BROKEN = {
    "style": gen.render([gen.Row(1, [(1, gen.Cell(s="9", v="1"))])]),
    "xml": b"<worksheet xmlns='%s'><sheetData><row><c><v>1</v></c></row>" % gen.MAIN.encode(),
    "deflate": None,  # the member's stream is damaged
}


def damage_member(data, name):
    info = zipfile.ZipFile(io.BytesIO(data)).getinfo(name)
    start = info.header_offset + 30 + len(info.filename.encode()) + len(info.extra)
    out = bytearray(data)
    out[start] = 0x07  # a block of the reserved type
    return bytes(out)


@pytest.mark.parametrize("native", [True, False], ids=["native", "pure"])
@pytest.mark.parametrize("first, second", [("style", "xml"), ("xml", "style"),
                                           ("deflate", "style"), ("style", "deflate")])
@pytest.mark.parametrize("at", [0, 2])
def test_the_first_failing_sheet_in_order_is_reported(native, first, second, at):
    sheets = [sheet(seed, 2) for seed in range(6)]
    broken = []
    for kind, index in ((first, at + 1), (second, at + 3)):
        if BROKEN[kind] is not None:
            sheets[index] = BROKEN[kind]
        else:
            broken.append(f"xl/worksheets/s{index + 1}.xml")
    data = book(sheets)
    for name in broken:
        data = damage_member(data, name)
    serial, serial_warnings = load(data, False, native)
    parallel, parallel_warnings = load(data, True, native)
    assert isinstance(serial, Exception)
    assert failure(parallel) == failure(serial)
    assert f"'S{at + 2}'" in serial.__notes__[-1]
    # The sheets before it were finished, warnings and all.
    assert parallel_warnings == serial_warnings
    assert any(f"'S{at + 1}'" in w[1] for w in serial_warnings)


def test_a_gil_build_loads_serially_unless_told(monkeypatch):
    import sys

    started = []
    monkeypatch.setattr(full, "ParallelSheets", lambda *a: started.append(a))
    monkeypatch.setattr(sys, "_is_gil_enabled", lambda: True)
    data = book([sheet(1, 2), sheet(2, 3)])
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        assert brindle.load_workbook(io.BytesIO(data)).sheetnames == ["S1", "S2"]
        assert started == []
        monkeypatch.setattr(sys, "_is_gil_enabled", lambda: False)
        with pytest.raises(AttributeError):  # the stand-in gives no results
            brindle.load_workbook(io.BytesIO(data))
    assert len(started) == 1


def test_an_abandoned_load_cancels_the_sheets_still_being_read(monkeypatch, brindle_options):
    """When a sheet fails, the reads of later sheets stop at their next chunk instead
    of running to the end."""
    brindle_options(parallel_sheets=True)
    monkeypatch.setattr(parallel_reader.os, "process_cpu_count", lambda: 2)
    reads = []
    started = threading.Event()

    class Slow(parallel_reader.CancellableSource):
        __slots__ = ()

        def read(self, size=-1):
            reads.append(size)
            if len(reads) == 1:
                started.set()
                deadline = time.monotonic() + 2
                while not self._load.cancelled and time.monotonic() < deadline:
                    time.sleep(0.001)
            return super().read(size)

    monkeypatch.setattr(parallel_reader, "CancellableSource", Slow)
    original = full._Loader.read_sheet

    def read_sheet(self, ws, source, cell_styles, wrap=None):
        if ws.title == "S1":
            started.wait(5)  # fail only once the second sheet is being read
            raise RuntimeError("the first sheet fails")
        return original(self, ws, source, cell_styles, wrap)

    monkeypatch.setattr(full._Loader, "read_sheet", read_sheet)
    big = gen.render([gen.Row(r, [(1, gen.number_cell(r))]) for r in range(1, 100_000)])
    with pytest.raises(RuntimeError, match="the first sheet fails"):
        brindle.load_workbook(io.BytesIO(book([sheet(1, 2), big])))
    assert not [t for t in threading.enumerate() if t.name.startswith("brindle ")]
    assert len(reads) == 1
