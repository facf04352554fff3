"""The workbook part: the sheets in tab order, defined names, views and
calculation settings.

A loaded workbook's part is written back from its raw children: what the
library does not model (file version, protection, pivot caches, external
references, extensions, markup-compatibility blocks) is copied byte for
byte under the original root tag, which declares every prefix they use. The
children the library does model are written anew in their place.
"""

from brindle.package import xmlparts
from brindle.package.names import DOC_REL_NS, MAIN_NS, XML_DECL, quote
from brindle.workbook.defined_names import defined_names_xml

ORDER = (
    "fileVersion", "fileSharing", "workbookPr", "workbookProtection", "bookViews", "sheets",
    "functionGroups", "externalReferences", "definedNames", "calcPr", "oleSize",
    "customWorkbookViews", "pivotCaches", "smartTagPr", "smartTagTypes", "webPublishing",
    "fileRecoveryPr", "webPublishObjects", "extLst",
)
_POSITION = {name: i for i, name in enumerate(ORDER)}
_TRUE = ("1", "true")


def _sheets_xml(entries, r):
    body = []
    for title, sheet_id, state, rid in entries:
        state = f' state="{quote(state)}"' if state != "visible" else ""
        body.append(f'<sheet name="{quote(title)}" sheetId="{sheet_id}"{state} {r}:id="{rid}"/>')
    return f"<sheets>{''.join(body)}</sheets>"


def _workbook_pr(wb, old):
    if old is None:
        return '<workbookPr date1904="1"/>' if wb.date1904 else "<workbookPr/>"
    tag = old.data
    was = xmlparts.attributes(tag).get("date1904", "0").lower() in _TRUE
    if was == wb.date1904:
        return tag.decode()
    return xmlparts.set_attributes(tag, {"date1904": "1" if wb.date1904 else None}).decode()


def _book_views(active, count, old):
    if old is None:
        return f'<bookViews><workbookView activeTab="{active}"/></bookViews>'
    data = old.data
    start = data.find(b"<workbookView")
    if start < 0:
        return data.decode()
    end = xmlparts._tag_end(data, start)
    tag = data[start:end]
    attrs = xmlparts.attributes(tag)
    changes = {}
    if int(_digits(attrs.get("activeTab"), 0)) != active:
        changes["activeTab"] = str(active) if active else None
    if int(_digits(attrs.get("firstSheet"), 0)) >= count:
        changes["firstSheet"] = None
    if changes:
        tag = xmlparts.set_attributes(tag, changes)
    return (data[:start] + tag + data[end:]).decode()


def _digits(text, default):
    return text if text is not None and text.isdigit() else default


def _calc_pr(edited, old):
    if old is None:
        return '<calcPr calcId="191029" fullCalcOnLoad="1"/>'
    if not edited:
        return old.data.decode()
    # Cached results of an edited workbook may be stale: applications
    # recompute on opening it.
    return xmlparts.set_attributes(old.data, {"fullCalcOnLoad": "1"}).decode()


def workbook_xml(wb, entries, edited):
    """The workbook part of `wb`, whose sheets are written as `entries`
    ((title, sheet id, state, relationship id) in tab order)."""
    sheets = wb._sheets
    active = wb.active
    active_index = next((i for i, ws in enumerate(sheets) if ws is active), 0)
    names = defined_names_xml(wb.defined_names, sheets)
    loaded = wb._loaded
    split = loaded.split if loaded is not None else None
    if split is not None and (split.ns != MAIN_NS or split.name != "workbook"
                              or xmlparts.prefix_for(split.root, MAIN_NS) != ""):
        split = None  # a prefixed main namespace: the children cannot be kept as they are
    if split is None:
        r = "r"
        root = f'<workbook xmlns="{MAIN_NS}" xmlns:r="{DOC_REL_NS}">'
        children = []
    else:
        root_tag = split.root
        r = xmlparts.prefix_for(root_tag, DOC_REL_NS)
        if not r:
            r = "r"
            taken = xmlparts.attributes(root_tag)
            while f"xmlns:{r}" in taken:
                r += "r"
            root_tag = xmlparts.set_attributes(root_tag, {f"xmlns:{r}": DOC_REL_NS})
        root = root_tag.decode()
        children = [c for c in split.children]
    made = {
        "workbookPr": lambda old: _workbook_pr(wb, old),
        "bookViews": lambda old: _book_views(active_index, len(sheets), old),
        "sheets": lambda old: _sheets_xml(entries, r),
        "definedNames": lambda old: names,
        "calcPr": lambda old: _calc_pr(edited, old),
    }
    out = []
    done = set()
    for child in children:
        name = child.name if child.ns == MAIN_NS else None
        # Modelled elements missing from the file go where the order puts them.
        position = _POSITION.get(name)
        if position is not None:
            for missing in ORDER[:position]:
                if missing in made and missing not in done:
                    out.append(made[missing](None))
                    done.add(missing)
        if name in made:
            if name not in done:
                out.append(made[name](child))
                done.add(name)
            continue
        out.append(child.data.decode())
    for name in ORDER:
        if name in made and name not in done:
            out.append(made[name](None))
    return f"{XML_DECL}{root}{''.join(out)}</workbook>"
