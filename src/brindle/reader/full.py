"""Loading a workbook in full (editable) mode.

The package is read as for a read-only workbook (relationships, workbook
part, date system, shared strings, which styles show dates); then the
stylesheet fills the new workbook's style tables and every worksheet is read
whole into its cell container. The engine's `bind_cells` does that when it
can; when it raises `NativeFallback` the sheet is read again by `bind_cells`
below, which gives the same cells. What a worksheet holds besides cells
comes back from either as "element" actions, replayed here in document order.
"""

import array
import functools
import os
import posixpath
import threading
import warnings
import xml.etree.ElementTree as ET

from brindle.cell.cell import Cell, IllegalCharacterError, bare_cell
from brindle.cell.comment import Comment
from brindle.cell.hyperlink import Hyperlink
from brindle.reader import workbook as package_reader
from brindle.reader.worksheet import MAIN, iter_items
from brindle.styles.cell_style import StyleArray
from brindle.styles.reader import element_text, read_stylesheet
from brindle.utils.cell import coordinate_to_tuple, get_column_letter
from brindle.workbook.workbook import Workbook
from brindle.worksheet.elements import ORDER, REFERENCING
from brindle.worksheet.store import is_cell_store
from brindle.worksheet.worksheet import Worksheet
from brindle._native import native_engine
from brindle.utils.threads import free_threaded

_M = "{" + MAIN + "}"
_DOC_REL = "http://schemas.openxmlformats.org/officeDocument/2006/relationships"
_REL = "{http://schemas.openxmlformats.org/package/2006/relationships}Relationship"
_TRUE = ("1", "true")
_KNOWN = frozenset(ORDER)
_new_array = array.array.__new__
# Warnings are reported at the caller's line, outside this package.
_HERE = (os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), ""),)


def bind_cells(source, parser, ws, store, cell_styles, cell_cls, helpers, actions):
    """Read all cells of a worksheet (full / editable mode) into `store`.

    The pure-Python counterpart of the engine's `bind_cells`, with the same
    arguments and results: each cell becomes a `cell_cls` instance (built
    without its constructor) with its own copy of its style array, stored
    under (row, column); other elements are appended to `actions` as
    ("element", bytes, namespaces) and warnings as ("warn", message), for
    the caller to replay in document order.
    """
    for item in iter_items(source, parser, helpers, as_read=True):
        if item[0] != "row":
            actions.append(item)
            continue
        for row, column, value, data_type, style_id, _formula, _cached, as_read in item[2]:
            style = cell_styles[style_id]
            # The style is copied like the engine copies it: same class and
            # contents, without the class's __init__.
            store[(row, column)] = bare_cell(cell_cls, ws, row, column, value,
                                             _new_array(type(style), "i", style), data_type,
                                             as_read)


def load_full(filename, data_only=False, rich_text=False, **limits):
    """The workbook in `filename` as a `Workbook` whose sheets can be changed and saved;
    `limits` are ZipReader's (max_part_size, max_ratio)."""
    package = _Package(filename, data_only=data_only, rich_text=rich_text, **limits)
    try:
        return _Loader(package).load()
    finally:
        package.close()


class _Package(package_reader.ReadOnlyWorkbook):
    _keep_runs = True  # cells of shared strings with runs write them back


class _Loader:
    def __init__(self, package):
        self.package = package
        self.native = package.native

    def load(self):
        pkg = self.package
        wb = Workbook(native=self.native)
        wb._sheets.clear()
        wb.epoch = pkg.epoch
        styles_path = pkg._parts.get("styles")
        try:
            if styles_path is not None:
                with pkg.open_part(styles_path) as src, pkg.reading(styles_path):
                    data = src.read()
                cell_styles = read_stylesheet(data, wb)
            else:
                cell_styles = [StyleArray()]
            theme_path = pkg._parts.get("theme")
            if theme_path is not None:
                with pkg.open_part(theme_path) as src, pkg.reading(theme_path):
                    wb._theme = src.read()
        except Exception as exc:
            exc.add_note(f"while loading the stylesheet ({styles_path})")
            raise
        states = {}
        book = pkg._xml_part(pkg._office_document())
        for sheet in book.iter(_M + "sheet"):
            if sheet.get("state") in ("hidden", "veryHidden"):
                states[sheet.get("name")] = sheet.get("state")
        names = book.find(_M + "definedNames")
        if names is not None and len(names):
            # Named ranges, print areas and titles, kept as they are: their
            # sheet numbers hold as long as the sheets keep their order.
            wb._defined_names_xml = element_text(names)
        sheets = []
        for n, source in enumerate(pkg._sheets, 1):
            ws = Worksheet(wb, "Sheet")
            # Titles are taken as the file has them, even ones this library
            # would not accept for a new sheet.
            ws._title = source.title or f"Sheet{n}"
            ws.sheet_state = states.get(source.title, "visible")
            wb._sheets.append(ws)
            sheets.append((ws, source))
        if len(sheets) > 1 and _parallel():
            read = _ParallelSheets(self, sheets, cell_styles).results()
        else:
            read = (lambda ws=ws, source=source: self.read_sheet(ws, source, cell_styles)
                    for ws, source in sheets)
        # Whatever read the cells, what the workbook shows of each sheet is
        # settled here, one sheet after the other in the file's order, so that
        # warnings, style ids and the first error are those of a serial load.
        try:
            for (ws, source), cells in zip(sheets, read):
                try:
                    actions, row_dimensions = cells()
                    self.finish_sheet(ws, source, cell_styles, actions, row_dimensions)
                except Exception as exc:
                    exc.add_note(f"while loading worksheet {ws.title!r} ({source._path})")
                    raise
        finally:
            # Now, not when the traceback that holds it is dropped: the
            # threads of a parallel load end here.
            read.close()
        return wb

    def read_sheet(self, ws, source, cell_styles, wrap=None):
        """Read the cells of one worksheet into its store; (actions, row dimensions).

        Touches nothing but the worksheet's own store, so that sheets can be
        read on several threads at once. `wrap` is applied to the part's
        stream before it is read."""
        pkg = self.package
        actions = []
        parser = source._parser()
        store = ws._cells
        engine = native_engine() if self.native else None
        loaded = False
        if engine is not None and is_cell_store(store):
            try:
                with pkg.open_part(source._path) as src, pkg.reading(source._path):
                    engine.bind_cells(src if wrap is None else wrap(src), parser, ws, store,
                                      cell_styles, Cell, pkg._helpers, actions)
                loaded = True
            except engine.NativeFallback:
                store.clear()
                actions.clear()
                parser = source._parser()
        if not loaded:
            with pkg.open_part(source._path) as src, pkg.reading(source._path):
                bind_cells(src if wrap is None else wrap(src), parser, ws, store, cell_styles,
                           Cell, pkg._helpers, actions)
        return actions, parser.row_dimensions

    def finish_sheet(self, ws, source, cell_styles, actions, row_dimensions):
        bounds = ws._bounds()
        ws._current_row = bounds[1] if bounds is not None else 0
        _SheetExtras(ws, self.package, source._path, cell_styles).replay(actions, row_dimensions)
        ws._cells_changed = False  # links replayed above set values: not edits


# Internal switch: None loads the sheets of a workbook on parallel threads
# exactly when the interpreter runs without the GIL (with it, threads would
# only take turns); True and False force the choice either way.
parallel_sheets = None


def _parallel():
    return parallel_sheets if parallel_sheets is not None else free_threaded()


class _Cancelled(Exception):
    """Raised into a sheet being read once nobody wants its cells any more."""


class _ParallelSheets:
    """Reads the cells of several worksheets on a few threads.

    Each sheet has its own stream, parser and store, so the threads share
    only what is read and never changed (the package's members, the shared
    strings, the style arrays). The results come back in the file's order.
    Once a sheet has failed, sheets after it are not started (a serial load
    would never reach them), and a consumer that stops early, by an error
    or an interrupt, cancels what is still being read: `results` waits for
    every thread before it returns or raises, so none outlives the load."""

    def __init__(self, loader, sheets, cell_styles):
        self.loader = loader
        self.sheets = sheets
        self.cell_styles = cell_styles
        self.lock = threading.Lock()
        self.done = threading.Condition(self.lock)
        self.outcome = [None] * len(sheets)  # (actions, row dimensions) or the exception
        self.finished = [False] * len(sheets)
        self.next_index = 0
        self.first_error = len(sheets)  # the earliest sheet that failed
        self.cancelled = False

    def _cancellable(self, src):
        return _CancellableSource(src, self)

    def _work(self):
        while True:
            with self.lock:
                i = self.next_index
                if i >= len(self.sheets) or i > self.first_error or self.cancelled:
                    return
                self.next_index = i + 1
            ws, source = self.sheets[i]
            try:
                outcome = self.loader.read_sheet(ws, source, self.cell_styles,
                                                 self._cancellable)
            except BaseException as exc:
                outcome = exc
            with self.lock:
                self.outcome[i] = outcome
                self.finished[i] = True
                if isinstance(outcome, BaseException):
                    self.first_error = min(self.first_error, i)
                self.done.notify_all()

    def results(self):
        """Per sheet, in order, a callable giving (actions, row dimensions) or raising what
        reading the sheet raised."""
        workers = min(len(self.sheets), os.process_cpu_count() or 1)
        threads = [threading.Thread(target=self._work, name=f"brindle sheet reader {n}",
                                    daemon=True) for n in range(workers)]
        for t in threads:
            t.start()
        try:
            for i in range(len(self.sheets)):
                with self.lock:
                    while not self.finished[i]:
                        self.done.wait()
                    outcome, self.outcome[i] = self.outcome[i], None
                yield functools.partial(_outcome, outcome)
        finally:
            with self.lock:
                self.cancelled = True
            for t in threads:
                t.join()


def _outcome(outcome):
    if isinstance(outcome, BaseException):
        raise outcome
    return outcome


class _CancellableSource:
    """A member stream that stops a cancelled parallel load at its next read."""

    __slots__ = ("_src", "_load")

    def __init__(self, src, load):
        self._src = src
        self._load = load

    def read(self, size=-1):
        if self._load.cancelled:
            raise _Cancelled("the load was abandoned")
        return self._src.read(size)


class _SheetExtras:
    """Replays the actions of one worksheet onto it."""

    def __init__(self, ws, pkg, path, cell_styles):
        self.ws = ws
        self.pkg = pkg
        self.path = path
        self.cell_styles = cell_styles

    def style_id(self, text):
        """The workbook's index for the file's cell format `text`, None for none or a bad one."""
        index = _int(text)
        if not 0 < index < len(self.cell_styles):
            return None
        return self.ws.parent._cell_styles.add(self.cell_styles[index]) or None

    def warn(self, message):
        warnings.warn(f"worksheet {self.ws.title!r}: {message}", UserWarning,
                      skip_file_prefixes=_HERE)

    def replay(self, actions, row_dimensions):
        for action in actions:
            if action[0] == "warn":
                warnings.warn(action[1], UserWarning, skip_file_prefixes=_HERE)
            elif action[0] == "element":
                self.element(action[1], action[2])
        self.rows(row_dimensions)
        self.comments()

    def element(self, data, namespaces):
        decl = "".join(
            f' xmlns:{p}="{_attr(u)}"' if p else f' xmlns="{_attr(u)}"'
            for p, u in namespaces if p != "xml")
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
        elif name in REFERENCING:
            self.warn(f"<{name}> refers to parts of the file that are not kept; it is left out")
        else:
            # Relationship ids point at parts that are not written again: on
            # the element itself they name a side part (printer settings) and
            # go; deeper down they are what an extension is about, and the
            # extension goes.
            _drop_rel_attrs(el)
            if name == "extLst":
                for ext in [e for e in el if _refers(e)]:
                    self.warn(f"an extension ({ext.get('uri')}) refers to parts of the file "
                              "that are not kept; it is left out")
                    el.remove(ext)
                if not len(el):
                    return
            elif _refers(el):
                self.warn(f"<{name}> refers to parts of the file that are not kept; "
                          "it is left out")
                return
            self.ws._kept.setdefault(name, []).append(element_text(el))

    def on_dimension(self, el):
        pass  # worked out again from the cells when saved

    def on_sheetData(self, el):
        self.warn("a second <sheetData> is left out")

    def on_legacyDrawing(self, el):
        pass  # the drawing of the notes, made anew from the comments when saved

    def on_sheetViews(self, el):
        view = el.find(_M + "sheetView")
        if view is None or self.ws._view_attrs is not None:
            return
        self.ws._view_attrs = {k: v for k, v in view.attrib.items() if "}" not in k}
        pane = view.find(_M + "pane")
        if pane is None or pane.get("state") not in ("frozen", "frozenSplit"):
            return
        try:
            cols = int(float(pane.get("xSplit", "0")))
            rows = int(float(pane.get("ySplit", "0")))
            self.ws.freeze_panes = pane.get("topLeftCell") or (
                f"{get_column_letter(cols + 1)}{rows + 1}")
        except ValueError:
            self.warn("a frozen pane that names no cell is left out")

    def on_cols(self, el):
        dims = self.ws.column_dimensions
        for col in el.iterfind(_M + "col"):
            try:
                first = int(col.get("min"))
                last = int(col.get("max", first))
                dim = dims[get_column_letter(first)]
                if col.get("width") is not None:
                    dim.width = float(col.get("width"))
            except (TypeError, ValueError):
                self.warn("a column description without valid columns is left out")
                continue
            dim.max = max(first, min(last, 18278))
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
            cell._hyperlink = Hyperlink(cell.coordinate, target=target, location=location,
                                        tooltip=link.get("tooltip"),
                                        display=link.get("display"))

    def _link_targets(self):
        folder, name = posixpath.split(self.path)
        try:
            root = ET.fromstring(self.pkg._zip.read(posixpath.join(folder, "_rels",
                                                                  name + ".rels")))
        except KeyError:
            return {}
        return {rel.get("Id"): rel.get("Target") for rel in root.iter(_REL)
                if rel.get("Type", "").endswith("/hyperlink")}

    def rows(self, row_dimensions):
        dims = self.ws.row_dimensions
        for key, attrs in row_dimensions.items():
            try:
                index = int(key)
            except ValueError:
                continue
            if not 1 <= index <= 0xFFFFFFFF:
                continue
            dim = dims[index]
            try:
                if attrs.get("ht") is not None:
                    dim.height = float(attrs["ht"])
            except ValueError:
                pass
            dim.hidden = attrs.get("hidden", "0").lower() in _TRUE
            dim.outline_level = _int(attrs.get("outlineLevel"))
            dim.collapsed = attrs.get("collapsed", "0").lower() in _TRUE
            if attrs.get("customFormat", "0").lower() in _TRUE:
                dim.style_id = self.style_id(attrs.get("s"))

    def comments(self):
        parts = [path for kind, path in self.pkg._rels(self.path, required=False).values()
                 if kind.endswith("/comments")]
        for path in parts:
            try:
                root = ET.fromstring(self.pkg._zip.read(path))
            except KeyError:
                self.warn(f"the comments part {path} is missing")
                continue
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
                cell = self.cell(row, column, ref)
                if cell is not None:
                    cell._comment = comment

    def cell(self, row, column, ref):
        try:
            return self.ws.cell(row, column)
        except ValueError:
            self.warn(f"{ref} lies outside the sheet; what it carries is left out")
            return None


def _is_rel(key):
    return key.startswith("{" + _DOC_REL + "}")


def _drop_rel_attrs(el):
    for key in [k for k in el.attrib if _is_rel(k)]:
        del el.attrib[key]


def _refers(el):
    """Whether a relationship id appears anywhere in `el`."""
    return any(_is_rel(k) for node in el.iter() for k in node.attrib)


def _int(text):
    try:
        return int(text)
    except (TypeError, ValueError):
        return 0


def _attr(text):
    return (text.replace("&", "&amp;").replace("<", "&lt;").replace('"', "&quot;"))
