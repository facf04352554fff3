"""An XML part as its root's start tag and the raw bytes of each child.

A part the library owns but does not fully interpret (the workbook part) is
written back from these pieces: the children it does not change are copied
byte for byte, with the namespace declarations of the root they rely on, so
that prefixes, extensions and markup-compatibility attributes survive.
"""

import re
import xml.parsers.expat

_ATTR = re.compile(rb'\s+([^\s=/>]+)\s*=\s*("[^"]*"|\'[^\']*\')')


class Child:
    """One child element: its namespace URI, local name and raw bytes."""

    __slots__ = ("ns", "name", "data")

    def __init__(self, ns, name, data):
        self.ns = ns
        self.name = name
        self.data = data

    def __repr__(self):
        return f"Child({self.name!r}, {self.data[:40]!r})"


class Split:
    """`root` (the start tag of the root element, as bytes), its namespace
    URI and local name, and `children` in document order."""

    __slots__ = ("root", "ns", "name", "children")

    def __init__(self, root, ns, name, children):
        self.root = root
        self.ns = ns
        self.name = name
        self.children = children


def _tag_end(data, pos):
    """The index just past the tag that starts at `pos` (quotes respected)."""
    quote = None
    for i in range(pos, len(data)):
        c = data[i]
        if quote is not None:
            if c == quote:
                quote = None
        elif c in (0x22, 0x27):
            quote = c
        elif c == 0x3E:
            return i + 1
    raise ValueError("unterminated tag")


def split(data):
    """The `Split` of the UTF-8 XML document `data`; None when it is not
    well-formed UTF-8 XML (the caller then writes the part anew)."""
    body = data[3:] if data.startswith(b"\xef\xbb\xbf") else data
    head = body[:200].lstrip()
    if head.startswith(b"<?xml"):
        decl = head[:head.find(b"?>")]
        enc = re.search(rb'encoding\s*=\s*["\']([^"\']+)', decl)
        if enc and enc.group(1).lower().replace(b"_", b"-") not in (b"utf-8", b"utf8"):
            return None
    parser = xml.parsers.expat.ParserCreate(namespace_separator=" ")
    depth = 0
    root = []
    children = []
    start = [0]

    def on_start(name, _attrs):
        nonlocal depth
        depth += 1
        if depth == 1:
            i = parser.CurrentByteIndex
            root.append((name, body[i:_tag_end(body, i)]))
        elif depth == 2:
            start[0] = parser.CurrentByteIndex

    def on_end(name):
        nonlocal depth
        if depth == 2:
            s, i = start[0], parser.CurrentByteIndex
            piece = body[s:i]
            if piece.endswith(b"/>") and b"<" not in piece[1:]:
                end = i  # an empty-element tag: expat reports the index past it
            else:
                end = body.index(b">", i) + 1
            ns, _, local = name.rpartition(" ")
            children.append(Child(ns, local, body[s:end]))
        depth -= 1

    parser.StartElementHandler = on_start
    parser.EndElementHandler = on_end
    try:
        parser.Parse(body, True)
    except (xml.parsers.expat.ExpatError, ValueError):
        return None
    (name, tag), = root
    ns, _, local = name.rpartition(" ")
    return Split(tag, ns, local, children)


def attributes(tag):
    """The attributes of start tag `tag` (bytes) as {name: raw value} in order
    (values still escaped, without their quotes)."""
    return {m.group(1).decode(): m.group(2)[1:-1].decode() for m in _ATTR.finditer(tag)}


def set_attributes(tag, changes):
    """Start tag `tag` (bytes) with the attributes in `changes` ({name: escaped
    text, or None to remove}) replaced in place or added at the end."""
    changes = dict(changes)

    def repl(m):
        name = m.group(1).decode()
        if name not in changes:
            return m.group(0)
        value = changes.pop(name)
        return b"" if value is None else f' {name}="{value}"'.encode()

    out = _ATTR.sub(repl, tag)
    extra = "".join(f' {k}="{v}"' for k, v in changes.items() if v is not None).encode()
    if not extra:
        return out
    end = len(out) - (2 if out.endswith(b"/>") else 1)
    return out[:end] + extra + out[end:]


def prefix_for(root_tag, uri):
    """The prefix `root_tag` binds to `uri` ("" for the default namespace);
    None when it binds none."""
    for name, value in attributes(root_tag).items():
        if value == uri:
            if name == "xmlns":
                return ""
            if name.startswith("xmlns:"):
                return name[6:]
    return None
