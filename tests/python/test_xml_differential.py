"""The native XML reader against expat, on generated and mutated documents.

Whenever the reader accepts a document, expat (with namespace processing)
must accept it too and report the same elements, namespaces, attributes and
text; whenever the reader calls a document malformed, expat must reject it.
"Unsupported" may go either way: it only sends the document to the host.
"""

import json
import pathlib
import random
import subprocess
import xml.parsers.expat as expat

import pytest
from hypothesis import given, strategies as st

ROOT = pathlib.Path(__file__).resolve().parents[2]
TOOL = ROOT / "build" / "dev" / "tests" / "cpp" / "xml_events"

pytestmark = pytest.mark.skipif(not TOOL.exists(), reason="xml_events is not built")

SEP = "\x01"  # cannot occur in a well-formed name or URI


def run_native(docs, chunk):
    """Runs the reader over every document in one process."""
    payload = b"".join(b"%d\n%s" % (len(d), d) for d in docs)
    out = subprocess.run(
        [str(TOOL), "--batch", str(chunk)], input=payload, capture_output=True, check=True, timeout=120
    ).stdout
    lines = out.decode("utf-8").splitlines()
    assert len(lines) == len(docs)
    return [json.loads(line) for line in lines]


def run_expat(doc):
    """Events in the reader's normal form, or None when expat rejects."""
    events = []
    text = []

    def flush():
        if text:
            s = "".join(text)
            text.clear()
            if s:
                events.append(("text", s))

    def split(name):
        # With prefixes reported, a name is local, uri+local or uri+local+prefix.
        parts = name.split(SEP)
        uri, local = (parts[0], parts[1]) if len(parts) > 1 else ("", parts[0])
        qname = parts[2] + ":" + local if len(parts) == 3 else local
        return uri, local, qname

    def key(name):
        uri, local, _ = split(name)
        return "{%s}%s" % (uri, local) if uri else local

    def start(name, attrs):
        flush()
        uri, local, qname = split(name)
        events.append(("start", qname, uri, local, {key(k): v for k, v in attrs.items()}))

    def end(name):
        flush()
        uri, local, _ = split(name)
        events.append(("end", uri, local))

    p = expat.ParserCreate(namespace_separator=SEP)
    p.namespace_prefixes = True
    p.StartElementHandler = start
    p.EndElementHandler = end
    p.CharacterDataHandler = text.append
    try:
        p.Parse(doc, True)
    except (expat.ExpatError, LookupError, ValueError):
        return None
    flush()
    return events


def normal_form(native_events):
    out = []
    for e in native_events:
        if "text" in e:
            if not e["text"]:
                continue
            if out and out[-1][0] == "text":
                out[-1] = ("text", out[-1][1] + e["text"])
            else:
                out.append(("text", e["text"]))
        elif "start" in e:
            out.append(("start", e["start"], e["ns"], e["local"], e["attrs"]))
        else:
            out.append(("end", e["ns"], e["end"]))
    return out


def compare(docs, chunk=65536):
    for doc, got in zip(docs, run_native(docs, chunk)):
        theirs = run_expat(doc)
        if "error" in got:
            if got["error"] == "malformed":
                assert theirs is None, (doc, got)
            continue
        assert theirs is not None, (doc, "accepted by the reader, rejected by expat")
        assert normal_form(got["events"]) == theirs, doc


# Pieces from which documents are assembled: enough variety to reach every
# construct, few enough values that collisions (duplicates, rebinding) happen.
NAMES = ["a", "b", "p:c", "q:c", "_d.e-f", "xml:g", "p:a"]
ATTR_NAMES = ["x", "y", "p:x", "q:x", "xml:lang", "xmlns", "xmlns:p", "xmlns:q", "xmlns:xml"]
ATTR_NAMES = ATTR_NAMES + ["x", "y", "xmlns:p", "xmlns:q", "z", "xmlns"]
URIS = ["", "u1", "u2", "urn:a b", "u1", "u2", "u&amp;3", "http://www.w3.org/XML/1998/namespace",
        "http://www.w3.org/2000/xmlns/", "http://schemas.openxmlformats.org/spreadsheetml/2006/main"]
SAFE_CHARS = list("ab >;#x]\"'-=:/") + ["\r", "\n", "\t", "\r\n", "\x7f", "\xa0", "\u00e9", "\u20ac",
                                            "\U0001f600", "\ufffd", "&amp;", "&lt;", "&#x41;", "&#13;",
                                            "&#10;", "&#9;", "&#x10FFFF;", "&quot;", "]]"]
RISKY_CHARS = ["<", "&", "?", "\x01", "\uffff", "]]>", "&#0;", "&nbsp;", "&#X41;", "--", "&#xD800;", "&#;"]
# Mostly valid pieces, so that a good share of documents is accepted.
TEXT_CHARS = st.sampled_from(SAFE_CHARS * 6 + RISKY_CHARS)
TEXT = st.lists(TEXT_CHARS, max_size=8).map("".join)


@st.composite
def attribute(draw):
    name = draw(st.sampled_from(ATTR_NAMES))
    value = draw(st.sampled_from(URIS)) if name.startswith("xmlns") else draw(TEXT)
    quote = draw(st.sampled_from(["'", '"']))
    space = draw(st.sampled_from([" ", "\n", "\t ", "  "]))
    return f"{space}{name}={quote}{value}{quote}"


@st.composite
def element(draw, depth=0):
    name = draw(st.sampled_from(NAMES))
    attrs = "".join(draw(st.lists(attribute(), max_size=3)))
    # Usually declare the prefixes in use, so that most documents get past
    # namespace resolution.
    for prefix in ("p", "q"):
        if (name.startswith(prefix + ":") or f" {prefix}:" in attrs) and draw(st.integers(0, 3)):
            attrs = f" xmlns:{prefix}='{draw(st.sampled_from(URIS[1:4]))}'" + attrs
    if depth > 3 or draw(st.integers(0, 3)) == 0:
        return f"<{name}{attrs}/>"
    parts = []
    for _ in range(draw(st.integers(0, 3))):
        kind = draw(st.integers(0, 5))
        if kind <= 1:
            parts.append(draw(TEXT))
        elif kind == 2:
            parts.append(draw(element(depth + 1)))
        elif kind == 3:
            parts.append("<![CDATA[" + draw(TEXT) + "]]>")
        elif kind == 4:
            parts.append("<!--" + draw(TEXT) + "-->")
        else:
            parts.append("<?" + draw(st.sampled_from(["pi", "xml", "x-y", "a:b"])) + " " + draw(TEXT) + "?>")
    end = draw(st.sampled_from([name, name, name, "b", name + " "]))
    return f"<{name}{attrs}>{''.join(parts)}</{end}>"


PROLOGS = ["", "", "", "<?xml version='1.0'?>", "<?xml version='1.0'?>",
           '<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n',
           "<?xml version='1.1'?>", "<?xml encoding='utf-8'?>", "\ufeff", " ", "<!-- c -->\n", "<?pi?>",
           "<!DOCTYPE a>", "<?xml version='1.0' encoding='latin-1'?>"]


@st.composite
def document(draw):
    tail = draw(st.sampled_from(["", "\n", " x", "<a/>", "<!---->"]))
    doc = draw(st.sampled_from(PROLOGS)) + draw(element()) + tail
    data = doc.encode("utf-8")
    # Byte-level damage on some documents: splits of multi-byte characters,
    # stray markup, lost quotes.
    for _ in range(draw(st.sampled_from([0, 0, 0, 0, 1, 2]))):
        if not data:
            break
        at = draw(st.integers(0, len(data) - 1))
        op = draw(st.integers(0, 2))
        if op == 0:
            data = data[:at] + data[at + 1:]
        elif op == 1:
            piece = draw(st.sampled_from([b"<", b">", b"'", b"&", b"\xc3", b"\x00", b"]]>", b"/"]))
            data = data[:at] + piece + data[at:]
        else:
            data = data[:at] + data[at:][::-1][:1] + data[at + 1:]
    return data


@given(st.lists(document(), min_size=20, max_size=40), st.sampled_from([1, 7, 65536]))
def test_reader_agrees_with_expat(docs, chunk):
    compare(docs, chunk)


def mutations(seed, base, count):
    rng = random.Random(seed)
    out = []
    for _ in range(count):
        d = bytearray(rng.choice(base))
        for _ in range(rng.randint(1, 4)):
            if not d:
                break
            at = rng.randrange(len(d))
            op = rng.randrange(4)
            if op == 0:
                del d[at]
            elif op == 1:
                d.insert(at, rng.choice(b"<>/'\"=&;:!?-[] \n\r\tax\x80\xc3\xef\x00"))
            elif op == 2:
                d[at] = rng.randrange(256)
            else:
                j = rng.randrange(len(d))
                d[at:at] = d[j:j + rng.randint(1, 6)]
        out.append(bytes(d))
    return out


SEEDS = [
    b"<?xml version='1.0' encoding='UTF-8'?><a xmlns='u' xmlns:p='v' p:x='1&amp;2' y=\"\r\n\">"
    b"t&#x41;<![CDATA[c]]><b/></a>",
    b"<worksheet xmlns='http://schemas.openxmlformats.org/spreadsheetml/2006/main'><sheetData><row r='1'>"
    b"<c r='A1' t='s'><v>0</v></c><c r='B1'><f t='shared' ref='B1:B3' si='0'>A1*2</f><v>2</v></c>"
    b"</row></sheetData></worksheet>",
    b"<r><!-- x --><?pi data?><a xml:lang='en'>caf\xc3\xa9</a><q:b xmlns:q='urn:q' q:k='v'/></r>",
    b"<a>&lt;&gt;&amp;&apos;&quot;&#65;&#x10FFFF;</a>",
]


def test_mutated_documents_agree_with_expat():
    docs = mutations(20261208, SEEDS, 3000)
    compare(docs, 7)
