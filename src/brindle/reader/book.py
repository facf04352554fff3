"""The workbook part of a package opened for editing: its sheets in tab
order, defined names, active tab and document properties, and the package
model that carries every part the library does not write itself."""

import warnings

from brindle.package import xmlparts
from brindle.package.model import Package
from brindle.package.names import DOC_REL_NS, REL_CORE, REL_CORE_ALT
from brindle.reader.sheet_extras import _HERE
from brindle.reader.worksheet import MAIN
from brindle.utils.xml_encoding import parse_part
from brindle.workbook.defined_names import parse_defined_names
from brindle.workbook.properties import DocumentProperties, read_properties
from brindle.worksheet.chartsheet import Chartsheet
from brindle.worksheet.worksheet import Worksheet

_M = "{" + MAIN + "}"
# Parts the library writes itself from its model; a loaded copy is dropped.
# The calculation chain lists formula cells, which editing changes: without
# it, applications build their own.
_OWNED_KINDS = frozenset({"worksheet", "styles", "sharedStrings", "calcChain"})
# The package's relationships to parts written from the model.
_ROOT_KINDS = frozenset({"officeDocument", "core-properties"})


class LoadedBook:
    """What a loaded workbook keeps of its package for the next save: the
    `package` (every part not written from the model), the workbook part's
    name, its `split` (root tag and raw children, or None when it cannot be
    kept that way) and the core-properties part's name."""

    __slots__ = ("package", "part_name", "split", "core_name")

    def __init__(self, package, part_name, split, core_name):
        self.package = package
        self.part_name = part_name
        self.split = split
        self.core_name = core_name


def _warn(message):
    warnings.warn(message, UserWarning, skip_file_prefixes=_HERE)


def read_book(pkg, wb):
    """Fill `wb` from the workbook part of the read-only package `pkg`: its
    sheets (worksheets empty as yet), names, active tab and properties.
    Returns the worksheets as (worksheet, read-only source) pairs in file
    order, to be read next."""
    wb_path = pkg._office_document()
    with pkg.open_part(wb_path) as src, pkg.reading(wb_path):
        data = src.read()
        root = parse_part(data)
    wb_rels = pkg._rels(wb_path)
    core = [target for rel_type, target in pkg._rels("").values()
            if rel_type in (REL_CORE, REL_CORE_ALT)]
    owned = {wb_path, *core}
    owned.update(target for rel_type, target in wb_rels.values()
                 if rel_type.rpartition("/")[2] in _OWNED_KINDS)
    with pkg.reading("[Content_Types].xml"):
        package = Package.read(pkg._zip, skip=owned)
    for source in ("", wb_path):
        rels = package.rels.get(source)
        if rels is None:
            continue
        for rel in [r for r in rels if r.part is not None and r.part not in package.parts
                    and r.part not in owned]:
            _warn(f"relationship {rel.id} of {source or 'the package'} names the part "
                  f"{rel.part}, which is missing; it is left out")
            rels.remove(rel)
        # A part written anew from the model may get another name when saved,
        # so a relationship of another kind to it would be left pointing at
        # nothing.
        writes = _OWNED_KINDS if source else _ROOT_KINDS
        for rel in [r for r in rels if r.part in owned and r.kind not in writes]:
            _warn(f"relationship {rel.id} of {source or 'the package'} names the part "
                  f"{rel.part} as {rel.kind or 'a part of no kind'}; it is left out")
            rels.remove(rel)
    wb._loaded = LoadedBook(package, wb_path, xmlparts.split(data),
                            core[0] if core else None)
    wb.properties = DocumentProperties()
    for path in core[:1]:
        # A damaged member is a damaged file; unreadable properties are only left out.
        with pkg.reading(path):
            try:
                data = pkg._zip.read(path)
            except KeyError:
                data = None
            props = None if data is None else read_properties(data)
        if props is None:
            _warn(f"the document properties ({path}) cannot be read; they are left out")
        else:
            wb.properties = props

    sources = {source._path: source for source in pkg._sheets}
    in_file = []  # every <sheet>, None where it is not kept
    sheets = []
    # Only <sheets> lists sheets: a <sheet> elsewhere is carried, not read.
    for n, el in enumerate(root.iterfind(f"{_M}sheets/{_M}sheet"), 1):
        name = el.get("name") or f"Sheet{n}"
        rel = wb_rels.get(el.get("{%s}id" % DOC_REL_NS))
        kind = rel[0].rpartition("/")[2] if rel is not None else None
        if kind == "worksheet" and rel[1] in sources:
            ws = Worksheet(wb, "Sheet")
            ws._part_name = rel[1]
            sheets.append((ws, sources[rel[1]]))
        elif kind == "chartsheet":
            ws = Chartsheet(wb, "Sheet", rel[1])
        else:
            _warn(f"sheet {name!r} ({kind or 'without a part'}) is not kept")
            in_file.append(None)
            continue
        # Titles are taken as the file has them, even ones this library
        # would not accept for a new sheet.
        ws._title = name
        ws.sheet_state = el.get("state") if el.get("state") in ("hidden", "veryHidden") \
            else "visible"
        try:
            ws._sheet_id = int(el.get("sheetId"))
        except (TypeError, ValueError):
            ws._sheet_id = None
        wb._sheets.append(ws)
        in_file.append(ws)

    if not wb._sheets:
        # It would load, and then could be neither shown nor saved.
        raise pkg.invalid(wb_path, "the workbook has no sheet that can be read, and a "
                                   "workbook needs at least one")
    view = root.find(f"{_M}bookViews/{_M}workbookView")
    # A tab number the workbook does not have (negative ones too: they must
    # not count from the end) leaves the first sheet shown, as applications do.
    try:
        tab = int(view.get("activeTab", "0")) if view is not None else -1
    except ValueError:
        tab = -1
    active = in_file[tab] if 0 <= tab < len(in_file) else None
    wb._active = active
    names = root.find(_M + "definedNames")
    if names is not None:
        wb.defined_names = parse_defined_names(names, in_file, _warn)
    wb._structure_changed = False
    return sheets

