"""The native RowReader against the pure-Python one on generated worksheets:
the same rows, cells, actions and row dimensions, or a NativeFallback where
the pure reader raises (with the same exception inside it) or where the
engine declines."""

import io

import pytest
from hypothesis import given, strategies as st

from brindle import _brindle as m
import sheet_strategies as strategies
from testkit import make_helpers, make_parser

rows_mod = pytest.importorskip("brindle.reader.rows")

MAIN = "http://schemas.openxmlformats.org/spreadsheetml/2006/main"

values = st.sampled_from(["0", "1", "-0", "007", "2.5", "1e3", "-1.5E-3", "abc", "", " 3", "1_0",
                          "12345678901234567890", "1e", "60", "2958466", "0.5", "a&amp;b", "x&#10;y",
                          "\u00e9", "-1", "3"])
types = st.sampled_from([None, "n", "s", "b", "e", "str", "d", "inlineStr", "odd", ""])
styles = st.sampled_from([None, "0", "1", "2", "", "+1", "01", "99999999999999999999"])
refs = st.sampled_from([None, "", "A1", "B2", "C1", "$A$1", "a1", "ZZZ9", "AAAA1", "A0"])
formulas = st.sampled_from([None, "<f>1+1</f>", "<f/>", '<f t="array" ref="A1:A2">B1</f>',
                            '<f t="array">B1</f>', '<f t="shared" si="0">A1+B$1</f>',
                            '<f t="shared" si="0"/>', '<f t="shared" si="1">"x</f>',
                            '<f t="shared">C1</f>', '<f t="shared"/>',
                            '<f t="dataTable" ref="A1:B2" r1="A1"/>'])
extras = st.sampled_from(["", "<is><t>in</t></is>", "<is><r><t>a</t></r><r><t>b</t></r></is>",
                          "<is><r><rPr><b/><sz val='9'/></rPr><t>a</t></r></is>",
                          "<is><r><rPr><odd/></rPr><t>a</t></r></is>", "<is a='1'><t>q</t></is>",
                          "<x:e xmlns:x='urn:x'><v>9</v></x:e>", "<v>7</v>", "<extra/>"])


worksheet = strategies.worksheets(
    strategies.cells(refs, styles, types, formulas, values, extras),
    rows=4, cells_per_row=4, row_refs=[None, "1", "2", "5", "+3", ""],
    heads=['<dimension ref="A1"/>'])


def run(cls, data, parser_kw, mode):
    rd = {}
    parser = make_parser(row_dimensions=rd, **parser_kw)
    try:
        r = cls(io.BytesIO(data), parser, make_helpers())
        rows = []
        while True:
            if mode == "raw":
                row = r.next_raw()
            else:
                row = r.next_row("ws", 1, None, mode == "values", rows_mod.ReadOnlyCell, None)
            if row is None:
                break
            if mode == "cells":
                row = (row[0], [c if c is None else
                                (c.parent, c.row, c.column, c._value, c.data_type, c._style_id,
                                 c.formula, c.cached_value) for c in row[1]])
            rows.append(row)
        return ("ok", rows, r.actions, rd)
    except m.NativeFallback as e:
        return ("fallback", e.args[0])
    except Exception as e:  # noqa: BLE001 - the pure reader's exception is the expectation
        return ("error", f"{type(e).__qualname__}: {e}")


@given(worksheet, st.booleans(), st.booleans(), st.booleans(),
       st.sampled_from(["raw", "values", "cells"]))
def test_native_reads_like_pure(data, fav, data_only, rich, mode):
    parser_kw = dict(shared_strings=["s0", "s1", "s2", "s3"], date_formats={1, 2},
                     timedelta_formats={2}, formula_and_value=fav, data_only=data_only,
                     rich_text=rich)
    native = run(m.RowReader, data, parser_kw, mode)
    pure = run(rows_mod.RowReader, data, parser_kw, mode)
    if pure[0] == "error" and pure[1].startswith("ParseError: "):
        # Malformed XML: the engine declines and the host's own parse raises.
        assert native[0] == "fallback", native
    elif pure[0] == "error" and pure[1].startswith("OutsideSheet: "):
        # Past a sheet's limits: the engine refuses in the host's words.
        assert native == ("fallback", pure[1].removeprefix("OutsideSheet: "))
    elif pure[0] == "error" and pure[1].startswith("CellFault: "):
        # A cell naming a style or string that cannot be: the engine
        # declines, the host names the cell.
        assert native[0] == "fallback" and native[1].startswith("malformed: "), native
    elif pure[0] == "error":
        assert native == ("fallback", "native reader error: " + pure[1])
    elif native[0] == "fallback":
        # Declined input must be something the engine refuses on purpose.
        assert native[1].startswith(("unsupported: ", "malformed: ")), native
    else:
        assert native == pure


@pytest.mark.parametrize("odd", ["&amp;", "&gt;", "&#13;", "\t", "\n", "\u00e9", "\U0001f600", "]]&gt;"])
def test_values_with_a_character_at_every_offset(odd):
    # Values of every length up to past two 16-byte blocks, with the odd
    # character at every position: where the scans that take values whole
    # hand over to the careful path is invisible in the result.
    cells = []
    for length in range(1, 40):
        for at in range(0, length, 3):
            text = "x" * at + odd + "y" * (length - at)
            cells.append(f'<c t="str"><v>{text}</v></c><c><f>{text}</f><v>1</v></c>')
    rows = "".join(f'<row r="{k + 1}">{c}</row>' for k, c in enumerate(cells))
    data = (f'<worksheet xmlns="{MAIN}"><sheetData>{rows}</sheetData></worksheet>').encode()
    for mode in ("values", "raw"):
        native = run(m.RowReader, data, {}, mode)
        assert native[0] == "ok"
        assert native == run(rows_mod.RowReader, data, {}, mode)
