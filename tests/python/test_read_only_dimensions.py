"""The extent of a read-only sheet: the range its <dimension> declares when that is a
usable range (read without the rows), else the range its cells occupy; with the engine
and without it, the same answers and the same errors."""

import io
import warnings

import pytest

import brindle
from brindle import InvalidFileError
from brindle.reader import workbook as wb_mod
from sheetgen import MAIN, xlsx

CELLS = '<sheetData><row r="2"><c r="C2"><v>1</v></c><c r="E2"><v>2</v></c></row>' \
        '<row r="4" ht="20"/><row r="5"><c r="B5"><v>3</v></c></row></sheetData>'
SCANNED = (2, 2, 5, 5, "B2:E5")


def sheet(head="", body=CELLS, root=f'xmlns="{MAIN}"', tag="worksheet"):
    return f"<{tag} {root}>{head}{body}</{tag}>".encode()


def extent(data, native, reset=False):
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with brindle.load_workbook(io.BytesIO(xlsx([data])), read_only=True,
                                   native=native) as wb:
            ws = wb["S"]
            if reset:
                ws.reset_dimensions()
            return ws.min_row, ws.min_column, ws.max_row, ws.max_column, ws.dimensions


@pytest.mark.parametrize("native", [True, False], ids=["native", "pure"])
@pytest.mark.parametrize("data,expected", [
    (sheet('<dimension ref="A1:H30"/>'), (1, 1, 30, 8, "A1:H30")),
    (sheet('<dimension ref="$b$2:$c$3"/>'), (2, 2, 3, 3, "B2:C3")),
    (sheet('<dimension ref="D7"/>'), (7, 4, 7, 4, "D7")),
    (sheet('<x:dimension ref="A1:B2"/>', root=f'xmlns:x="{MAIN}"', tag="x:worksheet"),
     (1, 1, 2, 2, "A1:B2")),
    # No usable declaration: the cells are read.
    (sheet(), SCANNED),
    (sheet('<dimension/>'), SCANNED),
    (sheet('<dimension ref="A:C"/>'), SCANNED),
    (sheet('<dimension ref="C10:A1"/>'), SCANNED),
    (sheet('<dimension ref="A1:XFE1"/>'), SCANNED),
    (sheet('<dimension ref="A1:A1048577"/>'), SCANNED),
    (sheet('<dimension xmlns="urn:other" ref="A1:H30"/>'), SCANNED),
    (sheet(body="<sheetData/>"), (1, 1, 1, 1, "A1")),
    (sheet('<dimension ref="A1"/>', body="<sheetData/>"), (1, 1, 1, 1, "A1")),
], ids=lambda v: v.decode()[:60] if isinstance(v, bytes) else None)
def test_the_declared_range_is_used_when_usable_else_the_cells(data, expected, native):
    assert extent(data, native) == expected


@pytest.mark.parametrize("native", [True, False], ids=["native", "pure"])
def test_reset_and_calculate_give_the_cells_whatever_the_file_declares(native):
    data = sheet('<dimension ref="A1:H30"/>')
    assert extent(data, native, reset=True) == SCANNED
    with brindle.load_workbook(io.BytesIO(xlsx([data])), read_only=True, native=native) as wb:
        ws = wb["S"]
        assert ws.calculate_dimension() == "B2:E5"
        assert ws.max_row == 30  # calculating does not change what is declared


@pytest.mark.parametrize("native", [True, False], ids=["native", "pure"])
def test_the_declared_range_is_read_without_the_rows(native, monkeypatch):
    data = sheet('<dimension ref="A1:C3"/>')
    with brindle.load_workbook(io.BytesIO(xlsx([data])), read_only=True, native=native) as wb:
        ws = wb["S"]
        monkeypatch.setattr(type(ws), "iter_rows", lambda *a, **k: pytest.fail("rows read"))
        assert (ws.max_row, ws.max_column) == (3, 3)


@pytest.mark.parametrize("native", [True, False], ids=["native", "pure"])
def test_a_damaged_part_before_its_dimension_is_an_invalid_file(native):
    data = sheet('<sheetPr><a></b></sheetPr><dimension ref="A1:C3"/>')
    with brindle.load_workbook(io.BytesIO(xlsx([data])), read_only=True, native=native) as wb:
        with pytest.raises(InvalidFileError, match="not well-formed") as info:
            wb["S"].max_row
    assert "xl/worksheets/s1.xml" in str(info.value)


def test_an_engine_decline_reads_the_dimension_again_in_python(monkeypatch):
    from brindle import _brindle as engine
    calls = []

    def declining(source):
        calls.append(source)
        raise engine.NativeFallback("unsupported: test")

    real = wb_mod._native_function
    monkeypatch.setattr(wb_mod, "_native_function",
                        lambda name: (declining, engine.NativeFallback)
                        if name == "find_dimension" else real(name))
    assert extent(sheet('<dimension ref="A1:C3"/>'), True) == (1, 1, 3, 3, "A1:C3")
    assert len(calls) == 1
