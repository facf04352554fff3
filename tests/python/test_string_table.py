"""The shared-string table and the dimension lookup: the engine against the pure-Python readers.

The pure-Python readers run on expat, so agreeing with them on generated
tables checks the engine's text against a parser nobody here wrote, and its
helper calls (which item goes to "si_content") against an independent
implementation of the same rules.
"""

import gc
import sys
import tracemalloc
import xml.etree.ElementTree as ET

import pytest
from hypothesis import given, strategies as st

import testkit as _testing
from brindle.reader import dimension as py_dimension, string_table as py_table, strings
from brindle.utils.escapes import decode_escapes

native = pytest.importorskip("brindle._brindle")
NativeFallback = native.NativeFallback
MAIN = "http://schemas.openxmlformats.org/spreadsheetml/2006/main"


class Source:
    """A binary file object returning at most `size` bytes per read; counts reads."""

    def __init__(self, data, size=None):
        self.data, self.at, self.size, self.reads = data, 0, size, 0

    def read(self, n):
        self.reads += 1
        chunk = self.data[self.at:self.at + (self.size or n)]
        self.at += len(chunk)
        return chunk


class Recorder:
    def __init__(self, fn):
        self.fn, self.calls = fn, []

    def __call__(self, *args):
        self.calls.append(args)
        return self.fn(*args)


def sst(body, end="</sst>"):
    return (f'<sst xmlns="{MAIN}">' + body + end).encode()


def run_native(data, size=None, **helpers):
    return native.read_string_table(Source(data, size), _testing.make_helpers(**helpers))


def run_python(data, **helpers):
    return py_table.read_string_table(Source(data), _testing.make_helpers(**helpers))


def outcome(fn, *args, **kw):
    try:
        return ("ok", fn(*args, **kw))
    except NativeFallback as exc:
        return ("fallback", str(exc))
    except ET.ParseError:
        return ("parse error", None)


@pytest.mark.parametrize("data,expected", [
    (sst("<si><t>a</t></si><si><r><t>b</t></r><r><t>c</t></r></si>"), ["a", "bc"]),
    (sst("<si><t>_x005F_x0041_</t></si><si><t>xx005F_005F_</t></si>"),
     ["_x0041_", "xx005F_005F_"]),
    (sst("<si><t>_x000d__xD83D__xDE00__xD83D_</t></si><si><r><t>_x00</t></r><r><t>41_</t></r></si>"),
     ["\r\U0001F600_xD83D_", "A"]),
    (sst("<si/><si><t/></si><si><t>2</t><t>1</t><rPh><t>ph</t></rPh><phoneticPr/></si>"),
     ["", "", "1"]),
    (sst("<si><r><t>b</t></r><t>a&amp;&#65;<![CDATA[<&]]>\r\n<b/>c</t></si>"), ["a&A<&\nb"]),
    # Deferred to the host, which builds the same value.
    (sst("<si a='1'><t>d</t></si><si><r foo='1'><t>e</t></r></si><si><r><rPr><bogus/></rPr>"
         "<t>f</t></r></si>"), ["d", "e", "f"]),
    (sst("<si><mc:AlternateContent xmlns:mc='m'><mc:Choice><t>no</t></mc:Choice><mc:Fallback>"
         "<t>yes</t></mc:Fallback></mc:AlternateContent></si>"), ["yes"]),
    (f'<x:any xmlns:x="{MAIN}"><x:si><t>p</t></x:si><si/></x:any>'.encode(), ["p"]),
    (b"\xef\xbb\xbf<?xml version='1.0' encoding='UTF-8'?><sst><si><t>x</t></si></sst>", []),
])
def test_values(data, expected):
    assert run_native(data) == run_python(data) == expected


def test_helper_calls():
    si, validate = Recorder(strings.si_content), Recorder(strings.validate_rpr)
    rpr = "<rPr><b/><color rgb='FF0000'/></rPr>"
    data = (f'<x:sst xmlns:x="{MAIN}" xmlns:o="u"><x:si a="1" xmlns:p="v"><x:t>v</x:t></x:si>'
            + f"<x:si><x:r>{rpr}<x:t>a</x:t></x:r></x:si>" * 3 + "</x:sst>").encode()
    assert run_native(data, si_content=si, validate_rpr=validate) == ["v", "a", "a", "a"]
    assert si.calls == [(b'<x:si a="1" xmlns:p="v"><x:t>v</x:t></x:si>', [("x", MAIN), ("o", "u")])]
    assert validate.calls == [(rpr.encode(), [("x", MAIN), ("o", "u")])]  # once per distinct rPr


_chars = st.characters(codec="utf-8", exclude_categories=["Cs", "Cc"]) | st.sampled_from("\t\n\r")
_escapes = st.sampled_from(["x005F_", "_x005F_", "_x0041_", "_x000d_", "_xD83D_", "_xDE00_", "_x00G1_"])
_text = st.lists(st.text(_chars, max_size=6) | _escapes, max_size=4).map("".join)
_refs = {"<": "&lt;", "&": "&amp;", ">": "&gt;"}


@st.composite
def encoded(draw):
    """Text in one of its spellings: literal, entities, character references, CDATA."""
    text = draw(_text)
    if "]]>" not in text and "\r" not in text and draw(st.booleans()):
        return f"<![CDATA[{text}]]>"
    how = draw(st.lists(st.integers(0, 2), min_size=len(text), max_size=len(text)))
    return "".join(_refs.get(c, c) if h == 0 else f"&#{ord(c)};" if h == 1 else f"&#x{ord(c):X};"
                   for c, h in zip(text, how))


def parts(p):
    rpr = st.sampled_from(["", f"<{p}rPr><{p}b/></{p}rPr>", f"<{p}rPr><{p}sz val='9'/></{p}rPr>",
                           f"<{p}rPr><{p}u val='bad'/></{p}rPr>", f"<{p}rPr/>",
                           f"<{p}rPr xmlns:z='z'><{p}odd/></{p}rPr>"])
    run = st.tuples(st.sampled_from(["", " odd='1'", " xml:lang='en'"]), rpr, encoded()).map(
        lambda a: f"<{p}r{a[0]}>{a[1]}<{p}t>{a[2]}</{p}t></{p}r>")
    return st.one_of(encoded().map(lambda t: f"<{p}t>{t}</{p}t>"), run, st.sampled_from([
        "stray", "<!-- c -->", "<?pi x?>", f"<{p}r/>", f"<{p}phoneticPr fontId='1'/>",
        f"<{p}rPh><{p}t>ph</{p}t></{p}rPh>", f"<{p}extLst><{p}t>no</{p}t></{p}extLst>",
        f"<{p}r><{p}r><{p}t>in</{p}t></{p}r><{p}t>2</{p}t><{p}t>3</{p}t></{p}r>",
        f"<{p}t>a<!-- c -->b<{p}b/>c</{p}t>",
        f"<mc:AlternateContent xmlns:mc='mc'><mc:Fallback><{p}t>f</{p}t></mc:Fallback>"
        "</mc:AlternateContent>"]))


@st.composite
def table(draw):
    p = draw(st.sampled_from(["", "x:"]))
    root = f'<{p}sst xmlns{":x" if p else ""}="{MAIN}"' + draw(st.sampled_from(["", ' xmlns:o="o"']))
    attrs = st.sampled_from(["", " count='1'", " xmlns:q='q'", " q:a='1' xmlns:q='q'"])
    items = draw(st.lists(st.tuples(attrs, st.lists(parts(p), max_size=4)), max_size=6))
    body = "".join(f"<{p}si{a}>{''.join(c)}</{p}si>" if c else f"<{p}si{a}/>" for a, c in items)
    return f"{root}>{body}</{p}sst>".encode()


@given(table(), st.sampled_from([None, 1, 3]), st.booleans())
def test_generated_tables_agree_with_the_python_reader(data, size, keep_runs):
    # With "si_runs" every item with runs goes to it, the rest as before.
    si_native, si_python = Recorder(strings.si_content), Recorder(strings.si_content)
    runs_native, runs_python = Recorder(strings.si_runs), Recorder(strings.si_runs)
    extra_native = {"si_runs": runs_native} if keep_runs else {}
    extra_python = {"si_runs": runs_python} if keep_runs else {}
    got = native.read_string_table(Source(data, size), _testing.make_helpers(
        si_content=si_native, **extra_native))
    assert got == py_table.read_string_table(Source(data), _testing.make_helpers(
        si_content=si_python, **extra_python))
    assert si_native.calls == si_python.calls
    assert runs_native.calls == runs_python.calls
    if keep_runs:
        # The plain value of an item is the same whether its runs are kept or not.
        plain = native.read_string_table(Source(data), _testing.make_helpers())
        assert [v[0] if type(v) is tuple else v for v in got] == plain


@pytest.mark.parametrize("helper", [None, strings.si_runs])
def test_items_with_runs_go_to_si_runs(helper):
    data = sst("<si><t>a</t></si><si><r><rPr><b/></rPr><t>b</t></r><r><t>c</t></r></si>"
               "<si><t>d</t><r><t>e</t></r></si>")
    got = run_native(data, si_runs=helper)
    assert got == run_python(data, si_runs=helper)
    if helper is None:
        assert got == ["a", "bc", "de"]
    else:
        bold = strings.TextBlock(strings.InlineFont(b=True), "b")
        assert got == ["a", ("bc", strings.CellRichText([bold, "c"])),
                       ("de", strings.CellRichText(["d", "e"]))]


@given(st.lists(_text, max_size=20))
def test_plain_texts_match_elementtree(texts):
    root = ET.Element(f"{{{MAIN}}}sst")
    for text in texts:
        ET.SubElement(ET.SubElement(root, f"{{{MAIN}}}si"), f"{{{MAIN}}}t").text = text
    data = ET.tostring(root)
    assert run_native(data) == [decode_escapes(si[0].text or "") for si in ET.fromstring(data)]


def test_read_sizes_do_not_matter():
    data = sst("".join(f"<si><r><rPr><b/></rPr><t>{i}&amp;{'é' * (i % 7)}</t></r></si>"
                       for i in range(9000)))
    want = run_native(data)
    assert len(data) > 3 * 65536 and want[8] == "8&é"
    assert all(run_native(data, size) == want for size in (1, 65535, 65536, 65537, 10 ** 7))


# A representative reason per construct; the reader's own tests cover every text.
REFUSALS = [
    (b"", "malformed: no element found"),
    (b"\xff\xfe<\x00s\x00", "unsupported: utf-16"),
    (b"<?xml version='1.0' encoding='latin-1'?><sst/>", "unsupported: encoding"),
    (b"<!DOCTYPE s [<!ENTITY a 'b'><!ENTITY c '&a;&a;'>]><sst>&c;</sst>", "unsupported: doctype"),
    (sst("<si><t>x</t>", end=""), "malformed: unclosed element"),
    (sst("<si><t>x</s></si>"), "malformed: mismatched tag"),
    (sst("<!-- a -- b -->"), "malformed: -- in comment"),
    (sst("<si a='1' a='2'/>"), "malformed: duplicate attribute"),
    (sst("<si><p:t/></si>"), "malformed: unbound prefix"),
    (sst("<si><t\xe9/></si>"), "unsupported: non-ascii name"),
    (sst("<si><t>&nope;</t></si>"), "malformed: undefined entity"),
    (sst("<si><t>&#xD800;</t></si>"), "malformed: invalid char ref"),
    (sst("<si><t>a\x00b</t></si>"), "malformed: invalid character"),
    (sst("")[:-6] + b"<si><t>\xed\xa0\x80</t></si></sst>", "malformed: invalid utf-8"),
    (f'<si xmlns="{MAIN}"/>'.encode(), "unsupported: nested si"),
    (sst("<x>" * 100_000 + "<si/>" + "</x>" * 100_000), "unsupported: nested si"),
    (sst("<si><r><si/></r></si>"), "unsupported: nested element handled by dispatcher"),
]


@pytest.mark.parametrize("data,reason", REFUSALS, ids=[f"{i}:{r}" for i, (_, r) in enumerate(REFUSALS)])
def test_refusals(data, reason):
    assert outcome(run_native, data) == ("fallback", reason)
    if reason.startswith("malformed"):
        assert outcome(run_python, data) == ("parse error", None)


@pytest.mark.parametrize("cut", [1, 5, 37, 61, 75, -8, -1])
def test_truncated_documents(cut):
    data = sst("<si><r><rPr><b val='1'/></rPr><t>a&amp;b</t></r></si><!-- c --><si/>")[:cut]
    got = outcome(run_native, data)
    assert got[0] == "fallback" and got[1].startswith("malformed: ")
    assert outcome(run_python, data)[0] == "parse error"


@pytest.mark.parametrize("data,value", [
    (sst("<si><t>t" + "<b>" * 100_000 + "</b>" * 100_000 + "</t></si>"), "t"),
    (sst(f"<si a='{'v' * 5_000_000}'><t>x</t></si>"), "x"),
    (sst(f"<si><r><rPr><rFont val='{'f' * 3_000_000}'/></rPr><t>y</t></r></si>"), "y"),
], ids=["deep", "huge attribute", "huge rPr"])
def test_deep_and_huge_input(data, value):
    assert outcome(run_native, data) == outcome(run_python, data) == ("ok", [value])


class Boom(Exception):
    pass


def test_host_exceptions_pass_unchanged():
    exc = Boom("read")

    class Failing:
        def read(self, n):
            raise exc

    with pytest.raises(Boom) as info:
        native.read_string_table(Failing(), _testing.make_helpers())
    assert info.value is exc

    def boom(*_):
        raise Boom("helper")

    class Untrue:
        def __bool__(self):
            raise Boom("helper")

    rich = sst("<si><r><rPr><b/></rPr><t>a</t></r></si><si a='1'/>")
    for helpers in ({"validate_rpr": boom}, {"validate_rpr": lambda *_: Untrue()}, {"si_content": boom}):
        for run in (run_native, run_python):
            with pytest.raises(Boom, match="helper"):
                run(rich, **helpers)
    # A validator error waits for the end of its item: an XML error inside it comes first.
    broken = sst("<si><r><rPr><b/></rPr></r><t>&bad;</t></si>")
    assert outcome(run_native, broken, validate_rpr=boom) == ("fallback", "malformed: undefined entity")


@pytest.mark.parametrize("chunk,message", [
    ("<sst/>", "'str' object is not an instance of 'bytes'"),
    (None, "'None' is not an instance of 'bytes'"),
])
def test_chunks_must_be_bytes(chunk, message):
    with pytest.raises(TypeError, match=message):
        native.read_string_table(type("Odd", (), {"read": lambda self, n: chunk})(),
                                 _testing.make_helpers())


@pytest.mark.parametrize("helpers,message", [
    (_testing.make_helpers(validate_rpr=_testing.MISSING), "missing helper validate_rpr"),
    (_testing.make_helpers(si_content=_testing.MISSING), "missing helper si_content"),
    ([], "'helpers' must be dict, not list"),
])
def test_helpers_are_checked_before_any_byte_is_read(helpers, message):
    src = Source(sst("<si/>"))
    with pytest.raises(TypeError, match=message):
        native.read_string_table(src, helpers)
    assert src.reads == 0


def test_repeated_calls_leak_nothing():
    # Helpers that keep nothing: ElementTree's parsers would be freed by the
    # collector in its own time and blur the count.
    def si_content(data, ns):
        return "host"

    helpers = _testing.make_helpers(si_content=si_content, validate_rpr=lambda *_: True)
    good = sst("<si><t>a</t></si><si a='1'/><si><r><rPr><b/></rPr><t>c</t></r></si>")
    dim = b'<w xmlns="%s"><dimension ref="A1"/></w>' % MAIN.encode()

    class Failing:
        def read(self, n):
            raise Boom()

    def cycle(n):
        for _ in range(n):
            native.read_string_table(Source(good), helpers)
            native.find_dimension(Source(dim))
            for src in (Source(sst("<si>&bad;</si>")), Failing()):
                with pytest.raises((NativeFallback, Boom)):
                    native.read_string_table(src, helpers)

    cycle(40)
    gc.collect()
    refs = [sys.getrefcount(o) for o in (si_content, helpers, Failing)]
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        cycle(300)
        gc.collect()
        grown = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    assert [sys.getrefcount(o) for o in (si_content, helpers, Failing)] == refs
    assert grown < 12_000  # one small object kept per call would be over 50 kB


@pytest.mark.parametrize("data,expected", [
    (f'<worksheet xmlns="{MAIN}"><dimension ref="A1:B2"/><sheetData/></worksheet>',
     (b'<dimension ref="A1:B2"/>', [("", MAIN)])),
    (f'<x:worksheet xmlns:x="{MAIN}" xmlns:r="r"><x:dimension ref="A1" xmlns:o="o"><o:e/>'
     f'</x:dimension><oops', (b'<x:dimension ref="A1" xmlns:o="o"><o:e/></x:dimension>',
                             [("x", MAIN), ("r", "r")])),
    (f'<worksheet xmlns="{MAIN}"><sheetData/><dimension ref="A1"/></worksheet>', None),
    ('<worksheet><dimension ref="A1"/></worksheet>', None),
])
@pytest.mark.parametrize("size", [None, 1])
def test_find_dimension(data, expected, size):
    assert native.find_dimension(Source(data.encode(), size)) == expected
    assert py_dimension.find_dimension(Source(data.encode(), size)) == expected


def test_find_dimension_refuses_nested_elements():
    data = f'<worksheet xmlns="{MAIN}"><dimension><sheetData/></dimension></worksheet>'.encode()
    with pytest.raises(NativeFallback, match="^unsupported: nested element handled by dispatcher$"):
        native.find_dimension(Source(data))


def test_find_dimension_reads_one_chunk_of_a_big_sheet():
    row = b'<row r="1"><c r="A1" t="s"><v>0</v></c><c r="B1"><v>3.25</v></c></row>'
    data = (f'<worksheet xmlns="{MAIN}"><dimension ref="A1:B9"/><sheetData>'.encode()
            + row * (50_000_000 // len(row)) + b"</sheetData></worksheet>")
    for find in (native.find_dimension, py_dimension.find_dimension):
        src = Source(data)
        assert find(src)[0] == b'<dimension ref="A1:B9"/>' and src.reads == 1


@pytest.mark.parametrize("refuse", [False, True])
def test_load_workbook_tries_the_engine_first(tmp_path, monkeypatch, refuse):
    xlsxwriter = pytest.importorskip("xlsxwriter")
    import brindle
    from brindle.reader import workbook

    wb = xlsxwriter.Workbook(str(tmp_path / "s.xlsx"))
    wb.add_worksheet().write_rich_string(0, 0, "caf\u00e9 & ", wb.add_format({"bold": True}), "<b>")
    wb.close()
    calls, real = [], workbook._native_function

    def spy(name):
        fn, fallback = real(name)

        def wrapped(*args):
            calls.append(name)
            if refuse:
                raise fallback("unsupported: refused here")
            return fn(*args)
        return wrapped, fallback

    monkeypatch.setattr(workbook, "_native_function", spy)
    with brindle.load_workbook(tmp_path / "s.xlsx", read_only=True) as book:
        assert book.shared_strings == ["caf\u00e9 & <b>"] and calls == ["read_string_table"]
