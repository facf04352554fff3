"""The native prescan against the pure-Python one: same dict, same errors, or NativeFallback."""

import io
import random
import sys

import pytest
from hypothesis import given
from hypothesis import strategies as st

import sheetgen as gen
from testkit import make_helpers
from pure_prescan import prescan_sheet as pure
from sources import Trickle

m = pytest.importorskip("brindle._brindle")
MAIN = gen.MAIN
HELPERS = {"row_index": int}


def doc(body, head="", tail="", root_attrs=""):
    return (f'<worksheet xmlns="{MAIN}"{root_attrs}>{head}<sheetData>{body}</sheetData>{tail}'
            '</worksheet>').encode()




def native(data, want_rows=True, corners=None, helpers=HELPERS, chunk=None):
    source = io.BytesIO(data) if chunk is None else Trickle(data, chunk)
    return m.prescan_sheet(source, want_rows, corners, helpers)


def agree(data, want_rows=True, corners=None, helpers=HELPERS, chunk=None):
    got = native(data, want_rows, corners, helpers, chunk)
    assert list(got) == ["head", "tail", "rows", "corners"]
    expected = pure(io.BytesIO(data), want_rows, corners, helpers)
    assert got == expected
    assert list(got["corners"]) == list(expected["corners"])
    return got


def falls_back(data, reason, **kw):
    with pytest.raises(m.NativeFallback) as info:
        native(data, **kw)
    assert info.value.args == (reason,)


@given(st.integers(0, 10**6), st.sampled_from(["", "\n", "\r\n  "]), st.sampled_from(['"', "'"]),
       st.booleans(), st.booleans(), st.integers(1, 70))
def test_generated_sheets_agree(seed, newline, quote, escape_all, odd_attrs, chunk):
    rnd = random.Random(seed)
    rows, _ = gen.random_sheet(seed, n_rows=rnd.randrange(1, 30))
    syn = gen.Syntax(quote=quote, sep=rnd.choice([" ", "  ", "\t"]), newline=newline,
                     shuffle=random.Random(seed) if rnd.random() < 0.5 else None,
                     escape_all=escape_all, odd_attrs=odd_attrs)
    data = gen.render(rows, syn, head=("<sheetPr/>", "<dimension ref='A1'/>"),
                      tail=("<mergeCells count='0'/>", "<pageMargins left='0.7'/>"))
    cells = [(row.number, col) for row in rows for col, _ in row.cells]
    corners = rnd.sample(cells, min(len(cells), rnd.randrange(0, 6)))
    corners += [(rnd.randrange(1, 90), rnd.randrange(1, 10)) for _ in range(rnd.randrange(3))]
    for want_rows in (False, True):
        for asked in (None, corners):
            agree(data, want_rows, asked, chunk=chunk if rnd.random() < 0.3 else None)


@given(st.integers(0, 10**6))
def test_prefixed_or_cdata_sheets_fall_back_instead_of_miscounting(seed):
    rows, _ = gen.random_sheet(seed, n_rows=5)
    data = gen.render(rows, gen.Syntax(prefix="x"))
    # The pure prescan counts prefixed rows; the raw scan would not see them.
    assert pure(io.BytesIO(data), False, [(rows[0].number, 1)], HELPERS)["corners"]
    falls_back(data, "unsupported: prefixed sheetData", want_rows=False)
    cdata = gen.render(rows, gen.Syntax(cdata=True))
    if b"CDATA" in cdata:
        falls_back(cdata, "unsupported: comment/cdata/pi in sheetData")


@pytest.mark.parametrize("body,want_rows,corners,rows,found", [
    # Counting continues across rows and cells without `r`.
    ("<row r='10'/><row/><row ht='2'><c/><c s='1'/><c r='E12'/><c s='x'/></row>", True,
     [(12, 2), (12, 5), (12, 6)], [(12, [("ht", "2")])], {(12, 2): "1", (12, 5): None, (12, 6): "x"}),
    # Only rows that are children of sheetData and cells that are children of rows count.
    ("<row r='1'><c r='A1'><is><t>x</t></is></c><foo><c r='B1' s='5'/></foo></row>"
     "<foo><row r='9' ht='3'/><c r='A1' s='7'/></foo><row ht='4'><c s='2'/></row>", True,
     [(1, 1), (1, 2), (2, 1), (9, 1)], [(2, [("ht", "4")])], {(1, 1): None, (2, 1): "2"}),
    # Escaped text that reads like a tag is text.
    ("<row r='1'><c r='A1' t='str'><v>&lt;row r='7' ht='1'&gt;&lt;c r='A7' s='1'/&gt;</v></c></row>",
     True, [(7, 1), (1, 1)], [], {(1, 1): None}),
    # A later cell at the same position replaces the text, not the place.
    ("<row r='2'><c r='B2' s='1'/><c r='A2' s='3'/><c r='B2' s='2'/></row>", False,
     [(2, 1), (2, 2)], [], {(2, 2): "2", (2, 1): "3"}),
    # References are decoded; `r` and `spans` alone add no row; prefixed extras are kept.
    ("<row r='&#51;' spans='1:2'/><row r='4' ht='1&#x9;5' xml:lang='en'><c r='&#65;4' s='&amp;'/></row>",
     True, [(4, 1)], [(4, [("r", "4"), ("ht", "1\t5"), ("{http://www.w3.org/XML/1998/namespace}lang",
                                                          "en")])], {(4, 1): "&"}),
    # Short decimal forms the host's int reads the same way, and the helper for the rest.
    ("<row r='-0'/><row r='007' ht='1'/><row r=' 8 ' ht='1'/><row r='1234567890123456789' ht='1'/>",
     True, None, [(7, [("r", "007"), ("ht", "1")]), (8, [("r", " 8 "), ("ht", "1")]),
                  (1234567890123456789, [("r", "1234567890123456789"), ("ht", "1")])], {}),
    # Tag syntax the fast paths do not take.
    ("<row\n r = \"3\"\t><c\tr='A3'\n s='9' /><c r=\"B3\" s=\"a>b\"></c></row>", False,
     [(3, 1), (3, 2)], [], {(3, 1): "9", (3, 2): "a>b"}),
    ("", True, [(1, 1)], [], {}),
    ("<row r='1'><row r='5' ht='1'><c r='A5'/></row><c s='1'/></row>", True, [(5, 1), (1, 1)], [],
     {(1, 1): "1"}),
])
def test_edge_cases(body, want_rows, corners, rows, found):
    for chunk in (None, 1, 7):
        got = agree(doc(body), want_rows, corners, chunk=chunk)
        assert got["rows"] == rows and got["corners"] == found


def test_row_attributes_with_namespaces_from_the_root():
    data = doc("<row r='1' x14ac:dyDescent='0.25' ht='3'/>", root_attrs=" xmlns:x14ac='urn:ac'")
    got = agree(data, True, [(1, 1)])
    assert got["rows"] == [(1, [("r", "1"), ("{urn:ac}dyDescent", "0.25"), ("ht", "3")])]


def test_head_and_tail_keep_their_bytes_and_namespaces():
    head = "<sheetPr ><x:e xmlns:x='urn:e'>t&amp;<![CDATA[c>]]></x:e></sheetPr>"
    tail = "<mergeCells count='1'><mergeCell ref='A1:B2'/></mergeCells ><!-- c --><extLst/>"
    data = doc("<row r='1'/>", head, tail, root_attrs=" xmlns:r='urn:r'")
    for chunk in (None, 1, 5):
        got = agree(data, chunk=chunk)
        ns = [("", MAIN), ("r", "urn:r")]
        assert got["head"] == [(head.encode(), ns)]
        assert got["tail"] == [(b"<mergeCells count='1'><mergeCell ref='A1:B2'/></mergeCells >", ns),
                               (b"<extLst/>", ns)]


@pytest.mark.parametrize("data", [
    f"<worksheet xmlns='{MAIN}'><sheetPr/><mergeCells/></worksheet>".encode(),
    f"<worksheet xmlns='{MAIN}'><sheetPr/><sheetData/><mergeCells/></worksheet>".encode(),
    f"<worksheet xmlns='{MAIN}'><sheetData><row r='1'/></sheetData><sheetData><row ht='1'/>"
    "</sheetData></worksheet>".encode(),
])
def test_sheet_data_placement(data):
    for want_rows, corners in ((False, None), (True, [(1, 1)])):
        agree(data, want_rows, corners)


@pytest.mark.parametrize("body,reason,modes", [
    ("<row r='1'/><!-- c -->", "unsupported: comment/cdata/pi in sheetData", "all"),
    ("<row r='1'><c r='A1'><v><![CDATA[1]]></v></c></row>", "unsupported: comment/cdata/pi in sheetData",
     "all"),
    ("<?pi x?><row r='1'/>", "unsupported: comment/cdata/pi in sheetData", "all"),
    # A prefixed row is a row to a parser; a prefixed foreign element is not.
    ("<x:row r='1' xmlns:x='" + MAIN + "'/>", "unsupported: prefixed element in sheetData", "count"),
    ("<row r='1'><x:c r='A1' xmlns:x='urn:o'/></row>", "unsupported: prefixed element in sheetData",
     "cells"),
    ("<row r='1' xmlns='urn:o'/>", "unsupported: namespace declaration", "count"),
    ("<row r='1'><c r='A1' xmlns='urn:o'/></row>", "unsupported: namespace declaration",
     "cells"),
    ("<row r='12345678901234567890'/>", "unsupported: row index", "count"),
    ("<row r='9223372036854775807'/><row/>", "unsupported: row index", "count"),
    ("<row r='1'><c r='a1'/></row>", "unsupported: coordinate", "cells"),
    ("<row r='1'><c r='XFD0'/></row>", "unsupported: coordinate", "cells"),
    ("<row r='1'><c r='A1' s='1'", "malformed: eof in tag", "cells"),
    ("<row r='1'><c r='A1' s='1'/>", "malformed: eof in element", "all"),
    ("<row r='1' q:ht='1'/>", "malformed: unbound prefix", "rows"),
    ("<row r='1'></c></row>", "malformed: mismatched tag", "cells"),
    ("<row r='1' r='2'/>", "malformed: duplicate attribute", "rows"),
    # Row content is skipped to its end tag when no cell is asked for.
    ("<row r='1'><row r='5' ht='1'/></row>", "unsupported: row inside row", "rows"),
    ("<row r='1'><c r='A1' s='1'", "malformed: eof in element", "rows"),
    ("<row r='1'><c r='A1'><c r='B1'/></c></row>", "unsupported: cell inside cell", "cells"),
    ("<row r='1'><c r='A1'><v>1</v>", "malformed: eof in element", "cells"),
])
def test_refused_input(body, reason, modes):
    data = doc(body)
    if reason.startswith("malformed: eof"):
        data = data[:data.index(b"</sheetData>")]
    runs = {"all": [(False, None), (True, None), (False, [(1, 1)])],
            "count": [(True, None), (False, [(1, 1)])],
            "rows": [(True, None)], "cells": [(False, [(1, 1)]), (True, [(1, 1)])]}[modes]
    for want_rows, corners in runs:
        falls_back(data, reason, want_rows=want_rows, corners=corners)


@pytest.mark.parametrize("head", ["<x:sheetData xmlns:x='" + MAIN + "'></x:sheetData>",
                                  "<sheetData xmlns='urn:o'/>"])
def test_sheet_data_outside_the_default_main_namespace(head):
    data = f"<worksheet xmlns='{MAIN}'>{head}</worksheet>".encode()
    falls_back(data, "unsupported: prefixed sheetData", want_rows=False)


def test_host_errors_pass_unchanged():
    def row_index(text):
        raise LookupError(f"no row {text}")

    data = doc("<row r='x'/>")
    for fn in (native, lambda *a: pure(io.BytesIO(a[0]), *a[1:])):
        with pytest.raises(LookupError, match="no row x"):
            fn(data, True, None, {"row_index": row_index})
    with pytest.raises(TypeError, match="'str' object cannot be interpreted as an integer"):
        native(data, True, None, {"row_index": str})

    class Broken:
        def read(self, n):
            raise OSError("disk")

    with pytest.raises(OSError, match="disk"):
        m.prescan_sheet(Broken(), False, None, HELPERS)


@pytest.mark.parametrize("args", [
    (1, None, HELPERS), (None, None, HELPERS), (True, None, []), (True, None, {}),
    (True, 5, HELPERS), (True, [5], HELPERS), (True, [(1,)], HELPERS), (True, [(1, 2, 3)], HELPERS),
    (True, [[1, 2, 3]], HELPERS), (True, [range(3)], HELPERS), (True, [range(1)], HELPERS),
    (True, ["abc"], HELPERS),
    (True, [(1, "a")], HELPERS), (True, [(1.0, 2)], HELPERS),
])
def test_argument_errors_match(args):
    data = doc("<row r='1'/>")
    with pytest.raises(Exception) as want:
        pure(io.BytesIO(data), *args)
    with pytest.raises(type(want.value)) as got:
        m.prescan_sheet(io.BytesIO(data), *args)
    assert str(got.value) == str(want.value)


def test_odd_but_valid_corners():
    data = doc("<row r='1'><c r='A1' s='1'/><c r='B1'/></row>")
    got = agree(data, False, ([1, 1], (True, 2), (2**70, 1), (1, -2**80)))
    assert got["corners"] == {(1, 1): "1", (1, 2): None}
    assert agree(data, False, []) == agree(data, False, None)


def test_repeated_calls_hold_no_references():
    helpers = make_helpers()
    data = doc("<row r='1' ht='2'><c r='A1' s='1'/></row><row r='x'/>", "<sheetPr/>", "<mergeCells/>")
    corners = [(1, 1), (3, 4)]
    items = corners + [helpers["row_index"], helpers, corners]

    def bad_row(text):
        raise ValueError(text)

    bad = {"row_index": bad_row}
    before = [sys.getrefcount(o) for o in items] + [sys.getrefcount(bad_row)]
    for _ in range(200):
        native(data, True, corners, {"row_index": lambda t: 5})
        with pytest.raises(ValueError):
            native(data, True, corners, bad)
        with pytest.raises(m.NativeFallback):
            native(doc("<row r='1'/><!-- c -->"), True, corners, helpers)
    assert [sys.getrefcount(o) for o in items] + [sys.getrefcount(bad_row)] == before


def test_declarations_inside_sheet_data_fall_back():
    # The scan keeps no scopes of its own below <sheetData>.
    falls_back(doc("<row r='1' xmlns:q='urn:q' q:a='1'><c r='A1' s='3'/></row>"),
               "unsupported: namespace declaration", want_rows=True, corners=[(1, 1)])
    falls_back(doc("<row r='1'/><row r='2'><c r='A2' q:b='2'/></row>"), "malformed: unbound prefix",
               want_rows=False, corners=[(2, 1)])
