"""Defined names: named ranges, print areas and print titles.

A name scoped to one sheet points at the sheet object itself, not at its
position: the file stores a sheet index (`localSheetId`), which is worked
out again when the workbook is saved, so that removing, inserting or moving
sheets never leaves a name attached to the wrong sheet.
"""

from __future__ import annotations

import re
from typing import Any

from brindle.package.names import quote, quote_text

# A sheet reference in formula text: a quoted name ('It''s') or a bare one,
# followed by "!"; string literals are matched first so that text inside
# them is never taken for a reference.
_REFERENCE = re.compile(r'"(?:[^"]|"")*"|\'((?:[^\']|\'\')+)\'!|([^\s\'"!(),;:=+\-*/^&<>{}\[\]%]+)!')
_BARE = re.compile(r"[A-Za-z_\\][A-Za-z0-9_.]*")
_LOOKS_LIKE_REF = re.compile(r"[A-Za-z]{1,3}[0-9]+|[Rr][0-9]*[Cc]?[0-9]*|true|false", re.I)


class DefinedName:
    """A defined name: `name`, its formula text `value` (without "="),
    `scope` (the sheet it belongs to, or None for the whole workbook) and the
    other attributes the file gave it (`attrs`: hidden, comment, ...)."""

    __slots__ = ("name", "value", "scope", "attrs")

    def __init__(self, name: str, value: str, scope: Any = None,
                 attrs: dict[str, str] | None = None) -> None:
        self.name = name
        self.value = value
        self.scope = scope
        self.attrs = dict(attrs or {})

    def __repr__(self) -> str:
        scope = f", scope={self.scope.title!r}" if self.scope is not None else ""
        return f"DefinedName({self.name!r}, {self.value!r}{scope})"


def quote_sheet(title: str) -> str:
    """`title` as it is written before "!" in formula text."""
    if _BARE.fullmatch(title) and not _LOOKS_LIKE_REF.fullmatch(title):
        return title
    return "'" + title.replace("'", "''") + "'"


def rename_in_formula(text: str, old: str, new: str) -> str:
    """Formula `text` with references to sheet `old` made to name `new`."""
    key = old.casefold()

    def repl(m):
        quoted, bare = m.group(1), m.group(2)
        if quoted is not None:
            name = quoted.replace("''", "'")
        elif bare is not None:
            name = bare
        else:
            return m.group(0)
        # A 3-D reference (Sheet1:Sheet3!A1) names two sheets.
        first, colon, last = name.partition(":")
        parts = [first, last] if colon else [first]
        if not any(p.casefold() == key for p in parts):
            return m.group(0)
        parts = [new if p.casefold() == key else p for p in parts]
        return quote_sheet(":".join(parts)) + "!"

    return _REFERENCE.sub(repl, text)


def parse_defined_names(element, sheets, warn):
    """The names of a `<definedNames>` element (ElementTree) of a workbook
    whose sheets are `sheets` (in file order); a name whose sheet index
    names no sheet is left out with a warning."""
    out = []
    for el in element:
        if not isinstance(el.tag, str) or not el.tag.endswith("definedName"):
            continue
        attrs = {k: v for k, v in el.attrib.items() if not k.startswith("{")}
        name = attrs.get("name")
        if not name:
            warn("a defined name without a name is left out")
            continue
        scope = None
        local = attrs.get("localSheetId")
        if local is not None:
            try:
                i = int(local)
                scope = sheets[i] if i >= 0 else None
            except (ValueError, IndexError):
                scope = None
            if scope is None:
                warn(f"the defined name {name!r} belongs to sheet number {local}, which "
                     "is not kept; it is left out")
                continue
        out.append(DefinedName(name, el.text or "", scope, attrs))
    return out


def defined_names_xml(names, sheets):
    """The `<definedNames>` element for `names` in a workbook whose sheets are
    `sheets`; "" when there are none."""
    if not names:
        return ""
    index = {id(ws): i for i, ws in enumerate(sheets)}
    body = []
    for dn in names:
        attrs = dict(dn.attrs)
        attrs["name"] = dn.name
        if dn.scope is not None:
            attrs["localSheetId"] = str(index[id(dn.scope)])
        else:
            attrs.pop("localSheetId", None)
        body.append("<definedName" + "".join(f' {k}="{quote(v)}"' for k, v in attrs.items())
                    + f">{quote_text(dn.value)}</definedName>")
    return f"<definedNames>{''.join(body)}</definedNames>"
