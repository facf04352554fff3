"""Parts, relationships and content types of a package, as read and as written.

Reading keeps every part: its name, its content type and its bytes as the
archive stores them (still deflated), so that a part nothing interprets is
written back by copying those bytes, never inflated and deflated again, and
never parsed: a damaged chart cannot stop a load. Relationships are read for
every part that has them; a relationships part that is not readable XML is
kept as bytes and written back unchanged.
"""

import posixpath
import re
import xml.etree.ElementTree as ET
import zlib

from brindle.package.names import CT_NS, PKG_REL_NS, CT_RELS, XML_DECL, quote
from brindle.utils.xml_encoding import parse_part

_REL = "{%s}Relationship" % PKG_REL_NS
_TARGET = re.compile(rb'Target\s*=\s*["\']([^"\']*)["\']')


class Relationship:
    """One relationship of a part: `id`, `type`, `target` as written, whether
    the target is `external`, and `part`, the name of the package part it
    points at (None for an external target or one that leaves the package)."""

    __slots__ = ("id", "type", "target", "external", "part")

    def __init__(self, rel_id, rel_type, target, external=False, part=None):
        self.id = rel_id
        self.type = rel_type
        self.target = target
        self.external = external
        self.part = part

    @property
    def kind(self):
        """The last segment of the type ("worksheet", "drawing", ...)."""
        return self.type.rpartition("/")[2]

    def __repr__(self):
        return f"Relationship({self.id!r}, {self.kind!r}, {self.target!r})"


class Part:
    """A part of the package: its `name` (without a leading "/"), its
    `content_type` and its contents, either as the source archive stores
    them (`raw`, a `RawMember`) or as bytes."""

    __slots__ = ("name", "content_type", "raw", "_data")

    def __init__(self, name, content_type, data=None, raw=None):
        self.name = name
        self.content_type = content_type
        self.raw = raw
        self._data = data

    def data(self):
        """The part's contents, inflated when they are still deflated."""
        if self._data is None:
            raw = self.raw
            if raw.method == 0:
                self._data = raw.data
            else:
                self._data = zlib.decompress(raw.data, -15)
        return self._data


def rels_name(name):
    """The name of the relationships part of part `name` ("" for the package)."""
    folder, base = posixpath.split(name)
    return posixpath.join(folder, "_rels", base + ".rels")


def resolve(source, target):
    """The package name `target` means from part `source`; None when it leaves
    the package (such targets are carried as written, never followed)."""
    if not target or "://" in target or target.startswith("\\"):
        return None
    target = target.split("#", 1)[0]
    if target.startswith("/"):
        path = posixpath.normpath(target[1:])
    else:
        path = posixpath.normpath(posixpath.join(posixpath.dirname(source), target))
    if path.startswith("../") or path in (".", "..") or path.startswith("/"):
        return None
    return path


def relative(source, name):
    """A relationship target naming part `name` from part `source`, as
    spreadsheet applications write them (relative to the source's folder)."""
    return posixpath.relpath(name, posixpath.dirname(source) or ".")


class Package:
    """The parts of a package, with content types and relationships.

    `parts` maps names to `Part`s (relationships parts and the content-type
    table are not among them); `rels` maps a part's name ("" for the
    package) to its relationships in document order; `raw_rels` holds the
    bytes of relationships parts that could not be read as such."""

    def __init__(self):
        self.parts = {}
        self.defaults = {}
        self.overrides = {}
        self.rels = {}
        self.raw_rels = {}
        self.rels_data = {}  # the bytes of each relationships part, to copy unchanged

    @classmethod
    def read(cls, archive, skip=()):
        """The package of `archive` (a `ZipReader`). The parts named in
        `skip` are left out of `parts` (their owner reads them itself)."""
        pkg = cls()
        names = [n for n in archive.namelist() if not n.endswith("/")]
        if "[Content_Types].xml" in names:
            pkg._read_content_types(archive.read("[Content_Types].xml"))
        rels_parts = []
        for name in names:
            if name == "[Content_Types].xml":
                continue
            folder, base = posixpath.split(name)
            if posixpath.basename(folder) == "_rels" and base.endswith(".rels"):
                rels_parts.append(name)
                continue
            if name in skip:
                continue
            raw = archive.raw(name)
            part = Part(name, pkg.content_type(name), raw=raw)
            if raw is None:
                part._data = archive.read(name)
            pkg.parts[name] = part
        for name in rels_parts:
            folder, base = posixpath.split(name)
            source = posixpath.join(posixpath.dirname(folder), base[:-5])
            data = archive.read(name)
            pkg.rels_data[source] = data
            try:
                pkg.rels[source] = parse_rels(source, data)
            except ET.ParseError:
                pkg.raw_rels[source] = data
        return pkg

    def _read_content_types(self, data):
        try:
            root = parse_part(data)
        except ET.ParseError:
            return
        for el in root:
            if el.tag == "{%s}Default" % CT_NS:
                ext, ct = el.get("Extension"), el.get("ContentType")
                if ext and ct:
                    self.defaults[ext.lower()] = ct
            elif el.tag == "{%s}Override" % CT_NS:
                name, ct = el.get("PartName"), el.get("ContentType")
                if name and ct:
                    self.overrides[name.lstrip("/")] = ct

    def content_type(self, name):
        """The content type the package gives part `name` (None if it gives none)."""
        ct = self.overrides.get(name)
        if ct is None:
            ct = self.defaults.get(posixpath.splitext(name)[1][1:].lower())
        return ct

    def rels_of(self, name):
        return self.rels.get(name, [])

    def targets_of(self, name):
        """The parts that part `name` points at, also when its relationships
        part could only be kept as bytes."""
        if name in self.raw_rels:
            return [resolve(name, t.decode("utf-8", "replace"))
                    for t in _TARGET.findall(self.raw_rels[name])]
        return [rel.part for rel in self.rels_of(name) if not rel.external]


def parse_rels(source, data):
    """The relationships in the relationships part `data` of part `source`."""
    out = []
    for el in parse_part(data).iter(_REL):
        target = el.get("Target", "")
        external = el.get("TargetMode") == "External"
        out.append(Relationship(el.get("Id", ""), el.get("Type", ""), target, external,
                                None if external else resolve(source, target)))
    return out


def rels_xml(rels):
    """A relationships part holding `rels`."""
    body = "".join(
        f'<Relationship Id="{quote(r.id)}" Type="{quote(r.type)}" Target="{quote(r.target)}"'
        + (' TargetMode="External"' if r.external else "") + "/>"
        for r in rels)
    return f'{XML_DECL}<Relationships xmlns="{PKG_REL_NS}">{body}</Relationships>'


class RelIds:
    """Hands out relationship ids ("rId1", ...) that none of `taken` uses."""

    def __init__(self, taken=()):
        self.taken = set(taken)
        self.n = 0

    def next(self):
        while True:
            self.n += 1
            rid = f"rId{self.n}"
            if rid not in self.taken:
                self.taken.add(rid)
                return rid


def content_types_xml(defaults, parts):
    """The content-type table for `parts` ({name: content type}), with
    `defaults` ({extension: content type}) and an override for every part the
    defaults do not describe."""
    defaults = dict(defaults)
    defaults.setdefault("rels", CT_RELS)
    defaults.setdefault("xml", "application/xml")
    overrides = [(name, ct) for name, ct in parts.items()
                 if ct and defaults.get(posixpath.splitext(name)[1][1:].lower()) != ct]
    return (f'{XML_DECL}<Types xmlns="{CT_NS}">'
            + "".join(f'<Default Extension="{quote(e)}" ContentType="{quote(t)}"/>'
                      for e, t in defaults.items())
            + "".join(f'<Override PartName="/{quote(p)}" ContentType="{quote(t)}"/>'
                      for p, t in overrides)
            + "</Types>")
