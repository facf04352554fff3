"""The pure-Python SheetWriter: the same text as the row writers, in the same
pieces as the native writer (which is held to it in test_sheet_writer)."""

import pytest
from hypothesis import given, strategies as st

import brindle
from brindle.writer.cell import make_writer_helpers
from brindle.writer.rows import sorted_rows, write_row, write_rows
from pure_sheet_writer import FLUSH_AT, SheetWriter

both_modes = pytest.mark.parametrize("lxml", [False, True], ids=["etree", "lxml"])

values = (st.none() | st.booleans() | st.floats() | st.integers(-2**64, 2**64)
          | st.text(st.characters(codec="utf-8", exclude_categories=["Cs", "Cc"],
                                  exclude_characters="\ufffe\uffff"), max_size=6)
          | st.sampled_from(["=A1", " a ", "#N/A", "\t"]))


def sheet(rows, lxml=False, dims=()):
    wb = brindle.Workbook(lxml=lxml)
    ws = wb.active
    for row in rows:
        ws.append(row)
    for r in dims:
        ws.row_dimensions[r].height = r
    return ws


def reference_calls(ws, lxml, writer_cls=SheetWriter):
    calls = []
    writer = writer_cls(ws, calls.append, lxml, make_writer_helpers(lxml))
    writer.write_sheet_data(lambda: sorted_rows(ws))
    return calls


@given(st.lists(st.lists(values, max_size=5), max_size=5), st.sets(st.integers(1, 7)),
       st.booleans())
def test_same_text_as_the_row_writers(rows, dims, lxml):
    ws = sheet(rows, lxml, dims)
    expected = []
    write_rows(ws, expected.append, lxml)
    join = b"".join if lxml else "".join
    ws._hyperlinks.clear()
    assert reference_calls(ws, lxml) == [join(expected)]

    ws._hyperlinks.clear()
    calls = []
    writer = SheetWriter(ws, calls.append, lxml, make_writer_helpers(lxml))
    for row, cells in sorted_rows(ws):
        writer.write_row(cells, row)
    writer.flush()
    assert join(calls) == join(write_row(ws, cells, row, lxml) for row, cells in sorted_rows(ws))


@both_modes
def test_flushes_after_the_row_that_reaches_a_mebibyte(lxml):
    ws = brindle.Workbook(write_only=True, lxml=lxml).create_sheet()
    big = "x" * (FLUSH_AT // 3)
    calls = []
    writer = SheetWriter(ws, calls.append, lxml, make_writer_helpers(lxml))
    for r in range(1, 5):
        writer.write_row([brindle.Cell(ws, r, 1, big)], r)
    end = b"</row>" if lxml else "</row>"
    assert len(calls) == 1 and len(calls[0]) >= FLUSH_AT and isinstance(calls[0], type(end))
    assert calls[0].endswith(end) and calls[0].count(end) == 3
    writer.flush()
    writer.flush()  # nothing left: no call
    assert len(calls) == 2


def test_a_failing_row_stays_in_the_buffer_and_write_is_retried():
    ws = brindle.Workbook(write_only=True).create_sheet()
    calls = []

    def write(text):
        calls.append(text)
        if len(calls) == 1:
            raise OSError("disk full")

    writer = SheetWriter(ws, write, False, make_writer_helpers(False))
    bad = brindle.Cell(ws, 1, 2)
    bad._value = "\ud800"
    with pytest.raises(brindle.IllegalCharacterError):
        writer.write_row([brindle.Cell(ws, 1, 1, 1), bad], 1)
    with pytest.raises(OSError):
        writer.flush()
    writer.flush()
    assert calls == ['<row r="1"><c r="A1" t="n"><v>1</v></c>'] * 2


@pytest.mark.parametrize("missing", ["StyleArray", "write_cell", "safe_string"])
def test_missing_helpers(missing):
    ws = brindle.Workbook().active
    helpers = make_writer_helpers(False)
    del helpers[missing]
    with pytest.raises(TypeError, match=f"^missing helper {missing}$"):
        SheetWriter(ws, print, False, helpers)
    for bad in ((ws, print, 1, make_writer_helpers(False)), (ws, print, False, [])):
        with pytest.raises(TypeError):
            SheetWriter(*bad)


def test_keys_other_than_integer_pairs_use_the_host_order():
    ws = sheet([[1, 2]])
    ws._cells[("x", 1)] = brindle.Cell(ws, 9, 1, "odd")
    seen = []

    def rows_fallback():
        seen.append(True)
        return [(5, [ws._cells[("x", 1)]])]

    calls = []
    SheetWriter(ws, calls.append, False, make_writer_helpers(False)).write_sheet_data(rows_fallback)
    assert seen and calls == [
        '<sheetData><row r="5"><c r="A9" t="inlineStr"><is><t>odd</t></is></c></row></sheetData>']
