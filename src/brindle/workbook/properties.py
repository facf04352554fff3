"""The document properties of a workbook (title, creator, dates, ...): the
package's core-properties part."""

from __future__ import annotations

import datetime
import xml.etree.ElementTree as ET
from typing import Any

from brindle.package.names import CORE_NS, XML_DECL, quote
from brindle.utils.xml_encoding import parse_part

_DC = "http://purl.org/dc/elements/1.1/"
_DCTERMS = "http://purl.org/dc/terms/"
_DCMITYPE = "http://purl.org/dc/dcmitype/"
_XSI = "http://www.w3.org/2001/XMLSchema-instance"

# (attribute, namespace, element) in the order applications write them.
_FIELDS = (
    ("title", _DC, "title"),
    ("subject", _DC, "subject"),
    ("creator", _DC, "creator"),
    ("keywords", CORE_NS, "keywords"),
    ("description", _DC, "description"),
    ("identifier", _DC, "identifier"),
    ("language", _DC, "language"),
    ("last_modified_by", CORE_NS, "lastModifiedBy"),
    ("revision", CORE_NS, "revision"),
    ("version", CORE_NS, "version"),
    ("last_printed", CORE_NS, "lastPrinted"),
    ("created", _DCTERMS, "created"),
    ("modified", _DCTERMS, "modified"),
    ("category", CORE_NS, "category"),
    ("content_status", CORE_NS, "contentStatus"),
)
_DATES = frozenset({"created", "modified", "last_printed"})
_PREFIX = {_DC: "dc", _DCTERMS: "dcterms", CORE_NS: "cp"}


class DocumentProperties:
    """Title, subject, creator, keywords, description, identifier, language,
    last_modified_by, revision, version, last_printed, created, modified,
    category and content_status of a workbook; None where unset. The dates
    are `datetime` values (UTC, without a zone); any other value is text."""

    __slots__ = tuple(f[0] for f in _FIELDS)
    title: str | None
    subject: str | None
    creator: str | None
    keywords: str | None
    description: str | None
    identifier: str | None
    language: str | None
    last_modified_by: str | None
    revision: str | None
    version: str | None
    last_printed: datetime.datetime | str | None
    created: datetime.datetime | str | None
    modified: datetime.datetime | str | None
    category: str | None
    content_status: str | None

    def __init__(self, **values: Any) -> None:
        for name in self.__slots__:
            setattr(self, name, values.pop(name, None))
        if values:
            raise TypeError(f"unknown document properties: {', '.join(sorted(values))}")

    def __repr__(self) -> str:
        shown = ", ".join(f"{n}={getattr(self, n)!r}" for n in self.__slots__
                          if getattr(self, n) is not None)
        return f"DocumentProperties({shown})"

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, DocumentProperties):
            return NotImplemented
        return all(getattr(self, n) == getattr(other, n) for n in self.__slots__)


def new_properties(creator="brindle"):
    """The properties of a new workbook. No dates are set unless the program
    sets them, so that saving the same workbook twice gives the same parts."""
    return DocumentProperties(creator=creator)


def _parse_date(text):
    try:
        value = datetime.datetime.fromisoformat(text.strip().replace("Z", "+00:00"))
    except ValueError:
        return text
    if value.tzinfo is not None:
        value = value.astimezone(datetime.UTC).replace(tzinfo=None)
    return value


def read_properties(data):
    """The properties in core-properties part `data`; None when it is not readable."""
    try:
        root = parse_part(data)
    except ET.ParseError:
        return None
    props = DocumentProperties()
    for name, ns, local in _FIELDS:
        el = root.find(f"{{{ns}}}{local}")
        if el is None:
            continue
        text = el.text or ""
        setattr(props, name, _parse_date(text) if name in _DATES and text else text)
    return props


def _date_text(value):
    if isinstance(value, datetime.datetime):
        if value.tzinfo is not None:
            value = value.astimezone(datetime.UTC).replace(tzinfo=None)
        return value.isoformat(timespec="seconds") + "Z"
    if isinstance(value, datetime.date):
        return value.isoformat() + "T00:00:00Z"
    return str(value)


def properties_xml(props):
    """The core-properties part for `props`."""
    body = []
    for name, ns, local in _FIELDS:
        value = getattr(props, name)
        if value is None:
            continue
        tag = f"{_PREFIX[ns]}:{local}"
        if name in ("created", "modified"):
            body.append(f'<{tag} xsi:type="dcterms:W3CDTF">{quote(_date_text(value))}</{tag}>')
        elif name in _DATES:
            body.append(f"<{tag}>{quote(_date_text(value))}</{tag}>")
        else:
            body.append(f"<{tag}>{quote(value)}</{tag}>")
    return (f'{XML_DECL}<cp:coreProperties xmlns:cp="{CORE_NS}" xmlns:dc="{_DC}" '
            f'xmlns:dcterms="{_DCTERMS}" xmlns:dcmitype="{_DCMITYPE}" xmlns:xsi="{_XSI}">'
            + "".join(body) + "</cp:coreProperties>")
