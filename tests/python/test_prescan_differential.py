"""prescan_sheet against the pure-Python prescan on generated worksheets."""

import io

from hypothesis import given, strategies as st

from brindle import _brindle as m
from testkit import make_helpers

import pure_prescan as prescan_mod

MAIN = "http://schemas.openxmlformats.org/spreadsheetml/2006/main"

cell_attrs = st.lists(st.sampled_from([' r="A1"', ' r="B2"', ' r="C1"', ' r=""', ' s="1"', ' s=""',
                                       ' s="a&amp;b"', ' t="s"', ' x:s="9"', ' r="$A$1"']),
                      max_size=3, unique_by=lambda a: a.split("=")[0])
row_attrs = st.lists(st.sampled_from([' r="1"', ' r="2"', ' r="+3"', ' r="7"', ' spans="1:3"',
                                      ' ht="15"', ' x:y="z"', ' customHeight="1"',
                                      " xml:lang='en'"]),
                     max_size=3, unique_by=lambda a: a.split("=")[0])


@st.composite
def worksheet(draw):
    rows = []
    for _ in range(draw(st.integers(0, 4))):
        cells = []
        for attrs in draw(st.lists(cell_attrs, max_size=4)):
            body = draw(st.sampled_from(["", "<v>1</v>", "<v>&lt;row r=\"9\"&gt;</v>",
                                         "<is><t>x</t></is>"]))
            cells.append(f"<c{''.join(attrs)}>{body}</c>" if body else f"<c{''.join(attrs)}/>")
        rows.append(f"<row{''.join(draw(row_attrs))}>{''.join(cells)}</row>")
    head = draw(st.sampled_from(["", "<dimension ref='A1'/>", "<sheetPr><x:a/></sheetPr>"]))
    tail = draw(st.sampled_from(["", "<mergeCells/>", "<b>t</b>"]))
    sd = f"<sheetData>{''.join(rows)}</sheetData>" if rows or draw(st.booleans()) else "<sheetData/>"
    return f'<worksheet xmlns="{MAIN}" xmlns:x="urn:x">{head}{sd}{tail}</worksheet>'.encode()


corners = st.one_of(st.none(), st.lists(st.tuples(st.integers(1, 8), st.integers(1, 4)), max_size=6))


def run(fn, data, want_rows, wanted):
    try:
        return ("ok", fn(io.BytesIO(data), want_rows, wanted, make_helpers()))
    except m.NativeFallback as e:
        return ("fallback", e.args[0])
    except Exception as e:  # noqa: BLE001 - the pure prescan's exception is the expectation
        return ("error", type(e).__name__)


@given(worksheet(), st.booleans(), corners)
def test_native_prescan_matches_pure(data, want_rows, wanted):
    native = run(m.prescan_sheet, data, want_rows, wanted)
    pure = run(prescan_mod.prescan_sheet, data, want_rows, wanted)
    if native[0] == "fallback":
        assert native[1].startswith(("unsupported: ", "malformed: ")), native
    else:
        assert native == pure
