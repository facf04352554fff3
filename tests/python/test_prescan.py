"""prescan_sheet: the elements around <sheetData>, rows with attributes and
the styles at requested positions, from a scan that refuses what it could
misread."""

import io
import sys

import pytest

from brindle import _brindle as m
from testkit import make_helpers

MAIN = "http://schemas.openxmlformats.org/spreadsheetml/2006/main"
NS = f'xmlns="{MAIN}"'
SCOPE = [("", MAIN)]


def scan(data, want_rows=False, corners=None, helpers=None, chunked=False):
    class Trickle(io.BytesIO):
        def read(self, n):
            return super().read(7)

    src = (Trickle if chunked else io.BytesIO)(data if isinstance(data, bytes) else data.encode())
    return m.prescan_sheet(src, want_rows, corners, helpers or make_helpers())


DOC = (f'<worksheet {NS} xmlns:x="urn:x"><sheetPr/><dimension ref="A1:C9"/>'
       '<sheetData>'
       '<row r="1" spans="1:3"><c r="A1" s="4"><v>1</v></c><c s="5"/><c r="C1"/></row>'
       '<row ht="20" x:y="z" customHeight="1"><c r="B2" s="a&amp;b"><v>&lt;row r="9"&gt;</v></c>'
       '<c r="B2" s="7"/></row>'
       '<row r="7" x:only="1"><c/><c/><c s="9"/></row><row/>'
       '</sheetData >'
       '<mergeCells count="1"><mergeCell ref="A1:B1"/></mergeCells></worksheet>')


@pytest.mark.parametrize("chunked", [False, True])
def test_everything_at_once(chunked):
    got = scan(DOC, True, [(1, 1), (1, 2), (1, 3), (2, 2), (7, 3), (8, 1), (5, 5)], chunked=chunked)
    assert list(got) == ["head", "tail", "rows", "corners"]
    assert got["head"] == [(b"<sheetPr/>", SCOPE + [("x", "urn:x")]),
                           (b'<dimension ref="A1:C9"/>', SCOPE + [("x", "urn:x")])]
    assert got["tail"] == [(b'<mergeCells count="1"><mergeCell ref="A1:B1"/></mergeCells>',
                            SCOPE + [("x", "urn:x")])]
    assert got["rows"] == [(2, [("ht", "20"), ("{urn:x}y", "z"), ("customHeight", "1")])]
    assert got["corners"] == {(1, 1): "4", (1, 2): "5", (1, 3): None, (2, 2): "7", (7, 3): "9"}


def test_nothing_wanted_only_finds_the_end():
    got = scan(DOC)
    assert got["rows"] == [] and got["corners"] == {}
    assert len(got["head"]) == 2 and len(got["tail"]) == 1


def test_without_sheet_data_everything_is_head():
    got = scan(f'<worksheet {NS}><a/><b>t</b></worksheet>', True, [(1, 1)])
    assert got == {"head": [(b"<a/>", SCOPE), (b"<b>t</b>", SCOPE)], "tail": [], "rows": [],
                   "corners": {}}
    got = scan(f'<worksheet {NS}><a/><sheetData/><b/></worksheet>', True, [(1, 1)])
    assert got["head"] == [(b"<a/>", SCOPE)] and got["tail"] == [(b"<b/>", SCOPE)]


def test_row_numbers_through_the_host():
    seen = []

    def row_index(text):
        seen.append(text)
        return int(text)

    doc = (f'<worksheet {NS}><sheetData><row r="+3"><c s="1"/></row><row r=" 9 "/>'
           '<row><c s="2"/></row></sheetData></worksheet>')
    got = scan(doc, True, [(3, 1), (10, 1)], helpers=make_helpers(row_index=row_index))
    assert got["corners"] == {(3, 1): "1", (10, 1): "2"}
    assert seen == ["+3", " 9 "]


@pytest.mark.parametrize("body, message", [
    ("<!-- c --><row/>", "unsupported: comment/cdata/pi in sheetData"),
    ("<row><c><v><![CDATA[1]]></v></c></row>", "unsupported: comment/cdata/pi in sheetData"),
    ("<?pi?>", "unsupported: comment/cdata/pi in sheetData"),
    ('<row><c r="a1" s="1"/></row>', "unsupported: coordinate"),
    ('<row xmlns:y="urn:y"/>', "unsupported: namespace declaration"),
    ('<row r="1" ht=1/>', "malformed: expected quote"),
    ('<row r="1"ht="1"/>', "malformed: missing whitespace between attributes"),
    ('<row r="99999999999999999999"/>', "unsupported: row index"),
    ('<row ht="1" q:x="1"/>', "malformed: unbound prefix"),
])
def test_refused(body, message):
    doc = f'<worksheet {NS}><sheetData>{body}</sheetData></worksheet>'
    with pytest.raises(m.NativeFallback) as info:
        scan(doc, True, [(1, 1)])
    assert info.value.args == (message,)


@pytest.mark.parametrize("doc", [
    f'<x:worksheet xmlns:x="{MAIN}"><x:sheetData/></x:worksheet>',
    f'<worksheet xmlns:x="{MAIN}" xmlns="urn:other"><x:sheetData></x:sheetData></worksheet>',
])
def test_prefixed_sheet_data(doc):
    with pytest.raises(m.NativeFallback, match="^unsupported: prefixed sheetData$"):
        scan(doc)


@pytest.mark.parametrize("cut", ["<row r=", "<row", "<row/><c"])
def test_truncated(cut):
    doc = f'<worksheet {NS}><sheetData>{cut}'
    with pytest.raises(m.NativeFallback, match="^malformed: eof in (tag|element)$"):
        scan(doc, True, [(1, 1)])


def test_argument_errors():
    with pytest.raises(TypeError, match="want_rows"):
        m.prescan_sheet(io.BytesIO(b""), 1, None, make_helpers())
    with pytest.raises(TypeError, match="helpers"):
        m.prescan_sheet(io.BytesIO(b""), True, None, [])
    with pytest.raises(TypeError, match="missing helper row_index"):
        m.prescan_sheet(io.BytesIO(b""), True, None, {})
    with pytest.raises(TypeError):
        m.prescan_sheet(io.BytesIO(b""), True, [(1, "a")], make_helpers())


def test_no_references_are_leaked():
    helpers = make_helpers()
    wanted = [(1, 1), (2, 2)]
    doc = DOC.encode()

    def run():
        scan(doc, True, wanted, helpers=helpers)
        with pytest.raises(m.NativeFallback):
            scan(f'<worksheet {NS}><sheetData><row ht="1"/><!-- --></sheetData></worksheet>', True,
                 wanted, helpers=helpers)

    run()
    before = [sys.getrefcount(o) for o in (helpers["row_index"], wanted[0])]
    for _ in range(20):
        run()
    assert [sys.getrefcount(o) for o in (helpers["row_index"], wanted[0])] == before
