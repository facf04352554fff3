"""The module frame: registration order, signatures, docstrings, classes."""

import gc
import inspect
import threading
import warnings

import pytest

import brindle._brindle as m


def test_attributes_in_registration_order():
    public = [k for k in m.__dict__ if not k.startswith("__")]
    assert public == [
        "NativeFallback", "read_string_table", "bind_cells", "find_dimension",
        "prescan_sheet", "RowReader", "CellStore", "SheetWriter",
    ]
    assert m.__doc__ == ""
    assert m.__name__ == "brindle._brindle"


def test_native_fallback_class():
    nf = m.NativeFallback
    assert nf.__mro__ == (nf, Exception, BaseException, object)
    assert (nf.__module__, nf.__name__) == ("_brindle", "NativeFallback")
    assert nf.__doc__ == (
        "The native engine cannot reproduce corvid's behaviour for this input; "
        "the pure Python implementation must be used."
    )
    assert issubclass(nf, Exception) and not issubclass(nf, (TypeError, ValueError))


SIGNATURES = [
    (m.read_string_table, "(source, helpers)"),
    (m.bind_cells, "(source, parser, ws, store, cell_styles, cell_cls, helpers, actions)"),
    (m.find_dimension, "(source)"),
    (m.prescan_sheet, "(source, want_rows, corners, helpers)"),
    (m.RowReader, "(source, parser, helpers, elements=True)"),
    (m.CellStore, "(*_args, **_kwargs)"),
    (m.SheetWriter, "(ws, write, lxml, helpers)"),
    (m.RowReader.next_row,
     "(self, /, ws, min_col, max_col, values_only, cell_cls, filler, extra_none=None)"),
    (m.RowReader.next_raw, "(self, /)"),
    (m.CellStore.get, "(self, /, key, default=None)"),
    (m.CellStore._row, "(self, /, row, min_col, max_col, values_only)"),
    (m.CellStore._stats, "(self, /)"),
    (m.SheetWriter.write_row, "(self, /, cells, row_idx)"),
    (m.SheetWriter.write_sheet_data, "(self, /, rows_fallback)"),
    (m.SheetWriter.flush, "(self, /)"),
]


@pytest.mark.parametrize("obj,sig", SIGNATURES, ids=lambda x: getattr(x, "__qualname__", x))
def test_signatures(obj, sig):
    assert str(inspect.signature(obj)) == sig


@pytest.mark.parametrize("obj,doc", [
    (m.read_string_table, "read_string_table(source, helpers) -> list"),
    (m.find_dimension, "Find the `dimension` element like `WorkSheetParser.parse_dimensions`.\n"
                       "Returns (snippet, namespaces) or None."),
    (m.prescan_sheet, "prescan_sheet(source, want_rows, corners, helpers) -> dict"),
    (m.RowReader, "Streaming row reader used by ReadOnlyWorksheet."),
    (m.CellStore.popitem, "dict.popitem(): remove and return the last inserted (key, value)"),
    (m.CellStore._stats, "Diagnostics: (cells, materialised cells, formula templates, text bytes)"),
    (m.SheetWriter.write_row, "Write one `<row>` from an iterable of cells (write-only worksheets)."),
])
def test_docstrings(obj, doc):
    assert obj.__doc__ == doc


def test_bind_cells_docstring_opening():
    doc = m.bind_cells.__doc__
    assert doc.startswith("Read all cells of a worksheet (full / editable mode) into `store`.\n\n"
                          "Mirrors `WorksheetReader.bind_cells` + `WorkSheetParser.parse`.")
    assert '("element", bytes, namespaces)' in doc and '("warn", message)' in doc


@pytest.mark.parametrize("call,message", [
    (lambda: m.read_string_table(), "read_string_table() missing 2 required positional "
                                    "arguments: 'source' and 'helpers'"),
    (lambda: m.prescan_sheet(1), "prescan_sheet() missing 3 required positional arguments: "
                                 "'want_rows', 'corners', and 'helpers'"),
    (lambda: m.read_string_table(1, 2, 3), "read_string_table() takes 2 positional arguments "
                                           "but 3 were given"),
    (lambda: m.find_dimension(1, 2), "find_dimension() takes 1 positional argument but 2 were given"),
    (lambda: m.find_dimension(source=1, other=2), "find_dimension() got an unexpected keyword "
                                                  "argument 'other'"),
    (lambda: m.read_string_table(1, source=2), "read_string_table() got multiple values for "
                                               "argument 'source'"),
    (lambda: m.RowReader(1, 2), "RowReader() missing 1 required positional argument: 'helpers'"),
    (lambda: m.SheetWriter(1, 2, 3, 4, 5), "SheetWriter() takes 4 positional arguments but 5 "
                                           "were given"),
    (lambda: m.CellStore().get(), "CellStore.get() missing 1 required positional argument: 'key'"),
    (lambda: m.CellStore().get(1, 2, 3), "CellStore.get() takes from 1 to 2 positional arguments "
                                         "but 3 were given"),
    (lambda: m.CellStore()._stats(1), None),
])
def test_argument_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    if message is not None:
        assert str(info.value) == message


@pytest.mark.parametrize("cls,subclassable", [
    (m.CellStore, True), (m.RowReader, False), (m.SheetWriter, False),
    (type(iter(m.CellStore())), False),
])
def test_subclassing(cls, subclassable):
    if subclassable:
        sub = type("Sub", (cls,), {})
        assert isinstance(sub(), cls)
    else:
        with pytest.raises(TypeError):
            type("Sub", (cls,), {})


def test_class_modules():
    # A heap type created without a dotted name has no __module__, which the
    # interpreter reports with a DeprecationWarning on first lookup.
    key_iter = type(iter(m.CellStore()))
    assert key_iter.__doc__ in (None, "")
    for cls, name in ((m.CellStore, "CellStore"), (m.RowReader, "RowReader"),
                      (m.SheetWriter, "SheetWriter"), (key_iter, "KeyIter")):
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            assert cls.__module__ == "brindle._brindle"
        assert cls.__name__ == cls.__qualname__ == name
        assert repr(cls) == f"<class 'brindle._brindle.{name}'>"


def test_empty_store_answers_like_an_empty_dict():
    store = m.CellStore("ignored", any=1)
    assert len(store) == 0 and list(store) == [] and list(reversed(store)) == []
    assert (1, 1) not in store and store.get((1, 1)) is None and store.get(1, "d") == "d"
    assert store._bounds() is None and store._in_dict_mode() is False
    assert store._stats() == (0, 0, 0, 0)
    with pytest.raises(KeyError) as info:
        store[(1, 2)]
    assert info.value.args == ((1, 2),)
    with pytest.raises(KeyError, match="popitem"):
        store.popitem()
    with pytest.raises(KeyError):
        del store[(1, 1)]


def test_store_and_iterator_are_collected_in_cycles():
    class Sub(m.CellStore):
        pass

    store = Sub()
    it = iter(store)
    store.me = store
    store.it = it
    del store, it
    assert gc.collect() >= 1


def test_fallback_class_is_one_object_across_threads():
    # The once-cells are already filled by import; every thread must see the
    # same class, never a half-built one.
    seen = []
    barrier = threading.Barrier(8)

    def worker():
        barrier.wait()
        seen.append(m.NativeFallback)
        seen.append(type(iter(m.CellStore())))

    threads = [threading.Thread(target=worker) for _ in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert len({id(x) for x in seen}) == 2
