"""The xlsx package: a zip archive of XML parts tied together by
relationships and a content-type table."""

import itertools
import os
import re
import sys
import warnings
import zlib
from concurrent.futures import ThreadPoolExecutor

from brindle.package.model import (Relationship, RelIds, content_types_xml, rels_name,
                                   rels_xml, relative)
from brindle.package.names import (
    CT_APP, CT_COMMENTS, CT_CORE, CT_STYLES, CT_VML, CT_WORKBOOK, CT_WORKSHEET, MAIN_NS,
    DOC_REL_NS, REL_APP, REL_COMMENTS, REL_CORE, REL_HYPERLINK, REL_OFFICE_DOCUMENT,
    REL_STYLES, REL_VML, REL_WORKSHEET, XML_DECL, quote)
from brindle.styles.stylesheet import stylesheet_xml
from brindle.workbook.properties import properties_xml
from brindle.worksheet.chartsheet import Chartsheet
from brindle.writer.workbook_part import workbook_xml
from brindle.utils import deflate
from brindle.utils.cell import coordinate_to_tuple
from brindle.package.sheet_elements import ORDER as SHEET_ORDER
from brindle.writer.sheet import write_sheet_data
from brindle.writer.zip_writer import ZipWriter



# Warnings are reported at the caller's line, outside this package.
_HERE = (os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), ""),)


def _attrs(pairs):
    return "".join(f' {k}="{quote(v)}"' for k, v in pairs if v is not None)


def _comments_xml(comments):
    authors = {}
    entries = []
    for ref, comment in comments:
        author = authors.setdefault(comment.author, len(authors))
        # The text as one run: readers that look for runs only find it too.
        entries.append(f'<comment ref="{ref}" authorId="{author}"><text>'
                       f'<r><t xml:space="preserve">{quote(comment.text)}</t></r></text></comment>')
    names = "".join(f"<author>{quote(a)}</author>" for a in authors)
    return (f'{XML_DECL}<comments xmlns="{MAIN_NS}"><authors>{names}</authors>'
            f'<commentList>{"".join(entries)}</commentList></comments>')


def _note_shapes(comments, shape_ids):
    shapes = []
    for i, ((ref, comment), shape_id) in enumerate(zip(comments, shape_ids)):
        row, column = coordinate_to_tuple(ref)
        shown = getattr(comment, "visible", False)
        shapes.append(
            f'<v:shape id="_x0000_s{shape_id}" type="#_x0000_t202" '
            f'style="position:absolute;margin-left:59.25pt;margin-top:1.5pt;'
            f'width:{comment.width}px;height:{comment.height}px;z-index:{i + 1};'
            f'visibility:{"visible" if shown else "hidden"}" fillcolor="#ffffe1" '
            'o:insetmode="auto">'
            '<v:fill color2="#ffffe1"/><v:shadow on="t" color="black" obscured="t"/>'
            '<v:path o:connecttype="none"/><v:textbox style="mso-direction-alt:auto">'
            '<div style="text-align:left"></div></v:textbox>'
            '<x:ClientData ObjectType="Note"><x:MoveWithCells/><x:SizeWithCells/>'
            f'<x:AutoFill>False</x:AutoFill><x:Row>{row - 1}</x:Row>'
            f'<x:Column>{column - 1}</x:Column>{"<x:Visible/>" if shown else ""}'
            '</x:ClientData></v:shape>')
    return "".join(shapes)


_NOTE_SHAPETYPE = (
    '<v:shapetype id="_x0000_t202" coordsize="21600,21600" o:spt="202" '
    'path="m,l,21600r21600,l21600,xe"><v:stroke joinstyle="miter"/>'
    '<v:path gradientshapeok="t" o:connecttype="rect"/></v:shapetype>')
_SHAPE_ID = re.compile(r'_x0000_s(\d+)')
_IDMAP = re.compile(r'<o:idmap\b[^>]*\bdata="\s*(\d+)')


def _vml_xml(comments, sheet_no, base=None):
    """The legacy drawing that makes spreadsheet applications show each note.

    With `base`, a loaded drawing's form controls and other shapes stay as
    read, and the notes take shape ids none of them uses: controls are found
    by their ids."""
    if base is None:
        return (
            '<xml xmlns:v="urn:schemas-microsoft-com:vml" '
            'xmlns:o="urn:schemas-microsoft-com:office:office" '
            'xmlns:x="urn:schemas-microsoft-com:office:excel">'
            f'<o:shapelayout v:ext="edit"><o:idmap v:ext="edit" data="{sheet_no}"/>'
            f'</o:shapelayout>{_NOTE_SHAPETYPE}'
            f'{_note_shapes(comments, range(sheet_no * 1024 + 1, sys.maxsize))}</xml>')
    text = base.text
    if not comments:
        return text
    taken = {int(n) for n in _SHAPE_ID.findall(text)}
    block = _IDMAP.search(text)
    first = (int(block.group(1)) if block else sheet_no) * 1024 + 1
    ids = (n for n in itertools.count(first) if n not in taken)
    shapes = _note_shapes(comments, ids)
    if 'id="_x0000_t202"' not in text:
        shapes = _NOTE_SHAPETYPE + shapes
    end = text.rindex("</xml>")
    return text[:end] + shapes + text[end:]


def _vml_merged(ws):
    """The loaded drawing (with its notes taken out) the notes of `ws` are
    to be written into, None when there is none or it is carried as read."""
    base = getattr(ws, "_vml_base", None)
    if base is None or (base.carried_id is not None and not ws._comments):
        return None
    return base


def _sheet_views(ws):
    kept = getattr(ws, "_views_kept", None)
    if kept is not None and kept[1] == ws._view_attrs and kept[2] == ws.freeze_panes:
        return kept[0]
    view = getattr(ws, "_view_attrs", None)
    freeze = getattr(ws, "freeze_panes", None)
    if view is None and freeze is None:
        return ""
    attrs = dict(view or {})
    attrs.setdefault("workbookViewId", "0")
    body = ""
    if freeze is not None:
        row, column = coordinate_to_tuple(freeze)
        x, y = column - 1, row - 1
        pane = "bottomRight" if x and y else ("topRight" if x else "bottomLeft")
        body = ("<pane" + _attrs([("xSplit", str(x) if x else None),
                                  ("ySplit", str(y) if y else None),
                                  ("topLeftCell", freeze), ("activePane", pane),
                                  ("state", "frozen")])
                + f'/><selection pane="{pane}"/>')
    return f"<sheetViews><sheetView{_attrs(attrs.items())}>{body}</sheetView></sheetViews>"


def _write_sheet(zf, ws, plan, sink, bare_rows):
    part = plan.name
    rels = []
    merged_vml = _vml_merged(ws)
    for rel in ws._kept_rels:
        if merged_vml is not None and rel.id == merged_vml.carried_id:
            continue  # the drawing goes with the notes written into it
        target = rel.target
        if rel.part is not None and part != ws._part_name:
            target = relative(part, rel.part)
        rels.append(Relationship(rel.id, rel.type, target, rel.external, rel.part))
    ids = RelIds(r.id for r in rels)

    def add(rel_type, target, external=False):
        rid = ids.next()
        rels.append(Relationship(rid, rel_type, target, external))
        return rid

    links = []
    for link in ws._hyperlinks:
        if link.ref is None:
            continue
        rid = add(REL_HYPERLINK, link.target, external=True) if link.target else None
        links.append("<hyperlink" + _attrs([
            ("ref", link.ref), ("r:id", rid), ("location", link.location),
            ("tooltip", link.tooltip), ("display", link.display)]) + "/>")
    # Elements by name: those made here, then those a loaded sheet kept as read.
    made = {"sheetViews": _sheet_views(ws), "cols": ws.column_dimensions.to_xml()}
    merged = getattr(ws, "merged_cells", ())
    if merged:
        made["mergeCells"] = (f'<mergeCells count="{len(merged)}">'
                              + "".join(f'<mergeCell ref="{quote(r)}"/>' for r in merged)
                              + "</mergeCells>")
    if links:
        made["hyperlinks"] = f"<hyperlinks>{''.join(links)}</hyperlinks>"
    kept = getattr(ws, "_kept", {})
    if "pageMargins" not in kept:
        made["pageMargins"] = ('<pageMargins left="0.75" right="0.75" top="1" bottom="1" '
                               'header="0.5" footer="0.5"/>')
    if ws._comments:
        add(REL_COMMENTS, relative(part, plan.comments))
    if plan.vml:
        made["legacyDrawing"] = f'<legacyDrawing r:id="{add(REL_VML, relative(part, plan.vml))}"/>'
    head, tail = [], []
    parts = head  # elements before <sheetData>, then those after it
    for name in SHEET_ORDER:
        if name == "dimension":
            parts.append(f'<dimension ref="{ws.calculate_dimension()}"/>')
        elif name == "sheetData":
            parts = tail
        elif name in made:
            if made[name]:
                parts.append(made[name])
        elif name in kept:
            parts.extend(kept[name])

    head_text = (f'{XML_DECL}<worksheet xmlns="{MAIN_NS}" xmlns:r="{DOC_REL_NS}">'
                 + "".join(head) + ("<sheetData>" if bare_rows else "")).encode()
    tail_text = (("</sheetData>" if bare_rows else "") + "".join(tail) + "</worksheet>").encode()
    _write_joined(zf, part, head_text, sink, tail_text)
    if rels:
        zf.writestr(rels_name(part), rels_xml(rels))
    if ws._comments:
        zf.writestr(plan.comments, _comments_xml(ws._comments))
    if plan.vml:
        zf.writestr(plan.vml, _vml_xml(ws._comments, plan.number, merged_vml))
        if merged_vml is not None and merged_vml.rels:
            zf.writestr(rels_name(plan.vml), rels_xml([
                Relationship(r.id, r.type, r.target if r.part is None
                             else relative(plan.vml, r.part), r.external)
                for r in merged_vml.rels]))


def _write_joined(zf, name, head, sink, tail):
    """A member made of `head`, the sheet data `sink` deflated already, and
    `tail`: the sheet data is not deflated again.

    The three are deflated apart and joined as one stream: the first two end
    on a byte boundary without a final block (a sync flush), the last ends
    the stream. The checksum of the whole is combined from theirs.
    """
    backend = zf.deflate_backend
    comp = deflate.compressor(backend=backend)
    head_z = comp.compress(head) + comp.flush(zlib.Z_SYNC_FLUSH)
    comp = deflate.compressor(backend=backend)
    tail_z = comp.compress(tail) + comp.flush()
    crc = deflate.crc32(head, 0, backend)
    crc = deflate.crc32_combine(crc, sink.crc, sink.size)
    crc = deflate.crc32_combine(crc, deflate.crc32(tail, 0, backend), len(tail))
    size = len(head) + sink.size + len(tail)
    csize = len(head_z) + sink.deflated_size + len(tail_z)

    def chunks():
        yield head_z
        yield from sink.deflated_chunks()
        yield tail_z

    zf.write_deflated(name, chunks(), crc, size, csize)


def _all_sheet_data(wb, data):
    """The sheet data of every worksheet of `wb`, appended to `data` in
    order as (sink, False); in parallel where that pays, always with the
    bytes of writing them one after the other."""
    sheets = wb.worksheets
    # On threads of their own only where threads run Python in parallel (a
    # free-threaded interpreter), unless the workbook's options say otherwise.
    if len(sheets) > 1 and wb.options.writes_in_parallel():
        styles = wb._cell_styles
        known = len(styles)
        results = [None] * len(sheets)

        def one(i):
            results[i] = write_sheet_data(sheets[i], wb.lxml, wb.native)

        workers = min(len(sheets), os.cpu_count() or 1)
        with ThreadPoolExecutor(max_workers=workers) as pool:
            futures = [pool.submit(one, i) for i in range(len(sheets))]
        errors = [f.exception() for f in futures]
        if len(styles) == known and not any(errors):
            data.extend((sink, False) for sink in results)
            return
        for sink in results:
            if sink is not None:
                sink.close()
        # Styles first met while writing were numbered in the order the
        # threads met them, not in sheet order; the list goes back to what it
        # was and the sheets are written one after the other instead.
        _truncate_styles(styles, known)
    for ws in sheets:
        data.append((write_sheet_data(ws, wb.lxml, wb.native), False))


def _truncate_styles(styles, n):
    del styles[n:]
    styles._index = {value: i for i, value in enumerate(styles)}


def write_package(wb, filename):
    """Write `wb` as an xlsx archive to a path or a binary file object."""
    if not wb._sheets:
        raise ValueError("a workbook needs at least one sheet to be saved")
    # The sheet data comes first: writing cells is what fills the style list
    # and finds the links and comments, and the parts that describe the
    # package (placed first in the archive, where tools look) depend on them.
    data = []
    # Cached results of formulas are written back only when nothing changed
    # since the load; after an edit applications recompute them.
    edited = wb._loaded is None or _edited(wb)
    for ws in wb.worksheets:
        ws._keep_results = not edited
    try:
        if wb.write_only:
            data = [(ws._finish(), True) for ws in wb.worksheets]
        else:
            _all_sheet_data(wb, data)
        with ZipWriter(filename, options=wb.options) as zf:
            _write_package(zf, wb, data, edited)
    finally:
        if not wb.write_only:
            for sink, _ in data:
                sink.close()


class _SheetPlan:
    """Where one worksheet goes in the saved package."""

    __slots__ = ("name", "number", "comments", "vml", "rel_id", "sheet_id")

    def __init__(self, name, number):
        self.name = name
        self.number = number
        self.comments = self.vml = self.rel_id = self.sheet_id = None


class _Names:
    """Part names not used yet in the package being written."""

    def __init__(self, taken):
        self.taken = set(taken)

    def claim(self, name):
        if name is None or name in self.taken:
            return None
        self.taken.add(name)
        return name

    def new(self, pattern):
        n = 1
        while pattern.format(n) in self.taken:
            n += 1
        return self.claim(pattern.format(n))


def _carried(pkg, roots):
    """The parts of `pkg` reachable from the parts `roots`, in archive order."""
    seen = set()
    todo = [name for name in roots if name in pkg.parts]
    while todo:
        name = todo.pop()
        if name in seen:
            continue
        seen.add(name)
        todo.extend(t for t in pkg.targets_of(name) if t in pkg.parts and t not in seen)
    return [name for name in pkg.parts if name in seen]


_WORKBOOK_OWNED = frozenset({"worksheet", "chartsheet", "styles", "sharedStrings",
                             "calcChain"})
_ROOT_OWNED = frozenset({"officeDocument", "core-properties"})


_CHART = "drawingml.chart+xml"


def _warn_stale_charts(wb, pkg):
    """Warn of charts that show data of a sheet removed or renamed since the
    workbook was loaded: they are kept as they are and show nothing there."""
    gone = [(old, new) for old, new in wb._gone_titles
            if not any(ws.title == old for ws in wb._sheets)]
    if not gone:
        return
    for ws in wb._sheets:
        roots = [ws._part_name] if isinstance(ws, Chartsheet) \
            else [r.part for r in ws._kept_rels if not r.external]
        charts = [name for name in _carried(pkg, roots)
                  if _CHART in (pkg.parts[name].content_type or "")]
        for old, new in gone:
            quoted = "'" + old.replace("'", "''") + "'!"
            n = sum(1 for name in charts
                    if quoted in (text := pkg.parts[name].data().decode("utf-8", "replace"))
                    or f">{old}!" in text)
            if not n:
                continue
            what = f"{n} chart refers" if n == 1 else f"{n} charts refer"
            whom = f"the removed sheet {old!r}" if new is None \
                else f"sheet {old!r}, now named {new!r}"
            warnings.warn(f"sheet {ws.title!r}: {what} to {whom}", UserWarning,
                          skip_file_prefixes=_HERE)


def _edited(wb):
    """Whether results may have changed since the workbook was loaded: a cell
    was assigned, or sheets were added, removed, moved or renamed."""
    return wb._structure_changed or any(getattr(ws, "_cells_changed", True)
                                        for ws in wb.worksheets)


def _write_package(zf, wb, data, edited):
    loaded = wb._loaded
    pkg = loaded.package if loaded is not None else None
    sheets = wb._sheets
    worksheets = [ws for ws in sheets if not isinstance(ws, Chartsheet)]
    chartsheets = [ws for ws in sheets if isinstance(ws, Chartsheet)]
    wb_name = loaded.part_name if loaded is not None else "xl/workbook.xml"
    props = wb.properties

    # What is carried: every part reachable from a relationship that stays.
    root_kept = wb_kept = []
    if pkg is not None:
        root_kept = [r for r in pkg.rels_of("") if r.kind not in _ROOT_OWNED]
        charts = {cs._part_name for cs in chartsheets}
        wb_kept = [r for r in pkg.rels_of(wb_name)
                   if r.kind not in _WORKBOOK_OWNED or (r.kind == "chartsheet"
                                                        and r.part in charts)]
        # One relationship per chartsheet, however many the file had.
        seen_charts = set()
        wb_kept = [r for r in wb_kept if r.kind != "chartsheet"
                   or not (r.part in seen_charts or seen_charts.add(r.part))]
        roots = [r.part for rels in (root_kept, wb_kept) for r in rels if not r.external]
        for ws in worksheets:
            merged_vml = _vml_merged(ws)
            dropped = merged_vml.carried_id if merged_vml is not None else None
            roots += [r.part for r in ws._kept_rels if not r.external and r.id != dropped]
            if merged_vml is not None:
                roots += [r.part for r in merged_vml.rels if not r.external]
        carried = _carried(pkg, roots)
        _warn_stale_charts(wb, pkg)
    else:
        carried = []
    names = _Names(carried)
    names.claim(wb_name)
    plans = []
    for n, ws in enumerate(worksheets, 1):
        # The names applications give worksheets; kept relationships of a
        # loaded sheet are pointed at their parts from the new name.
        plan = _SheetPlan(names.claim(f"xl/worksheets/sheet{n}.xml")
                          or names.new("xl/worksheets/sheet{}.xml"), n)
        if ws._comments:
            plan.comments = names.new("xl/comments{}.xml")
        if ws._comments or _vml_merged(ws) is not None:
            plan.vml = names.new("xl/drawings/vmlDrawing{}.vml")
        plans.append(plan)
    styles_name = names.new("xl/styles.xml") if "xl/styles.xml" not in names.taken \
        else names.new("xl/styles{}.xml")
    core_name = None
    if any(getattr(props, f) is not None for f in props.__slots__):
        core_name = names.claim(loaded.core_name if loaded is not None else None) \
            or names.claim("docProps/core.xml") or names.new("docProps/core{}.xml")
    app_name = None
    if loaded is None:
        app_name = names.claim("docProps/app.xml")

    # Relationships: those kept keep their ids, which kept elements name.
    root_rels = list(root_kept)
    root_ids = RelIds(r.id for r in root_rels)
    root_rels.insert(0, Relationship(root_ids.next(), REL_OFFICE_DOCUMENT, wb_name))
    if core_name is not None:
        root_rels.append(Relationship(root_ids.next(), REL_CORE, core_name))
    if app_name is not None:
        root_rels.append(Relationship(root_ids.next(), REL_APP, app_name))
    wb_rels = []
    wb_ids = RelIds(r.id for r in wb_kept)
    for plan in plans:
        plan.rel_id = wb_ids.next()
        wb_rels.append(Relationship(plan.rel_id, REL_WORKSHEET, relative(wb_name, plan.name)))
    wb_rels.append(Relationship(wb_ids.next(), REL_STYLES, relative(wb_name, styles_name)))
    wb_rels += wb_kept
    chart_ids = {r.part: r.id for r in wb_kept if r.kind == "chartsheet"}

    used_ids = {ws._sheet_id for ws in sheets if ws._sheet_id is not None}
    next_id = max(used_ids, default=0) + 1
    ids_given = set()
    plan_of = {id(ws): plan for ws, plan in zip(worksheets, plans)}
    entries = []
    for ws in sheets:
        sheet_id = ws._sheet_id
        if sheet_id is None or sheet_id in ids_given or sheet_id < 1:
            sheet_id, next_id = next_id, next_id + 1
        ids_given.add(sheet_id)
        rid = chart_ids.get(ws._part_name) if isinstance(ws, Chartsheet) \
            else plan_of[id(ws)].rel_id
        entries.append((ws.title, sheet_id, getattr(ws, "sheet_state", "visible"), rid))

    # The content-type table, first in the archive, where tools look.
    types = {}
    if pkg is not None:
        for name in carried:
            types[name] = pkg.parts[name].content_type
    types[wb_name] = (loaded is not None and pkg.content_type(wb_name)) or CT_WORKBOOK
    types[styles_name] = CT_STYLES
    for plan in plans:
        types[plan.name] = CT_WORKSHEET
        if plan.comments:
            types[plan.comments] = CT_COMMENTS
        if plan.vml:
            types[plan.vml] = CT_VML
    if core_name is not None:
        types[core_name] = CT_CORE
    if app_name is not None:
        types[app_name] = CT_APP
    defaults = {}
    if pkg is not None:
        defaults.update(pkg.defaults)
    if any(plan.vml for plan in plans):
        defaults.setdefault("vml", CT_VML)
    zf.writestr("[Content_Types].xml", content_types_xml(defaults, types))
    zf.writestr("_rels/.rels", rels_xml(root_rels))
    if core_name is not None:
        zf.writestr(core_name, properties_xml(props))
    if app_name is not None:
        zf.writestr(app_name, _APP_XML)
    zf.writestr(wb_name, workbook_xml(wb, entries, edited))
    zf.writestr(rels_name(wb_name), rels_xml(wb_rels))
    zf.writestr(styles_name, stylesheet_xml(wb))
    for ws, plan, (sink, bare_rows) in zip(worksheets, plans, data):
        _write_sheet(zf, ws, plan, sink, bare_rows)
    # Carried parts go as the source archive stored them, with their
    # relationships as they were.
    for name in carried:
        part = pkg.parts[name]
        if part.raw is not None:
            zf.write_raw(name, part.raw)
        else:
            zf.writestr(name, part.data())
        rels = pkg.rels_data.get(name)
        if rels is not None:
            zf.writestr(rels_name(name), rels)


_APP_XML = (
    f'{XML_DECL}<Properties xmlns="http://schemas.openxmlformats.org/officeDocument/2006/'
    'extended-properties" xmlns:vt="http://schemas.openxmlformats.org/officeDocument/2006/'
    'docPropsVTypes"><Application>brindle</Application></Properties>')
