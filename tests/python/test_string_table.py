"""The shared-string table and the dimension lookup: the engine against the pure-Python readers.

The pure-Python readers run on expat, so agreeing with them on generated
tables checks the engine's text against an XML parser nobody here wrote,
and the helper calls (which item goes to "si_content", which run properties
are validated) against an independent implementation of the same rules.
"""

import gc
import io
import sys
import tracemalloc
import xml.etree.ElementTree as ET

import pytest
from hypothesis import given, strategies as st

from brindle import _testing
from brindle.reader import dimension as py_dimension, string_table as py_table, strings

native = pytest.importorskip("brindle._brindle")
NativeFallback = native.NativeFallback

MAIN = "http://schemas.openxmlformats.org/spreadsheetml/2006/main"


class Source:
    """A binary file object that returns at most `size` bytes per read and counts reads."""

    def __init__(self, data, size=None):
        self.data = data
        self.at = 0
        self.size = size
        self.reads = 0

    def read(self, n):
        self.reads += 1
        step = n if self.size is None else self.size
        chunk = self.data[self.at:self.at + step]
        self.at += len(chunk)
        return chunk


class Recorder:
    """Wraps a helper and records its arguments."""

    def __init__(self, fn):
        self.fn = fn
        self.calls = []

    def __call__(self, *args):
        self.calls.append(args)
        return self.fn(*args)


def sst(body, root=f'<sst xmlns="{MAIN}">', end="</sst>"):
    return (root + body + end).encode()


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


# ---------------------------------------------------------------- values

@pytest.mark.parametrize("body,expected", [
    ("<si><t>a</t></si><si><r><t>b</t></r><r><t>c</t></r></si>", ["a", "bc"]),
    ("<si><t>_x005F_x0041_</t></si>", ["_x0041_"]),
    ("<si><t>xx005F_005F_</t></si>", ["x005F_"]),
    ("<si/><si><t/></si><si></si>", ["", "", ""]),
    ("<si><t>a</t><rPh sb='0' eb='1'><t>ph</t></rPh><phoneticPr fontId='1'/></si>", ["a"]),
    ("<si><r><rPr><b/><sz val='11'/></rPr><t>x</t></r><r><t xml:space='preserve'> y </t></r></si>",
     ["x y "]),
    ("<si><t>first</t><t>second</t></si>", ["second"]),
    ("<si><r><t>b</t></r><t>a</t></si>", ["ab"]),
    ("<si><t>a&amp;&lt;&#65;&#x42;<![CDATA[<&]]>\r\n</t></si>", ["a&<AB<&\n"]),
    ("<si><t>a<b/>c</t></si>", ["a"]),
    ("<si><extLst><t>no</t></extLst><t>yes</t></si>", ["yes"]),
    # Deferred: the host builds these; the values are the same.
    ("<si a='1'><t>d</t></si>", ["d"]),
    ("<si><r foo='1'><t>e</t></r></si>", ["e"]),
    ("<si><r><rPr><bogus/></rPr><t>f</t></r></si>", ["f"]),
    ("<si><mc:AlternateContent xmlns:mc='m'><mc:Choice><t>no</t></mc:Choice>"
     "<mc:Fallback><t>yes</t></mc:Fallback></mc:AlternateContent></si>", ["yes"]),
])
def test_values(body, expected):
    data = sst(body)
    assert run_native(data) == expected
    assert run_python(data) == expected


@pytest.mark.parametrize("data,expected", [
    (f'<x:sst xmlns:x="{MAIN}"><x:si><x:t>p</x:t></x:si></x:sst>'.encode(), ["p"]),
    (b"<sst><si><t>no namespace</t></si></sst>", []),
    (f'<sst xmlns="{MAIN}"/>'.encode(), []),
    (f'<any xmlns="{MAIN}"><si><t>root not checked</t></si></any>'.encode(), ["root not checked"]),
    (f'<sst xmlns:x="{MAIN}"><si/><x:si><t>t in no namespace</t></x:si></sst>'.encode(),
     ["t in no namespace"]),
    (b"\xef\xbb\xbf<?xml version='1.0' encoding='UTF-8'?>" + sst("<si><t>bom</t></si>"), ["bom"]),
])
def test_documents(data, expected):
    assert run_native(data) == expected
    assert run_python(data) == expected


def test_deferred_items_reach_si_content_with_their_bytes_and_bindings():
    si = Recorder(strings.si_content)
    data = (f'<x:sst xmlns:x="{MAIN}" xmlns:o="urn:o"><x:si a="1" xmlns:p="urn:p"><x:t>v</x:t>'
            f'</x:si><x:si><x:t>plain</x:t></x:si></x:sst>').encode()
    assert run_native(data, si_content=si) == ["v", "plain"]
    assert si.calls == [(b'<x:si a="1" xmlns:p="urn:p"><x:t>v</x:t></x:si>',
                         [("x", MAIN), ("o", "urn:o")])]
    assert type(si.calls[0][1][0]) is tuple


def test_the_validator_is_called_once_per_distinct_run_properties():
    validate = Recorder(strings.validate_rpr)
    rpr = "<rPr><b/><color rgb='FF0000'/></rPr>"
    body = f"<si><r>{rpr}<t>a</t></r></si>" * 3 + "<si><r><rPr><i/></rPr><t>b</t></r></si>"
    assert run_native(sst(body), validate_rpr=validate) == ["a"] * 3 + ["b"]
    assert validate.calls == [(rpr.encode(), [("", MAIN)]), (b"<rPr><i/></rPr>", [("", MAIN)])]


def test_a_false_verdict_defers_only_that_item():
    si = Recorder(lambda data, ns: "host")
    body = "<si><r><rPr><b/></rPr><t>a</t></r></si><si><r><rPr><i/></rPr><t>b</t></r></si>"
    validate = lambda data, ns: b"<i/>" not in data  # noqa: E731
    assert run_native(sst(body), validate_rpr=validate, si_content=si) == ["a", "host"]
    assert run_python(sst(body), validate_rpr=validate, si_content=si) == ["a", "host"]
    assert si.calls[0][0] == b"<si><r><rPr><i/></rPr><t>b</t></r></si>"


# --------------------------------------------------------- generated tables

_chars = st.characters(codec="utf-8", exclude_categories=["Cs", "Cc"]) | st.sampled_from("\t\n\r")
_pieces = st.lists(st.one_of(st.text(_chars, max_size=6), st.just("x005F_"), st.just("_x005F_x0041_")),
                   max_size=4).map("".join)


@st.composite
def encoded_text(draw):
    """Some text in one of its many spellings: escapes, character references, CDATA."""
    text = draw(_pieces)
    if "]]>" not in text and draw(st.booleans()) and "\r" not in text:
        return f"<![CDATA[{text}]]>"
    out = []
    for ch in text:
        how = draw(st.integers(0, 5)) if ch not in "<&>\r" else draw(st.integers(1, 5))
        if how == 0 or (how == 1 and ch not in "<&>\"'"):
            out.append(ch)
        elif how == 1:
            out.append({"<": "&lt;", "&": "&amp;", ">": "&gt;", '"': "&quot;", "'": "&apos;"}[ch])
        elif how in (2, 3):
            out.append(f"&#{ord(ch)};")
        else:
            out.append(f"&#x{ord(ch):X};")
    return "".join(out)


RPRS = ["", "<rPr><b/></rPr>", "<rPr><sz val='11'/><color rgb='FF0000'/><rFont val='Arial'/></rPr>",
        "<rPr><u val='bogus'/></rPr>", "<rPr><odd/></rPr>", "<rPr/>"]


@st.composite
def item(draw, p):
    """One <si> (with prefix p) and whether the host builds it."""
    parts = []
    kinds = draw(st.lists(st.sampled_from(["t", "r", "rPh", "phoneticPr", "extLst", "alt", "odd"]),
                          max_size=4))
    for kind in kinds:
        if kind == "t":
            enc = draw(encoded_text())
            parts.append(f"<{p}t>{enc}</{p}t>")
        elif kind == "r":
            enc = draw(encoded_text())
            rpr = draw(st.sampled_from(RPRS)).replace("<", "<" + p).replace("<" + p + "/", "</" + p)
            attr = draw(st.sampled_from(["", " odd='1'", " xml:lang='en'"]))
            parts.append(f"<{p}r{attr}>{rpr}<{p}t>{enc}</{p}t></{p}r>")
        elif kind == "rPh":
            parts.append(f"<{p}rPh sb='0' eb='1'><{p}t>ph</{p}t></{p}rPh>")
        elif kind == "phoneticPr":
            parts.append(f"<{p}phoneticPr fontId='1'/>")
        elif kind == "extLst":
            parts.append(f"<{p}extLst><{p}ext uri='u'><{p}t>no</{p}t></{p}ext></{p}extLst>")
        elif kind == "odd":
            parts.append(draw(st.sampled_from([
                "stray text", "<!-- c -->", "<?pi x?>", f"<{p}r/>", f"<{p}r><{p}r><{p}t>in</{p}t></{p}r></{p}r>",
                f"<{p}t>a<!-- c -->b<{p}b/>c</{p}t>", f"<{p}r><{p}rPr xmlns:z='urn:z'><{p}b/></{p}rPr></{p}r>",
                f"<{p}r><{p}rPr><{p}b/></{p}rPr><{p}rPr><{p}odd/></{p}rPr><{p}t>2</{p}t><{p}t>3</{p}t></{p}r>",
                f"<{p}rPh><{p}r><{p}rPr><{p}odd/></{p}rPr></{p}r></{p}rPh>"])))
        else:
            parts.append(f"<mc:AlternateContent xmlns:mc='urn:mc'><mc:Choice><{p}t>c</{p}t>"
                         f"</mc:Choice><mc:Fallback><{p}t>f</{p}t></mc:Fallback></mc:AlternateContent>")
    attr = draw(st.sampled_from(["", "", " count='1'", " xmlns:q='urn:q'", " q:a='1' xmlns:q='urn:q'"]))
    if not parts and draw(st.booleans()):
        return f"<{p}si{attr}/>"
    return f"<{p}si{attr}>{''.join(parts)}</{p}si>"


@st.composite
def table(draw):
    prefix = draw(st.sampled_from(["", "x:", "main:"]))
    decl = f'xmlns{":" + prefix[:-1] if prefix else ""}="{MAIN}"'
    extra = draw(st.sampled_from(["", ' xmlns:o="urn:o"', ' xmlns="urn:other"' if prefix else ""]))
    items = draw(st.lists(item(prefix), max_size=6))
    head = draw(st.sampled_from(["", "<?xml version='1.0' encoding='UTF-8' standalone='yes'?>\n"]))
    return (f"{head}<{prefix}sst {decl}{extra} count='{len(items)}'>" + "".join(items)
            + f"<!-- end --></{prefix}sst>").encode()


@given(table(), st.sampled_from([None, 1, 3, 65536]))
def test_generated_tables_agree_with_the_python_reader(data, size):
    si_native, si_python = Recorder(strings.si_content), Recorder(strings.si_content)
    got = native.read_string_table(Source(data, size), _testing.make_helpers(si_content=si_native))
    want = py_table.read_string_table(Source(data), _testing.make_helpers(si_content=si_python))
    assert got == want
    assert si_native.calls == si_python.calls
    assert all(type(v) is str for v in got)


@given(st.lists(st.text(_chars, max_size=8), max_size=20))
def test_plain_texts_match_elementtree(texts):
    # Oracle: ElementTree's serialiser and its own view of the items.
    root = ET.Element(f"{{{MAIN}}}sst")
    for text in texts:
        ET.SubElement(ET.SubElement(root, f"{{{MAIN}}}si"), f"{{{MAIN}}}t").text = text
    data = ET.tostring(root)
    want = [(si[0].text or "").replace("x005F_", "") for si in ET.fromstring(data)]
    assert run_native(data) == want


def test_read_sizes_do_not_matter():
    body = "".join(f"<si><r><rPr><b/></rPr><t>{i}&amp;{'é' * (i % 7)}</t></r><r><t>x005F_{i}</t></r></si>"
                   for i in range(6000))
    data = sst(body)
    assert len(data) > 3 * 65536
    want = run_native(data)
    assert len(want) == 6000 and want[1] == "1&é1"
    for size in (1, 65535, 65536, 65537, 10 ** 7):
        assert run_native(data, size) == want
    assert run_python(data) == want


# ------------------------------------------------------------------ errors

REASONS = [
    # Byte source and prolog.
    (b"", "malformed: no element found"),
    (b"\xff\xfe<\x00s\x00", "unsupported: utf-16"),
    (b"<\x00s\x00/\x00>\x00", "unsupported: utf-16"),
    (b"<?xml version='1.0' encoding='latin-1'?><sst/>", "unsupported: encoding"),
    (b"<?xml version='1.1'?><sst/>", "unsupported: xml version"),
    (b"<?xml version='1.0' standalone='maybe'?><sst/>", "malformed: bad standalone"),
    (b"<?xml version='1.0' x='1'?><sst/>", "malformed: bad decl"),
    (b" <?xml version='1.0'?><sst/>", "malformed: misplaced xml declaration"),
    (b"<!DOCTYPE sst [<!ENTITY a 'b'>]><sst>&a;</sst>", "unsupported: doctype"),
    # Structure.
    (sst("<si><t>x</t></si>", end=""), "malformed: unclosed element"),
    (sst("<si><t>x</t>", end=""), "malformed: unclosed element"),
    (sst("<si><t>x</s></si>"), "malformed: mismatched tag"),
    (sst("") + b"<sst/>", "malformed: junk after document element"),
    (sst("") + b"text", "malformed: junk outside root"),
    (sst("<si><t>x", end=""), "malformed: unclosed element"),
    (sst("<si><t", end=""), "malformed: unclosed tag"),
    (sst("<si></t", end=""), "malformed: unclosed end tag"),
    (sst("<si><t>x</t ></si><si></si x>"), "malformed: bad end tag"),
    (sst("<!-- a -- b -->"), "malformed: -- in comment"),
    (sst("<!-- open", end=""), "malformed: unclosed comment"),
    (sst("<![CDATA[x", end=""), "malformed: unclosed cdata"),
    (sst("<?pi x", end=""), "malformed: unclosed pi"),
    (sst("<?a$ x?>"), "malformed: bad pi"),
    (sst("<?xml x?>"), "malformed: misplaced xml declaration"),
    (b"<?xml version='1.0'", "malformed: unclosed decl"),
    (sst("<", end=""), "malformed: unclosed token"),
    (b"<![CDATA[x]]><sst/>", "malformed: cdata outside root"),
    (sst("<?a:b x?>"), "malformed: colon in pi target"),
    (sst("<!ELEMENT x>"), "malformed: bad markup declaration"),
    # Names and attributes.
    (sst("<si><1t/></si>"), "malformed: bad name"),
    (sst("<si></></si>"), "malformed: expected name"),
    (sst("<si><a:1b xmlns:a='u'/></si>"), "malformed: bad qname"),
    (sst("<si><t\xe9/></si>"), "unsupported: non-ascii name"),
    (sst("<si><a:b:c xmlns:a='u'/></si>"), "unsupported: bad qname"),
    (sst("<si a='1' a='2'/>"), "malformed: duplicate attribute"),
    (sst("<si a:x='1' b:x='2' xmlns:a='u' xmlns:b='u'/>"), "malformed: duplicate attribute"),
    (sst("<si a/>"), "malformed: expected ="),
    (sst("<si a=1/>"), "malformed: expected quote"),
    (sst("<si a='1'b='2'/>"), "malformed: missing whitespace between attributes"),
    (sst("<si a='<'/>"), "malformed: < in attribute"),
    (sst("<si a='1", end=""), "malformed: unclosed tag"),
    (sst("<si><p:t/></si>"), "malformed: unbound prefix"),
    (sst("<si xmlns:p=''/>"), "malformed: empty prefixed namespace"),
    (sst("<si xmlns:xml='urn:x'/>"), "malformed: xml prefix"),
    (sst("<si xmlns:xmlns='urn:x'/>"), "malformed: xmlns prefix"),
    (sst("<si xmlns:p='http://www.w3.org/2000/xmlns/'/>"), "malformed: reserved namespace"),
    # Text, references and characters.
    (sst("<si><t>a]]>b</t></si>"), "malformed: ]]> in text"),
    (sst("<si><t>&nope;</t></si>"), "malformed: undefined entity"),
    (sst("<si><t>& x</t></si>"), "malformed: bad reference"),
    (sst("<si><t>&#xZ;</t></si>"), "malformed: bad char ref"),
    (sst("<si><t>&#0;</t></si>"), "malformed: invalid char ref"),
    (sst("<si><t>&#xD800;</t></si>"), "malformed: invalid char ref"),
    (sst("<si><t>a\x01</t></si>"), "malformed: invalid character"),
    (sst("<si><t>a\x00b</t></si>"), "malformed: invalid character"),
    (sst("")[:-6] + b"<si><t>\xc3(</t></si></sst>", "malformed: invalid utf-8"),
    (sst("")[:-6] + b"<si><t>\xed\xa0\x80</t></si></sst>", "malformed: invalid utf-8"),
    (sst("")[:-6] + b"<si a='\xff'/></sst>", "malformed: invalid utf-8"),
    (sst("<si a='&#1;'/>"), "malformed: invalid char ref"),
    # The table's own rules.
    (f'<si xmlns="{MAIN}"><t>root</t></si>'.encode(), "unsupported: nested si"),
    (sst("<x><si/></x>"), "unsupported: nested si"),
    (sst("<si><t>a<si/></t></si>"), "unsupported: nested element handled by dispatcher"),
    (sst("<si><r><si/></r></si>"), "unsupported: nested element handled by dispatcher"),
]


@pytest.mark.parametrize("data,reason", REASONS)
def test_reasons(data, reason):
    assert outcome(run_native, data) == ("fallback", reason)
    # Well-formed input the engine refuses is read by the host instead.
    if reason.startswith("malformed"):
        py = outcome(run_python, data)
        assert py == ("parse error", None)


@pytest.mark.parametrize("cut", [1, 5, 20, 37, 60, 61, 75, 90, -8, -1])
def test_truncated_documents(cut):
    data = sst("<si><r><rPr><b val='1'/></rPr><t>a&amp;b</t></r></si><!-- c --><si><t>x</t></si>")
    got = outcome(run_native, data[:cut])
    assert got[0] == "fallback" and got[1].startswith("malformed: ")
    assert outcome(run_python, data[:cut])[0] == "parse error"


@pytest.mark.parametrize("data,reason", [
    (sst("<a>" * 100_000 + "</a>" * 100_000), None),
    (sst("<a>" * 100_000 + "<si/>" + "</a>" * 100_000), "unsupported: nested si"),
    (sst("<si><t>" + "<b>" * 100_000 + "</b>" * 100_000 + "t</t></si>"), None),
    (sst("<si><t>" + "<b>" * 100_000, end=""), "malformed: unclosed element"),
    (sst(f"<si a='{'v' * 5_000_000}'><t>x</t></si>"), None),
    (sst(f"<si><r><rPr><rFont val='{'f' * 3_000_000}'/></rPr><t>y</t></r></si>"), None),
    (b"<!DOCTYPE lol [<!ENTITY l 'lol'><!ENTITY l2 '&l;&l;&l;'>]>" + sst("<si><t>&l2;</t></si>"),
     "unsupported: doctype"),
    (b'<!DOCTYPE sst SYSTEM "file:///etc/passwd">' + sst(""), "unsupported: doctype"),
])
def test_hostile_input(data, reason):
    got = outcome(run_native, data, 65536)
    if reason is None:
        assert got[0] == "ok" and got == outcome(run_python, data)
    else:
        assert got == ("fallback", reason)


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

    def bad_validate(data, ns):
        raise Boom("validate")

    def bad_si(data, ns):
        raise Boom("si")

    class Untrue:
        def __bool__(self):
            raise Boom("bool")

    rich = sst("<si><r><rPr><b/></rPr><t>a</t></r></si><si a='1'/>")
    for helpers, message in [({"validate_rpr": bad_validate}, "validate"),
                             ({"validate_rpr": lambda d, n: Untrue()}, "bool"),
                             ({"si_content": bad_si}, "si")]:
        for run in (run_native, run_python):
            with pytest.raises(Boom, match=message):
                run(rich, **helpers)


def test_a_validator_error_waits_for_the_end_of_its_item():
    calls = []

    def validate(data, ns):
        calls.append(data)
        raise Boom("late")

    # The error is held while the item is checked to its end, so a later
    # XML error inside the same item wins.
    broken = sst("<si><r><rPr><b/></rPr><t>a</t></r><r><rPr><i/></rPr></r><t>&bad;</t></si>")
    assert outcome(run_native, broken, validate_rpr=validate) == ("fallback", "malformed: undefined entity")
    calls.clear()
    with pytest.raises(Boom):
        run_native(sst("<si><r><rPr><b/></rPr></r><r><rPr><i/></rPr></r></si>"), validate_rpr=validate)
    assert calls == [b"<rPr><b/></rPr>"]


@pytest.mark.parametrize("chunk,message", [
    ("<sst/>", "'str' object is not an instance of 'bytes'"),
    (None, "'None' is not an instance of 'bytes'"),
    (bytearray(b"<sst/>"), "'bytearray' object is not an instance of 'bytes'"),
])
def test_chunks_must_be_bytes(chunk, message):
    class Odd:
        def read(self, n):
            return chunk

    with pytest.raises(TypeError, match=message):
        native.read_string_table(Odd(), _testing.make_helpers())


@pytest.mark.parametrize("helpers,message", [
    (_testing.make_helpers(validate_rpr=_testing.MISSING), "missing helper validate_rpr"),
    (_testing.make_helpers(si_content=_testing.MISSING), "missing helper si_content"),
    (_testing.make_helpers(int=_testing.MISSING), "missing helper int"),
    ([], "'helpers' must be dict, not list"),
])
def test_helpers_are_checked_before_any_byte_is_read(helpers, message):
    src = Source(sst("<si/>"))
    with pytest.raises(TypeError, match=message):
        native.read_string_table(src, helpers)
    assert src.reads == 0
    if isinstance(helpers, dict):
        with pytest.raises(TypeError, match=message):
            py_table.read_string_table(Source(sst("<si/>")), helpers)


def test_repeated_calls_leak_nothing():
    # Helpers that allocate nothing lasting: the host's own parse through
    # ElementTree, whose parsers the collector frees in its own time.
    def si_content(data, ns):
        return "host"

    helpers = _testing.make_helpers(si_content=si_content, validate_rpr=lambda data, ns: True)
    good = sst("<si><t>a</t></si><si a='1'><t>b</t></si><si><r><rPr><b/></rPr><t>c</t></r></si>")
    bad = sst("<si><t>a</t></si><si><t>&bad;</t></si>")

    class Failing:
        def read(self, n):
            raise Boom()

    def cycle(n):
        for _ in range(n):
            native.read_string_table(Source(good), helpers)
            try:
                native.read_string_table(Source(bad), helpers)
            except NativeFallback:
                pass
            try:
                native.read_string_table(Failing(), helpers)
            except Boom:
                pass
            native.find_dimension(Source(b'<w xmlns="%s"><dimension ref="A1"/></w>' % MAIN.encode()))

    cycle(20)
    gc.collect()
    refs = (sys.getrefcount(si_content), sys.getrefcount(helpers), sys.getrefcount(Failing))
    tracemalloc.start()
    try:
        # Caches fill during the first round; a leak grows with every call after.
        cycle(20)
        gc.collect()
        before = tracemalloc.get_traced_memory()[0]
        cycle(300)
        gc.collect()
        grown = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    assert (sys.getrefcount(si_content), sys.getrefcount(helpers), sys.getrefcount(Failing)) == refs
    assert grown < 12_000  # one leaked small object per call would be over 50 kB


# --------------------------------------------------------------- dimension

DIM = f'<worksheet xmlns="{MAIN}"><dimension ref="A1:B2"/><sheetData/></worksheet>'.encode()


@pytest.mark.parametrize("data,expected", [
    (DIM, (b'<dimension ref="A1:B2"/>', [("", MAIN)])),
    (f'<x:worksheet xmlns:x="{MAIN}"><x:dimension ref="A1:B2"/></x:worksheet>'.encode(),
     (b'<x:dimension ref="A1:B2"/>', [("x", MAIN)])),
    (f'<worksheet xmlns="{MAIN}" xmlns:r="urn:r"><dimension ref="A1" xmlns:o="urn:o">'
     f'<o:e>t</o:e></dimension></worksheet>'.encode(),
     (b'<dimension ref="A1" xmlns:o="urn:o"><o:e>t</o:e></dimension>', [("", MAIN), ("r", "urn:r")])),
    (f'<worksheet xmlns="{MAIN}"><sheetData><row r="1"/></sheetData><dimension ref="A1"/></worksheet>'
     .encode(), None),
    (f'<worksheet xmlns="{MAIN}"><sheetPr/></worksheet>'.encode(), None),
    (b'<worksheet><dimension ref="A1"/></worksheet>', None),
    # Nothing after the element is read, well-formed or not.
    (f'<worksheet xmlns="{MAIN}"><dimension ref="A1"/><oops'.encode(), (b'<dimension ref="A1"/>', [("", MAIN)])),
])
@pytest.mark.parametrize("size", [None, 1])
def test_find_dimension(data, expected, size):
    assert native.find_dimension(Source(data, size)) == expected
    assert py_dimension.find_dimension(Source(data, size)) == expected


@pytest.mark.parametrize("data,reason", [
    (f'<worksheet xmlns="{MAIN}"><dimension><sheetData/></dimension></worksheet>'.encode(),
     "unsupported: nested element handled by dispatcher"),
    (f'<worksheet xmlns="{MAIN}"><dimension ref="A1">'.encode(), "malformed: unclosed element"),
    (b"", "malformed: no element found"),
    (b"<!DOCTYPE w><worksheet/>", "unsupported: doctype"),
])
def test_find_dimension_refusals(data, reason):
    with pytest.raises(NativeFallback) as info:
        native.find_dimension(Source(data))
    assert str(info.value) == reason


def test_find_dimension_reads_one_chunk_of_a_big_sheet():
    row = b'<row r="1"><c r="A1" t="s"><v>0</v></c><c r="B1"><v>3.25</v></c></row>'
    data = (f'<worksheet xmlns="{MAIN}"><dimension ref="A1:B700000"/><sheetData>'.encode()
            + row * (50_000_000 // len(row)) + b"</sheetData></worksheet>")
    src = Source(data)
    assert native.find_dimension(src) == (b'<dimension ref="A1:B700000"/>', [("", MAIN)])
    assert src.reads == 1
    src = Source(data)
    assert py_dimension.find_dimension(src)[0] == b'<dimension ref="A1:B700000"/>'
    assert src.reads == 1


@pytest.mark.parametrize("refuse", [False, True])
def test_load_workbook_tries_the_engine_first(tmp_path, monkeypatch, refuse):
    xlsxwriter = pytest.importorskip("xlsxwriter")
    import brindle
    from brindle.reader import workbook

    path = tmp_path / "strings.xlsx"
    wb = xlsxwriter.Workbook(str(path))
    ws = wb.add_worksheet()
    ws.write_string(0, 0, "caf\u00e9 & <b>")
    ws.write_rich_string(1, 0, "plain ", wb.add_format({"bold": True}), "bold")
    ws.write_string(2, 0, "_x0041_")
    wb.close()

    calls = []
    real = workbook._native_function

    def spy(name):
        fn, fallback = real(name)

        def wrapped(*args):
            calls.append(name)
            if refuse:
                raise fallback("unsupported: refused here")
            return fn(*args)
        return wrapped, fallback

    monkeypatch.setattr(workbook, "_native_function", spy)
    with brindle.load_workbook(path) as book:
        assert book.shared_strings[:2] == ["caf\u00e9 & <b>", "plain bold"]
        got = list(book.worksheets[0].iter_rows(values_only=True))
    assert calls == ["read_string_table"]
    monkeypatch.setattr(workbook, "USE_NATIVE", False)
    with brindle.load_workbook(path) as book:
        assert list(book.worksheets[0].iter_rows(values_only=True)) == got
