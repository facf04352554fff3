"""The container of a worksheet's cells, chosen in one place.

An in-memory worksheet keeps its cells in `ws._cells`, a mapping from
(row, column) to `Cell`. The engine's `CellStore` keeps them compactly and
answers the same mapping protocol; a plain dict is used when the engine is
absent or kept out, or when its store is not part of the build.
"""

import sys

from brindle._native import native_engine
from brindle.cell.cell import Cell

_UNSET = object()
# The engine module the probe below was run against, and its verdict.
_probed = (_UNSET, False)


def _store_works(engine):
    """Whether this build's `CellStore` can hold cells (decided once per engine)."""
    global _probed
    if _probed[0] is engine:
        return _probed[1]
    try:
        probe = engine.CellStore()
        probe[(1, 1)] = None
        works = len(probe) == 1
    except engine.NativeFallback:
        works = False
    _probed = (engine, works)
    return works


def cell_store_class(native=True):
    """The engine's `CellStore` class when it is usable, else None."""
    engine = native_engine() if native else None
    if engine is None or not _store_works(engine):
        return None
    return engine.CellStore


def new_cell_store(native=True, ws=None):
    """An empty cell container: the engine's `CellStore` when it is usable, else a dict.

    A store for a new worksheet `ws` is attached to it at once, as a load
    would, so that cells it creates itself (row iteration) have `ws` as
    parent from the start; a dict needs no such thing.
    """
    cls = cell_store_class(native)
    if cls is None:
        return {}
    store = cls()
    if ws is not None:
        store._attach(ws, Cell)
    return store


def is_cell_store(cells):
    """Whether `cells` is an engine store (rather than a plain mapping)."""
    # Looked up among loaded modules: a store outlives a later BRINDLE_NO_NATIVE.
    engine = sys.modules.get("brindle._brindle")
    return engine is not None and isinstance(cells, engine.CellStore)
