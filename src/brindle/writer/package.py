"""The xlsx package: a zip archive of XML parts tied together by
relationships and a content-type table."""

import os
import zlib

from brindle.styles.stylesheet import stylesheet_xml
from brindle.utils import deflate
from brindle.utils.cell import coordinate_to_tuple
from brindle.utils.threads import free_threaded
from brindle.worksheet.elements import ORDER as SHEET_ORDER
from brindle.writer.sheet import write_sheet_data
from brindle.writer.zip_writer import ZipWriter

MAIN_NS = "http://schemas.openxmlformats.org/spreadsheetml/2006/main"
DOC_REL_NS = "http://schemas.openxmlformats.org/officeDocument/2006/relationships"
PKG_REL_NS = "http://schemas.openxmlformats.org/package/2006/relationships"
CT_NS = "http://schemas.openxmlformats.org/package/2006/content-types"

_CT = "application/vnd.openxmlformats-officedocument.spreadsheetml."
CT_WORKBOOK = _CT + "sheet.main+xml"
CT_WORKSHEET = _CT + "worksheet+xml"
CT_STYLES = _CT + "styles+xml"
CT_COMMENTS = _CT + "comments+xml"
CT_VML = "application/vnd.openxmlformats-officedocument.vmlDrawing"
CT_RELS = "application/vnd.openxmlformats-package.relationships+xml"

REL_OFFICE_DOCUMENT = DOC_REL_NS + "/officeDocument"
REL_WORKSHEET = DOC_REL_NS + "/worksheet"
REL_STYLES = DOC_REL_NS + "/styles"
REL_THEME = DOC_REL_NS + "/theme"
CT_THEME = "application/vnd.openxmlformats-officedocument.theme+xml"
REL_HYPERLINK = DOC_REL_NS + "/hyperlink"
REL_COMMENTS = DOC_REL_NS + "/comments"
REL_VML = DOC_REL_NS + "/vmlDrawing"

XML_DECL = '<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n'


def quote(text):
    """Text escaped for element content or a double-quoted attribute."""
    return (str(text).replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;")
            .replace('"', "&quot;").replace("\n", "&#10;").replace("\r", "&#13;")
            .replace("\t", "&#9;"))


def _attrs(pairs):
    return "".join(f' {k}="{quote(v)}"' for k, v in pairs if v is not None)


class _Rels:
    def __init__(self):
        self.items = []

    def add(self, rel_type, target, external=False):
        rid = f"rId{len(self.items) + 1}"
        self.items.append((rid, rel_type, target, external))
        return rid

    def xml(self):
        body = "".join(
            f'<Relationship Id="{rid}" Type="{t}" Target="{quote(target)}"'
            + (' TargetMode="External"' if external else "") + "/>"
            for rid, t, target, external in self.items)
        return f'{XML_DECL}<Relationships xmlns="{PKG_REL_NS}">{body}</Relationships>'


def _comments_xml(comments):
    authors = {}
    entries = []
    for ref, comment in comments:
        author = authors.setdefault(comment.author, len(authors))
        entries.append(f'<comment ref="{ref}" authorId="{author}"><text>'
                       f'<t xml:space="preserve">{quote(comment.text)}</t></text></comment>')
    names = "".join(f"<author>{quote(a)}</author>" for a in authors)
    return (f'{XML_DECL}<comments xmlns="{MAIN_NS}"><authors>{names}</authors>'
            f'<commentList>{"".join(entries)}</commentList></comments>')


def _vml_xml(comments, sheet_no):
    # The legacy drawing that makes spreadsheet applications show each note.
    shapes = []
    for i, (ref, comment) in enumerate(comments):
        row, column = coordinate_to_tuple(ref)
        shapes.append(
            f'<v:shape id="_x0000_s{sheet_no * 1024 + i + 1}" type="#_x0000_t202" '
            f'style="position:absolute;margin-left:59.25pt;margin-top:1.5pt;'
            f'width:{comment.width}px;height:{comment.height}px;z-index:{i + 1};'
            f'visibility:hidden" fillcolor="#ffffe1" o:insetmode="auto">'
            '<v:fill color2="#ffffe1"/><v:shadow on="t" color="black" obscured="t"/>'
            '<v:path o:connecttype="none"/><v:textbox style="mso-direction-alt:auto">'
            '<div style="text-align:left"></div></v:textbox>'
            '<x:ClientData ObjectType="Note"><x:MoveWithCells/><x:SizeWithCells/>'
            f'<x:AutoFill>False</x:AutoFill><x:Row>{row - 1}</x:Row>'
            f'<x:Column>{column - 1}</x:Column></x:ClientData></v:shape>')
    return (
        '<xml xmlns:v="urn:schemas-microsoft-com:vml" '
        'xmlns:o="urn:schemas-microsoft-com:office:office" '
        'xmlns:x="urn:schemas-microsoft-com:office:excel">'
        f'<o:shapelayout v:ext="edit"><o:idmap v:ext="edit" data="{sheet_no}"/></o:shapelayout>'
        '<v:shapetype id="_x0000_t202" coordsize="21600,21600" o:spt="202" '
        'path="m,l,21600r21600,l21600,xe"><v:stroke joinstyle="miter"/>'
        '<v:path gradientshapeok="t" o:connecttype="rect"/></v:shapetype>'
        f'{"".join(shapes)}</xml>')


def _sheet_views(ws):
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


def _write_sheet(zf, ws, sheet_no, sink, bare_rows):
    rels = _Rels()
    links = []
    for link in ws._hyperlinks:
        if link.ref is None:
            continue
        rid = rels.add(REL_HYPERLINK, link.target, external=True) if link.target else None
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
        rels.add(REL_COMMENTS, f"/xl/comments/comment{sheet_no}.xml")
        made["legacyDrawing"] = (
            f'<legacyDrawing r:id="{rels.add(REL_VML, f"/{_vml_name(sheet_no)}")}"/>')
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
    _write_joined(zf, f"xl/worksheets/sheet{sheet_no}.xml", head_text, sink, tail_text)
    if rels.items:
        zf.writestr(f"xl/worksheets/_rels/sheet{sheet_no}.xml.rels", rels.xml())
    if ws._comments:
        zf.writestr(f"xl/comments/comment{sheet_no}.xml", _comments_xml(ws._comments))
        zf.writestr(_vml_name(sheet_no), _vml_xml(ws._comments, sheet_no))


def _write_joined(zf, name, head, sink, tail):
    """A member made of `head`, the sheet data `sink` deflated already, and
    `tail`: the sheet data is not deflated again.

    The three are deflated apart and joined as one stream: the first two end
    on a byte boundary without a final block (a sync flush), the last ends
    the stream. The checksum of the whole is combined from theirs.
    """
    comp = deflate.compressor()
    head_z = comp.compress(head) + comp.flush(zlib.Z_SYNC_FLUSH)
    comp = deflate.compressor()
    tail_z = comp.compress(tail) + comp.flush()
    crc = deflate.crc32(head)
    crc = deflate.crc32_combine(crc, sink.crc, sink.size)
    crc = deflate.crc32_combine(crc, deflate.crc32(tail), len(tail))
    size = len(head) + sink.size + len(tail)
    csize = len(head_z) + sink.deflated_size + len(tail_z)

    def chunks():
        yield head_z
        yield from sink.deflated_chunks()
        yield tail_z

    zf.write_deflated(name, chunks(), crc, size, csize)


# Whether the sheets of a workbook are written on threads of their own: only
# where threads run Python in parallel (a free-threaded interpreter). Tests
# set it to True to take that path here.
PARALLEL_SHEETS = None


def _parallel():
    return PARALLEL_SHEETS if PARALLEL_SHEETS is not None else free_threaded()


def _all_sheet_data(wb, data):
    """The sheet data of every worksheet of `wb`, appended to `data` in
    order as (sink, False); in parallel where that pays, always with the
    bytes of writing them one after the other."""
    sheets = wb._sheets
    if len(sheets) > 1 and _parallel():
        from concurrent.futures import ThreadPoolExecutor

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


def _vml_name(sheet_no):
    return f"xl/drawings/commentsDrawing{sheet_no}.vml"


def write_package(wb, filename):
    """Write `wb` as an xlsx archive to a path or a binary file object."""
    if not wb._sheets:
        raise ValueError("a workbook needs at least one sheet to be saved")
    # The sheet data comes first: writing cells is what fills the style list
    # and finds the links and comments, and the parts that describe the
    # package (placed first in the archive, where tools look) depend on them.
    data = []
    try:
        if wb.write_only:
            data = [(ws._finish(), True) for ws in wb._sheets]
        else:
            _all_sheet_data(wb, data)
        with ZipWriter(filename) as zf:
            _write_package(zf, wb, data)
    finally:
        if not wb.write_only:
            for sink, _ in data:
                sink.close()


def _write_package(zf, wb, data):
    sheets = list(enumerate(wb._sheets, 1))
    overrides = [("/xl/workbook.xml", CT_WORKBOOK), ("/xl/styles.xml", CT_STYLES)]
    # The theme of a loaded workbook, which its theme colours and fonts refer to.
    theme = getattr(wb, "_theme", None)
    if theme is not None:
        overrides.append(("/xl/theme/theme1.xml", CT_THEME))
    overrides += [(f"/xl/worksheets/sheet{n}.xml", CT_WORKSHEET) for n, _ in sheets]
    overrides += [(f"/xl/comments/comment{n}.xml", CT_COMMENTS) for n, ws in sheets
                  if ws._comments]
    defaults = [("rels", CT_RELS), ("xml", "application/xml")]
    if any(ws._comments for ws in wb._sheets):
        defaults.append(("vml", CT_VML))
    zf.writestr("[Content_Types].xml", (
        f'{XML_DECL}<Types xmlns="{CT_NS}">'
        + "".join(f'<Default Extension="{e}" ContentType="{t}"/>' for e, t in defaults)
        + "".join(f'<Override PartName="{p}" ContentType="{t}"/>' for p, t in overrides)
        + "</Types>"))
    root_rels = _Rels()
    root_rels.add(REL_OFFICE_DOCUMENT, "xl/workbook.xml")
    zf.writestr("_rels/.rels", root_rels.xml())

    wb_rels = _Rels()
    entries = []
    for n, ws in sheets:
        rid = wb_rels.add(REL_WORKSHEET, f"/xl/worksheets/sheet{n}.xml")
        state = getattr(ws, "sheet_state", "visible")
        state = f' state="{quote(state)}"' if state != "visible" else ""
        entries.append(f'<sheet name="{quote(ws.title)}" sheetId="{n}"{state} r:id="{rid}"/>')
    wb_rels.add(REL_STYLES, "/xl/styles.xml")
    if theme is not None:
        wb_rels.add(REL_THEME, "/xl/theme/theme1.xml")
    pr = '<workbookPr date1904="1"/>' if wb.date1904 else "<workbookPr/>"
    zf.writestr("xl/workbook.xml", (
        f'{XML_DECL}<workbook xmlns="{MAIN_NS}" xmlns:r="{DOC_REL_NS}">{pr}'
        '<bookViews><workbookView activeTab="0"/></bookViews>'
        f'<sheets>{"".join(entries)}</sheets>{getattr(wb, "_defined_names_xml", None) or ""}'
        '<calcPr calcId="191029" fullCalcOnLoad="1"/></workbook>'))
    zf.writestr("xl/_rels/workbook.xml.rels", wb_rels.xml())
    zf.writestr("xl/styles.xml", stylesheet_xml(wb))
    if theme is not None:
        zf.writestr("xl/theme/theme1.xml", theme)
    for (n, ws), (sink, bare_rows) in zip(sheets, data):
        _write_sheet(zf, ws, n, sink, bare_rows)
