"""bind_cells held to the pure-Python parse of the host's full-mode loader, on
one worksheet: `check(data, parser_kw)` gives the engine's outcome after
asserting that it is the host's, or a decline on purpose."""

import io
import math

from brindle import _brindle as m
from brindle.reader import xmlwindow
from brindle.reader.worksheet import iter_items
from brindle.styles.cell_style import StyleArray
from sources import Trickle
from testkit import Cell, make_helpers, make_parser

STYLES = [StyleArray([k] * 9) for k in range(4)]


def pure_bind(data, parser_kw, styles):
    """What the host's own loader makes of the sheet: {key: description}, actions."""
    parser = make_parser(**parser_kw)
    # A byte at a time, with expat's deferred reparsing off: each row reaches
    # the loader before the next is parsed, so errors come in document
    # order, as the engine meets them.
    parser.source = Trickle(data, 1)
    cells, actions = {}, []
    window_init = xmlwindow.Window.__init__

    def eager_init(self, source):
        window_init(self, source)
        self.parser.SetReparseDeferralEnabled(False)

    xmlwindow.Window.__init__ = eager_init
    try:
        # As the host's loader reads: rows whole, cells in file order.
        items = iter_items(parser.source, parser, make_helpers(), as_read=True,
                           n_styles=len(styles) if hasattr(styles, "__len__") else None)
    finally:
        xmlwindow.Window.__init__ = window_init
    try:
        for item in items:
            if item[0] != "row":
                actions.append(item)
                continue
            for row, col, value, data_type, style, *_ in item[2]:
                cells[(row, col)] = describe(value, data_type, styles[style], "ws")
    except Exception as e:  # noqa: BLE001 - the host's exception is the expectation
        return ("error", type(e), str(e))
    return ("ok", list(cells.items()), actions, rows_of(parser))


def native_bind(data, parser_kw, styles, store=None):
    parser = make_parser(**parser_kw)
    store = m.CellStore() if store is None else store
    actions = []
    try:
        m.bind_cells(io.BytesIO(data), parser, "ws", store, styles, Cell, make_helpers(), actions)
    except m.NativeFallback as e:
        assert len(store) == 0, "a failed load leaves an empty store"
        return ("fallback", e.args[0])
    except Exception as e:  # noqa: BLE001
        assert len(store) == 0, "a failed load leaves an empty store"
        return ("error", type(e), str(e))
    cells = [(k, describe(c.value, c.data_type, c._style, c.parent)) for k, c in
             ((k, store[k]) for k in list(store))]
    return ("ok", cells, actions, rows_of(parser))


def rows_of(parser):
    """What the parse kept of rows' attributes: the runs, when asked for, else the dict."""
    runs = getattr(parser, "row_runs", None)
    return parser.row_dimensions if runs is None else runs


def describe(value, data_type, style, parent):
    if isinstance(value, float) and math.isnan(value):
        value = "nan"
    return (type(value).__name__, value, data_type, type(style).__name__, list(style), parent)


# The pure reader takes its first 256 bytes in one piece to sniff the
# encoding; past them, the byte-at-a-time source holds it to row order.
PAD = b"<!--" + b" " * 256 + b"-->"


def check(data, parser_kw, styles=STYLES):
    decl, sep, body = data.partition(b"?>")
    data = decl + sep + PAD + body if sep else PAD + data
    pure = pure_bind(data, parser_kw, styles)
    native = native_bind(data, parser_kw, styles)
    if pure[0] == "error" and pure[1] is xmlwindow.OutsideSheet:
        # Past a sheet's limits: the engine refuses in the host's words.
        assert native == ("fallback", pure[2]), (native, pure)
    elif native[0] == "fallback":
        # A style past the list is declined too, for the host to refuse naming the cell.
        past = pure[0] == "error" and native[1] in ("style index", "unusual style id")
        assert past or native[1].startswith(("unsupported: ", "malformed: ")), (native, pure)
    else:
        assert native == pure
    return native
