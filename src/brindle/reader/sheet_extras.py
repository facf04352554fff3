"""What a loaded worksheet holds besides its cells: the elements the readers
hand back as actions, replayed onto the worksheet in document order, and the
parts that belong to the sheet (links, comments)."""

import math
import os
import posixpath
import re
import warnings
import xml.etree.ElementTree as ET

from brindle.cell.cell import IllegalCharacterError
from brindle.cell.comment import Comment
from brindle.cell.hyperlink import Hyperlink
from brindle.reader.element_scope import ScopeDeclarations
from brindle.reader.worksheet import MAIN
from brindle.styles.reader import element_text
from brindle.utils.cell import coordinate_to_tuple, get_column_letter
from brindle.utils.limits import MAX_COLUMN_LETTERS
from brindle.worksheet.dimensions import RowSettings
from brindle.package.sheet_elements import ORDER, REFERENCING
from brindle.utils.xml_encoding import parse_part

_M = "{" + MAIN + "}"
_DOC_REL = "http://schemas.openxmlformats.org/officeDocument/2006/relationships"
_REL = "{http://schemas.openxmlformats.org/package/2006/relationships}Relationship"
_TRUE = ("1", "true")
_VML_SHAPE = re.compile(r"<v:shape\b.*?</v:shape>", re.S)
_VML_ROW = re.compile(r"<x:Row>\s*(\d+)\s*</x:Row>")
_VML_COLUMN = re.compile(r"<x:Column>\s*(\d+)\s*</x:Column>")
# Drawn things of a legacy drawing other than notes: form controls, buttons,
# shapes. (`<v:shapetype` is not among them: no word boundary after "shape".)
_VML_DRAWN = re.compile(r"<v:(?:shape|rect|roundrect|oval|line|polyline|arc|curve|image|group)\b")
_KNOWN = frozenset(ORDER)
# Warnings are reported at the caller's line, outside this package.
_HERE = (os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), ""),)


class VmlBase:
    """A legacy drawing with its notes taken out: `text`, the drawing's own
    relationships `rels`, and `carried_id`, the id of the sheet's relationship
    to the drawing when it is carried as read (a sheet without notes)."""

    __slots__ = ("text", "rels", "carried_id")

    def __init__(self, text, rels, carried_id):
        self.text = text
        self.rels = rels
        self.carried_id = carried_id


class SheetExtras:
    """Replays the actions of one worksheet onto it."""

    def __init__(self, ws, pkg, path, cell_styles):
        self.ws = ws
        self.pkg = pkg
        self.path = path
        self.cell_styles = cell_styles
        self.declarations = ScopeDeclarations()
        loaded = ws.parent._loaded
        rels = loaded.package.rels_of(path) if loaded is not None else []
        self.has_comments = any(r.kind == "comments" for r in rels)
        # Links and notes are written anew from the cells; every other
        # relationship is carried with its id, which kept elements name.
        self.owned_ids = {r.id for r in rels if r.kind in ("hyperlink", "comments")}
        self.rels = []
        for rel in rels:
            if rel.id in self.owned_ids:
                continue
            if rel.part is not None and loaded is not None \
                    and rel.part not in loaded.package.parts:
                self.warn(f"relationship {rel.id} names the part {rel.part}, which is "
                          "missing; it is left out")
                continue
            self.rels.append(rel)
        self.rel_ids = {r.id for r in self.rels}
        # ((declarations, bytes), (name, text)) of the last element kept as it
        # came: a sheet may repeat one element without end, read once.
        self.last_kept = None

    def style_id(self, text):
        """The workbook's index for the file's cell format `text`, None for none or a bad one."""
        index = _int(text)
        if not 0 < index < len(self.cell_styles):
            return None
        return self.ws.parent._cell_styles.add(self.cell_styles[index]) or None

    def warn(self, message):
        warnings.warn(f"worksheet {self.ws.title!r}: {message}", UserWarning,
                      skip_file_prefixes=_HERE)

    def replay(self, actions, row_runs):
        for action in actions:
            if action[0] == "warn":
                warnings.warn(action[1], UserWarning, skip_file_prefixes=_HERE)
            elif action[0] == "element":
                self.element(action[1], action[2])
            elif action[0] == "unknown":
                self.warn(f"element <{action[1]}> is not kept")
            elif action[0] == "sheet_warn":
                self.warn(action[1])
        self.rows(row_runs)
        self.comments()
        self.ws._kept_rels = [r for r in self.rels if r.id not in self.owned_ids]

    def element(self, data, namespaces):
        decl = self.declarations(data, namespaces)
        last = self.last_kept
        if last is not None and last[0] == (decl, data):
            name, text = last[1]
            self.ws._kept[name].append(text)
            return
        try:
            el = ET.fromstring(f"<_{decl}>".encode() + data + b"</_>")[0]
        except (ET.ParseError, IndexError):
            self.warn("an element that could not be read again is left out")
            return
        ns, _, name = el.tag[1:].partition("}") if el.tag.startswith("{") else ("", "", el.tag)
        if ns != MAIN or name not in _KNOWN:
            self.warn(f"element <{name}> is not kept")
            return
        handler = getattr(self, "on_" + name, None)
        if handler is not None:
            handler(el)
            return
        known = self.rel_ids
        if name in REFERENCING:
            if _unresolved(el, known):
                self.warn(f"<{name}> refers to parts of the file that are not kept; "
                          "it is left out")
                return
        else:
            # A relationship id on the element itself that names no part
            # (printer settings missing from the package) goes; deeper down
            # it is what an extension is about, and the extension goes.
            _drop_rel_attrs(el, known)
            if name == "extLst":
                for ext in [e for e in el if _unresolved(e, known)]:
                    self.warn(f"an extension ({ext.get('uri')}) refers to parts of the file "
                              "that are not kept; it is left out")
                    el.remove(ext)
                    data = None  # warned of: not to be taken again unread
                if not len(el):
                    return
            elif _unresolved(el, known):
                self.warn(f"<{name}> refers to parts of the file that are not kept; "
                          "it is left out")
                return
        text = element_text(el)
        self.ws._kept.setdefault(name, []).append(text)
        self.last_kept = None if data is None else ((decl, data), (name, text))

    def on_dimension(self, el):
        pass  # worked out again from the cells when saved

    def on_sheetData(self, el):
        self.warn("a second <sheetData> is left out")

    def on_legacyDrawing(self, el):
        self.keep_vml_base(el)
        if self.has_comments:
            # The drawing of the notes, made anew from the comments when saved.
            self.owned_ids.update(el.attrib[k] for k in el.attrib if _is_rel(k))
            return
        if _unresolved(el, self.rel_ids):
            self.warn("<legacyDrawing> refers to parts of the file that are not kept; "
                      "it is left out")
            return
        self.ws._kept.setdefault("legacyDrawing", []).append(element_text(el))

    def on_sheetViews(self, el):
        view = el.find(_M + "sheetView")
        if view is None or self.ws._view_attrs is not None:
            return
        self.ws._view_attrs = {k: v for k, v in view.attrib.items() if "}" not in k}
        pane = view.find(_M + "pane")
        if pane is not None and pane.get("state") in ("frozen", "frozenSplit"):
            try:
                top_left = pane.get("topLeftCell")
                if not top_left:
                    cols = int(float(pane.get("xSplit", "0")))
                    rows = int(float(pane.get("ySplit", "0")))
                    top_left = f"{get_column_letter(cols + 1)}{rows + 1}"
                self.ws.freeze_panes = top_left
            except (ValueError, OverflowError):  # not a cell, or an infinite split
                self.warn("a frozen pane that names no cell is left out")
                return
        # Split panes, selections and further views are written back as
        # read while the program changes neither the view nor the frozen pane.
        self.ws._views_kept = (element_text(el), dict(self.ws._view_attrs),
                               self.ws.freeze_panes)

    def on_cols(self, el):
        dims = self.ws.column_dimensions
        for col in el.iterfind(_M + "col"):
            try:
                first = int(col.get("min"))
                last = int(col.get("max", first))
                dim = dims[get_column_letter(first)]
                if col.get("width") is not None:
                    width = float(col.get("width"))
                    if not math.isfinite(width):
                        # No application can show it, and it could not be saved.
                        self.warn(f"column width {col.get('width')!r} of column {first} is "
                                  "not a number; it is left out")
                    else:
                        dim.width = width
            except (TypeError, ValueError):
                self.warn("a column description without valid columns is left out")
                continue
            dim.max = max(first, min(last, MAX_COLUMN_LETTERS))
            dim.hidden = col.get("hidden", "0").lower() in _TRUE
            dim.outline_level = _int(col.get("outlineLevel"))
            dim.collapsed = col.get("collapsed", "0").lower() in _TRUE
            dim.style_id = self.style_id(col.get("style"))

    def on_mergeCells(self, el):
        for merged in el.iterfind(_M + "mergeCell"):
            try:
                self.ws.merge_cells(merged.get("ref"))
            except ValueError:
                self.warn(f"merged range {merged.get('ref')!r} is not a cell range; left out")

    def on_hyperlinks(self, el):
        targets = self._link_targets()
        for link in el.iterfind(_M + "hyperlink"):
            ref = link.get("ref", "")
            target = targets.get(link.get(f"{{{_DOC_REL}}}id"))
            location = link.get("location")
            try:
                row, column = coordinate_to_tuple(ref.partition(":")[0])
            except ValueError:
                self.warn(f"a link at {ref!r}, which is not a cell, is left out")
                continue
            if target is None and location is None:
                self.warn(f"the link of {ref} has no target and is left out")
                continue
            cell = self.cell(row, column, ref)
            if cell is None:
                continue
            # A link over a range is kept over the whole range, on its first cell.
            cell._hyperlink = Hyperlink(ref if ":" in ref else cell.coordinate,
                                        target=target, location=location,
                                        tooltip=link.get("tooltip"),
                                        display=link.get("display"))

    def _link_targets(self):
        folder, name = posixpath.split(self.path)
        path = posixpath.join(folder, "_rels", name + ".rels")
        try:
            with self.pkg.reading(path):
                root = parse_part(self.pkg._zip.read(path))
        except KeyError:
            return {}
        return {rel.get("Id"): rel.get("Target") for rel in root.iter(_REL)
                if rel.get("Type", "").endswith("/hyperlink")}

    def rows(self, row_runs):
        self.ws.row_dimensions._load(row_runs, self.row_settings)

    def row_settings(self, attrs):
        """The settings of rows read with the attributes `attrs`."""
        settings = RowSettings()
        try:
            if attrs.get("ht") is not None:
                settings.height = float(attrs["ht"])
        except ValueError:
            pass
        settings.hidden = attrs.get("hidden", "0").lower() in _TRUE
        settings.outline_level = _int(attrs.get("outlineLevel"))
        settings.collapsed = attrs.get("collapsed", "0").lower() in _TRUE
        if attrs.get("customFormat", "0").lower() in _TRUE:
            settings.style_id = self.style_id(attrs.get("s"))
        return settings

    def comments(self):
        parts = [path for kind, path in self.pkg._rels(self.path, required=False).values()
                 if kind.endswith("/comments")]
        for path in parts:
            try:
                with self.pkg.reading(path):
                    root = parse_part(self.pkg._zip.read(path))
            except KeyError:
                self.warn(f"the comments part {path} is missing")
                continue
            shown = self.shown_notes()
            authors = [a.text or "" for a in root.iterfind(f"{_M}authors/{_M}author")]
            for entry in root.iterfind(f"{_M}commentList/{_M}comment"):
                ref = entry.get("ref", "")
                author_id = _int(entry.get("authorId"))
                author = authors[author_id] if 0 <= author_id < len(authors) else ""
                text = "".join(t.text or "" for t in entry.iter(_M + "t"))
                try:
                    row, column = coordinate_to_tuple(ref.partition(":")[0])
                    comment = Comment(text, author)
                except (ValueError, IllegalCharacterError):
                    self.warn(f"the comment at {ref!r} is left out")
                    continue
                comment.visible = (row, column) in shown
                cell = self.cell(row, column, ref)
                if cell is not None:
                    cell._comment = comment

    def keep_vml_base(self, el):
        """Keep what the legacy drawing holds besides the notes' shapes (form
        controls, buttons), so that writing the notes anew keeps them."""
        loaded = self.ws.parent._loaded
        rel_id = next((v for k, v in el.attrib.items() if _is_rel(k)), None)
        rel = next((r for r in self.rels if r.id == rel_id), None)
        if loaded is None or rel is None or rel.kind != "vmlDrawing":
            return
        part = loaded.package.parts.get(rel.part)
        if part is None:
            return
        with self.pkg.reading(rel.part):  # a damaged member is a damaged file
            text = part.data().decode("utf-8", "replace")
        base = _VML_SHAPE.sub(
            lambda m: "" if 'ObjectType="Note"' in m.group(0) else m.group(0), text)
        if _VML_DRAWN.search(base) is None or "</xml>" not in base:
            return
        self.ws._vml_base = VmlBase(base, loaded.package.rels_of(rel.part),
                                    None if self.has_comments else rel.id)

    def shown_notes(self):
        """The cells (row, column) whose notes the sheet's legacy drawing shows
        all the time. That drawing is VML, which applications write as HTML
        rather than XML, so its shapes are matched as text."""
        loaded = self.ws.parent._loaded
        out = set()
        for rel in self.rels:
            if rel.id not in self.owned_ids or rel.kind != "vmlDrawing":
                continue
            part = loaded.package.parts.get(rel.part)
            if part is None:
                continue
            with self.pkg.reading(rel.part):
                text = part.data().decode("utf-8", "replace")
            for shape in _VML_SHAPE.findall(text):
                if "<x:Visible" not in shape or 'ObjectType="Note"' not in shape:
                    continue
                row, column = _VML_ROW.search(shape), _VML_COLUMN.search(shape)
                if row and column:
                    out.add((int(row.group(1)) + 1, int(column.group(1)) + 1))
        return out

    def cell(self, row, column, ref):
        try:
            return self.ws.cell(row, column)
        except ValueError:
            self.warn(f"{ref} lies outside the sheet; what it carries is left out")
            return None


def _is_rel(key):
    return key.startswith("{" + _DOC_REL + "}")


def _drop_rel_attrs(el, known):
    for key in [k for k in el.attrib if _is_rel(k) and el.attrib[k] not in known]:
        del el.attrib[key]


def _unresolved(el, known):
    """Whether a relationship id anywhere in `el` names no relationship in `known`."""
    return any(_is_rel(k) and v not in known for node in el.iter() for k, v in node.attrib.items())


def _int(text):
    try:
        return int(text)
    except (TypeError, ValueError):
        return 0

