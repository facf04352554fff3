"""CellStore against a plain dict of cells: a long random walk of every
mapping operation, `_row` and the diagnostics, with odd keys, through the
switch to dictionary mode and back after `clear()`. Results, exceptions,
messages and iteration order must be the dict's."""

import io
import re

import pytest
from hypothesis import given, strategies as st

from brindle import _brindle as m
from testkit import Cell, IntLike, make_helpers, make_parser
from brindle.styles.cell_style import StyleArray

MAIN = "http://schemas.openxmlformats.org/spreadsheetml/2006/main"
LIMIT = 0xFFFFFFFF
STYLES = [StyleArray([k] * 9) for k in range(3)]


class V:
    """A value stored by the walk; `value` is what `_row(values_only=True)` reads."""

    def __init__(self, n):
        self.value = n

    def __repr__(self):
        return f"V({self.value})"


class TupleSub(tuple):
    pass


class BadHash:
    def __hash__(self):
        raise ValueError("no hash for you")


class BadEq:
    """Hashes far from any small int, and refuses to be compared."""

    def __init__(self, tag):
        self.tag = tag

    def __hash__(self):
        return 2**61 - 7

    def __eq__(self, other):
        raise ArithmeticError(f"no comparing {self.tag}")

    def __repr__(self):
        return f"BadEq({self.tag})"


BAD_EQ = (BadEq(1), BadEq(2))

small = st.integers(0, 4)
exact_keys = st.tuples(small, small)
equivalent_keys = st.one_of(
    st.tuples(small, small).map(lambda k: (float(k[0]), k[1])),
    st.tuples(small, small).map(lambda k: (k[0], float(k[1]))),
    st.tuples(st.integers(0, 1), small).map(lambda k: (bool(k[0]), k[1])),
    st.tuples(small, small).map(lambda k: (IntLike(k[0]), k[1])),
    st.tuples(small, small).map(TupleSub),
)
ODD_KEYS = [
    (2.5, 1), (-1, 1), (LIMIT + 1, 1), (LIMIT, LIMIT), (0, 0), "A1", (1, 2, 3), (1,), 7,
    [1, 2], (1, [2]), BadHash(), (BadHash(), 1), (BAD_EQ[0], 1), (BAD_EQ[1], 1), (True, 2.0),
]
# Drawn by index: hypothesis hashes the elements it samples.
odd_keys = st.integers(0, len(ODD_KEYS) - 1).map(ODD_KEYS.__getitem__)
keys = st.one_of(exact_keys, exact_keys, equivalent_keys, odd_keys)


def py_equivalent(key):
    """The packed key the store finds `key` under, computed from its description."""
    if not isinstance(key, tuple) or len(key) != 2:
        return None
    out = []
    for item in key:
        try:
            i = int(item)
            if not item == i:
                return None
        except Exception:  # noqa: BLE001 - failures mean "not equivalent"
            return None
        if hash(item) != hash(i) or not 0 <= i <= LIMIT:
            return None
        out.append(i)
    return tuple(out)


def is_exact(key):
    return (type(key) is tuple and len(key) == 2 and all(type(i) is int for i in key)
            and all(0 <= i <= LIMIT for i in key))


def real_key(d, key):
    """The key object of `d` that a lookup of `key` finds, compared as a dict compares."""
    h = hash(key)
    return next(k for k in d if k is key or (hash(k) == h and k == key))


def outcome(fn):
    try:
        return ("ok", fn())
    except Exception as e:  # noqa: BLE001 - the dict's exception is the expectation
        return ("error", type(e), str(e))


class Model:
    """The dict the host would hold. A loaded cell the walk has not read yet
    is ("lazy", value, data_type); once read, the object itself."""

    def __init__(self, store, lazy):
        self.store = store
        self.d = dict(lazy)
        self.dict_mode = False

    def seen(self, key, got):
        """Checks what the store returned for `key` and remembers the object."""
        want = self.d[key]
        if isinstance(want, tuple) and want and want[0] == "lazy":
            assert type(got) is Cell and (got.value, got.data_type) == want[1:], (key, got, want)
            self.d[key] = got
        else:
            assert got is want, (key, got, want)

    def value_of(self, key):
        want = self.d[key]
        if isinstance(want, tuple) and want and want[0] == "lazy":
            return want[1]
        return want.value

    def check_invariants(self):
        s = self.store
        assert len(s) == len(self.d)
        assert s._in_dict_mode() is self.dict_mode
        assert [repr(k) for k in s] == [repr(k) for k in self.d]
        assert [repr(k) for k in reversed(s)] == [repr(k) for k in reversed(self.d)]
        if self.dict_mode:
            assert s._bounds() is None
        else:
            assert s._stats()[0] == len(self.d)
            ks = list(self.d)
            want = (min(k[0] for k in ks), max(k[0] for k in ks),
                    min(k[1] for k in ks), max(k[1] for k in ks)) if ks else None
            assert s._bounds() == want


def op_get(model, key, default):
    s, d = model.store, model.d
    want = outcome(lambda: d.get(key, default))
    got = outcome(lambda: s.get(key, default))
    if want[0] == "ok" and want[1] is not default:
        assert got[0] == "ok"
        model.seen(real_key(d, key), got[1])
    else:
        assert got == want


def op_getitem(model, key):
    s, d = model.store, model.d
    want = outcome(lambda: d[key])
    got = outcome(lambda: s[key])
    if want[0] == "ok":
        assert got[0] == "ok"
        model.seen(real_key(d, key), got[1])
    else:
        assert got == want


def op_set(model, key, value):
    s, d = model.store, model.d
    if not model.dict_mode and not is_exact(key):
        try:
            hash(key)
        except Exception:  # noqa: BLE001
            pass
        else:
            eq = py_equivalent(key)
            if eq is None or eq not in d:
                model.dict_mode = True
    want = outcome(lambda: d.__setitem__(key, value))
    assert outcome(lambda: s.__setitem__(key, value)) == want


def op_del(model, key):
    assert outcome(lambda: model.store.__delitem__(key)) == outcome(lambda: model.d.__delitem__(key))


def op_contains(model, key):
    assert outcome(lambda: key in model.store) == outcome(lambda: key in model.d)


def op_popitem(model):
    want = outcome(model.d.popitem)
    got = outcome(model.store.popitem)
    if want[0] == "ok":
        key, entry = want[1]
        assert got[0] == "ok" and repr(got[1][0]) == repr(key)
        model.d[key] = entry  # checked by seen(), then dropped again
        model.seen(key, got[1][1])
        del model.d[key]
    else:
        assert got == want


def op_clear(model):
    model.store.clear()
    model.d.clear()
    model.dict_mode = False


def op_row(model, row, min_col, max_col, values_only):
    got = model.store._row(row, min_col, max_col, values_only)
    created = False
    expect = []
    for col in range(min_col, max_col + 1):
        key = (row, col)
        if key not in model.d:
            model.d[key] = ("lazy", None, "n")
            created = True
        expect.append(key)
    assert got[1] is created and len(got[0]) == len(expect)
    for key, item in zip(expect, got[0]):
        real = real_key(model.d, key)
        if values_only:
            assert item == model.value_of(real)
        else:
            model.seen(real, item)


def op_iterate(model, steps, mutate, key, value):
    """Part of an iteration, one change, then the next step of both iterators."""
    it_s, it_d = iter(model.store), iter(model.d)
    for _ in range(steps):
        a, b = next(it_s, None), next(it_d, None)
        assert repr(a) == repr(b)
        if b is None:
            return
    size = len(model.d)
    if mutate == "set":
        op_set(model, key, value)
    elif mutate == "del":
        op_del(model, key)
    if len(model.d) == size and mutate != "none":
        return  # a change of keys that keeps the size is reported differently by a dict
    assert outcome(lambda: repr(next(it_s, None))) == outcome(lambda: repr(next(it_d, None)))


def loaded_store(rows_xml):
    store = m.CellStore()
    data = f'<worksheet xmlns="{MAIN}"><sheetData>{rows_xml}</sheetData></worksheet>'.encode()
    m.bind_cells(io.BytesIO(data), make_parser(shared_strings=["a", "b"]), "ws", store, STYLES,
                 Cell, make_helpers(), [])
    lazy = {}
    # The expected contents, read from a second load of the same sheet.
    twin = m.CellStore()
    m.bind_cells(io.BytesIO(data), make_parser(shared_strings=["a", "b"]), "ws", twin, STYLES,
                 Cell, make_helpers(), [])
    for k in twin:
        lazy[k] = ("lazy", twin[k].value, twin[k].data_type)
    return store, lazy


SHEETS = [
    "",
    '<row r="1"><c r="A1"><v>1</v></c><c r="C1" t="s"><v>1</v></c></row>'
    '<row r="3"><c r="B3"><f>A1*2</f></c><c r="D3" t="str"><v>t</v></c><c r="E3"/></row>'
    '<row r="2"><c r="A2" t="b"><v>1</v></c><c r="B2"><v>2.5</v></c></row>'
    '<row r="4"><c r="A4"><v>7</v></c><c r="A4"><v>8</v></c></row>',
    "".join(f'<row r="{r}">' + "".join(f'<c r="{"ABCDE"[c]}{r}"><v>{r * 10 + c}</v></c>'
                                       for c in range(5)) + "</row>" for r in range(1, 6)),
]


@given(st.sampled_from(range(len(SHEETS))), st.data())
def test_random_walk_matches_a_dict(sheet, data):
    store, lazy = loaded_store(SHEETS[sheet])
    model = Model(store, lazy)
    model.check_invariants()
    n = 0
    for _ in range(data.draw(st.integers(1, 40), label="steps")):
        op = data.draw(st.sampled_from(["get", "getitem", "set", "set", "set", "del", "in",
                                        "popitem", "row", "iterate", "clear"]), label="op")
        if op == "get":
            op_get(model, data.draw(keys), data.draw(st.sampled_from([None, "d"])))
        elif op == "getitem":
            op_getitem(model, data.draw(keys))
        elif op == "set":
            n += 1
            op_set(model, data.draw(keys), V(n))
        elif op == "del":
            op_del(model, data.draw(keys))
        elif op == "in":
            op_contains(model, data.draw(keys))
        elif op == "popitem":
            op_popitem(model)
        elif op == "row":
            lo = data.draw(small)
            op_row(model, data.draw(small), lo, max(0, lo + data.draw(st.integers(-1, 3))),
                   data.draw(st.booleans()))
        elif op == "iterate":
            n += 1
            op_iterate(model, data.draw(st.integers(0, 4)),
                       data.draw(st.sampled_from(["set", "del", "none"])), data.draw(keys), V(n))
        else:
            if data.draw(st.integers(0, 3)) == 0:
                op_clear(model)
        model.check_invariants()


def test_switch_to_dict_mode_keeps_cells_and_key_objects():
    store, lazy = loaded_store(SHEETS[1])
    before = {k: store[k] for k in list(store)[:2]}
    store[(1.0, 1)] = "replaced"  # an equivalent key of a present cell: still compact
    assert not store._in_dict_mode() and store[(1, 1)] == "replaced"
    key = (1.0, 9)
    store[key] = "new"
    assert store._in_dict_mode() and list(store)[-1] is key
    assert [store[k] for k in list(before)[1:]] == list(before.values())[1:]
    assert store[(2, 2)].value == 2.5 and store[(3, 2)].value == "=A1*2"
    assert store._bounds() is None
    store.clear()
    assert not store._in_dict_mode() and len(store) == 0
    store[(5, 5)] = "back"
    assert list(store) == [(5, 5)] and store._bounds() == (5, 5, 5, 5)


@pytest.mark.parametrize("key", [(0, 1), (1, 0), (LIMIT, LIMIT)])
def test_row_or_column_zero_and_the_largest_are_ordinary_keys(key):
    store = m.CellStore()
    store[key] = "x"
    assert not store._in_dict_mode() and store[key] == "x" and list(store) == [key]


def test_deleted_key_set_again_goes_last_and_compaction_keeps_order():
    store, _ = loaded_store(SHEETS[2])
    del store[(2, 3)]
    store[(2, 3)] = "again"
    assert list(store)[-1] == (2, 3)
    for k in range(1500):
        store[(100 + k, 1)] = k
    for k in range(0, 1500, 3):
        del store[(100 + k, 1)]
    for k in range(1, 1500, 3):
        del store[(100 + k, 1)]
    expected = [(100 + k, 1) for k in range(2, 1500, 3)]
    assert list(store)[-len(expected):] == expected
    assert all(store[key] == key[0] - 100 for key in expected)
    assert len(store) == 25 + len(expected)


def test_row_creates_missing_cells_once():
    store, _ = loaded_store('<row r="5"><c r="B5" s="2"><v>1</v></c></row>')
    cells, created = store._row(5, 1, 3, False)
    assert created is True and [c.column for c in cells] == [1, 2, 3]
    assert cells[0]._style is None and cells[0].data_type == "n" and cells[0].value is None
    assert cells[1]._style == STYLES[2] and cells[1].parent == "ws"
    again, created = store._row(5, 1, 3, False)
    assert created is False and all(a is b for a, b in zip(cells, again))
    assert store._row(5, 3, 2, False) == ((), False)
    assert store._row(5, 1, 4, True) == ((None, 1, None, None), True)


@pytest.mark.parametrize("args,error", [
    ((-1, 1, 1, False), OverflowError), ((LIMIT + 1, 1, 1, False), OverflowError),
    ((1, -1, 1, False), OverflowError), ((1, 1, 2**70, False), OverflowError),
    ((1.0, 1, 1, False), TypeError), ((1, 1, 1, 1), TypeError), ((1, 1, 1), TypeError),
])
def test_row_argument_errors_leave_the_store_alone(args, error):
    store, _ = loaded_store(SHEETS[1])
    before = store._stats()
    with pytest.raises(error):
        store._row(*args)
    assert store._stats() == before


def test_row_needs_a_loaded_cell_class_to_create_cells():
    store = m.CellStore()
    store[(1, 1)] = V(1)
    assert store._row(1, 1, 1, True) == ((1,), False)
    with pytest.raises(m.NativeFallback, match="unsupported: no cell class"):
        store._row(1, 1, 2, False)
    assert list(store) == [(1, 1)]


@pytest.mark.parametrize("mode", ["compact", "dict"])
def test_attach_gives_row_iteration_its_sheet_and_cell_class_and_keeps_the_cells(mode):
    store = m.CellStore()
    store[(1, 1)] = V(1)
    if mode == "dict":
        store["odd"] = V(2)
    store._attach("sheet", Cell)
    cells, created = store._row(1, 1, 2, False)
    assert created is True and cells[0].value == 1
    assert (cells[1].parent, cells[1].row, cells[1].column, cells[1].data_type) == ("sheet", 1, 2, "n")
    assert cells[1]._style is None and cells[1].value is None and store[(1, 2)] is cells[1]
    assert len(store) == (3 if mode == "dict" else 2)


@pytest.mark.parametrize("args,error", [
    (("ws", 1), TypeError("CellStore._attach() argument 'cell_cls' must be a type, not int")),
    (("ws",), TypeError("CellStore._attach() missing 1 required positional argument: 'cell_cls'")),
    (("ws", object), AttributeError("type object 'object' has no attribute 'parent'")),
])
def test_attach_refuses_what_is_no_cell_class(args, error):
    store = m.CellStore()
    with pytest.raises(type(error), match=re.escape(str(error))):
        store._attach(*args)
    with pytest.raises(m.NativeFallback, match="no cell class"):
        store._row(1, 1, 1, False)


def test_row_in_dict_mode_works_on_the_dict():
    store, _ = loaded_store(SHEETS[1])
    store["odd"] = 1
    cells, created = store._row(1, 1, 2, False)
    assert created is True and cells[0].value == 1 and store[(1, 2)] is cells[1]
    assert store._row(1, 1, 2, True) == ((1, None), False)


def test_iterator_finishes_for_good():
    store = m.CellStore()
    store[(1, 1)] = 1
    it = iter(store)
    assert list(it) == [(1, 1)]
    store[(2, 2)] = 2
    assert list(it) == []
    it = iter(store)
    next(it)
    store[(1, 1)] = "replaced"  # a new value for a key is no change of keys
    assert list(it) == [(2, 2)]
    it = iter(store)
    del store[(1, 1)]
    store[(3, 3)] = 3
    with pytest.raises(RuntimeError, match="dictionary keys changed during iteration"):
        next(it)
