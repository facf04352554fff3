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

from brindle._native import native_engine
from brindle.cell.cell import Cell, bare_cell
from brindle.reader import workbook as package_reader
from brindle.reader.book import read_book
from brindle.reader.parallel import ParallelSheets
from brindle.reader.sheet_extras import SheetExtras
from brindle.reader.worksheet import iter_items
from brindle.styles.cell_style import StyleArray
from brindle.styles.reader import read_stylesheet
from brindle.workbook.workbook import Workbook
from brindle.worksheet.store import is_cell_store

_new_array = array.array.__new__


def bind_cells(source, parser, ws, store, cell_styles, cell_cls, helpers, actions):
    """Read all cells of a worksheet (full / editable mode) into `store`.

    The pure-Python counterpart of the engine's `bind_cells`, with the same
    arguments and results: each cell becomes a `cell_cls` instance (built
    without its constructor) with its own copy of its style array, stored
    under (row, column); other elements are appended to `actions` as
    ("element", bytes, namespaces) and warnings as ("warn", message), for
    the caller to replay in document order.
    """
    for item in iter_items(source, parser, helpers, as_read=True, n_styles=len(cell_styles)):
        if item[0] != "row":
            actions.append(item)
            continue
        for row, column, value, data_type, style_id, _formula, _cached, as_read in item[2]:
            # The reader refused ids outside the table already (n_styles).
            style = cell_styles[style_id]
            # The style is copied like the engine copies it: same class and
            # contents, without the class's __init__.
            store[(row, column)] = bare_cell(cell_cls, ws, row, column, value,
                                             _new_array(type(style), "i", style), data_type,
                                             as_read)


def load_full(filename, data_only=False, rich_text=False, **settings):
    """The workbook in `filename` as a `Workbook` whose sheets can be changed and saved;
    `settings` are ReadOnlyWorkbook's (native, max_part_size, max_ratio, options)."""
    package = _Package(filename, data_only=data_only, rich_text=rich_text, **settings)
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
        wb = Workbook(native=self.native, options=pkg.options)
        wb._sheets.clear()
        wb.epoch = pkg.epoch
        styles_path = pkg._parts.get("styles")
        try:
            if styles_path is not None:
                with pkg.open_part(styles_path) as src, pkg.reading(styles_path):
                    cell_styles = read_stylesheet(src.read(), wb)
            else:
                cell_styles = [StyleArray()]
        except Exception as exc:
            exc.add_note(f"while loading the stylesheet ({styles_path})")
            raise
        # The workbook part, the parts carried through a save, the sheets in
        # tab order (chartsheets among them) and the defined names.
        sheets = read_book(pkg, wb)
        if len(sheets) > 1 and pkg.options.loads_in_parallel():
            read = ParallelSheets(self, sheets, cell_styles).results()
        else:
            read = (lambda ws=ws, source=source: self.read_sheet(ws, source, cell_styles)
                    for ws, source in sheets)
        # Whatever read the cells, what the workbook shows of each sheet is
        # settled here, one sheet after the other in the file's order, so that
        # warnings, style ids and the first error are those of a serial load.
        try:
            for (ws, source), cells in zip(sheets, read):
                try:
                    actions, row_runs = cells()
                    self.finish_sheet(ws, source, cell_styles, actions, row_runs)
                except Exception as exc:
                    exc.add_note(f"while loading worksheet {ws.title!r} ({source._path})")
                    raise
        finally:
            # Now, not when the traceback that holds it is dropped: the
            # threads of a parallel load end here.
            read.close()
        return wb

    def read_sheet(self, ws, source, cell_styles, wrap=None):
        """Read the cells of one worksheet into its store; (actions, row runs).

        Touches nothing but the worksheet's own store, so that sheets can be
        read on several threads at once. `wrap` is applied to the part's
        stream before it is read."""
        pkg = self.package
        actions = []
        parser = source._parser(runs=True)
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
                parser = source._parser(runs=True)
        if not loaded:
            with pkg.open_part(source._path) as src, pkg.reading(source._path):
                bind_cells(src if wrap is None else wrap(src), parser, ws, store, cell_styles,
                           Cell, pkg._helpers, actions)
        return actions, parser.row_runs

    def finish_sheet(self, ws, source, cell_styles, actions, row_runs):
        bounds = ws._bounds()
        ws._current_row = bounds[1] if bounds is not None else 0
        SheetExtras(ws, self.package, source._path, cell_styles).replay(actions, row_runs)
        ws._cells_changed = False  # links replayed above set values: not edits
