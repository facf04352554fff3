"""load_workbook from end to end: the native row reader first, the pure-Python one after a
refusal, and the same rows, values and warnings either way."""

import io
import random
import warnings

import pytest
from hypothesis import given, settings, strategies as st

import brindle
from brindle._native import native_engine
import sheetgen as gen
from sheetgen import package, refuse_at
from brindle.reader import workbook as wb_mod
from brindle.reader.rows import EMPTY_CELL

engine = native_engine()
# For tests that compare the engine with pure Python: on a pure-Python
# install there is nothing to compare; under CI a skip fails the run.
needs_engine = pytest.mark.skipif(engine is None, reason="engine not built")



class Forbidden:
    """Stands in for the pure-Python reader where the native one must do all the work."""

    def __init__(self, *args, **kwargs):
        raise AssertionError("the pure-Python reader was used")


class Counting:
    """The native reader, counting the rows it gave."""
    given = 0

    def __init__(self, *args, **kwargs):
        self._reader = engine.RowReader(*args, **kwargs)

    @property
    def actions(self):
        return self._reader.actions

    def next_row(self, *args):
        item = self._reader.next_row(*args)
        if item is not None:
            Counting.given += 1
        return item


def shape(rows):
    return [tuple(c if c is None or c is EMPTY_CELL or not hasattr(c, "data_type")
                  else (c.coordinate, c.value, c.data_type, c.style_id) for c in row)
            for row in rows]


def read(data, bounds=(None, None, None, None), values_only=False, **kw):
    """(rows, [(category, message)]) of the sheet read through load_workbook."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        with brindle.load_workbook(io.BytesIO(data), read_only=True, **kw) as wb:
            rows = shape(wb["S"].iter_rows(*bounds, values_only=values_only))
    return rows, [(w.category, str(w.message)) for w in caught]


def read_pure(data, monkeypatch, **kw):
    with monkeypatch.context() as m:
        m.setenv("BRINDLE_NO_NATIVE", "1")
        return read(data, **kw)


@needs_engine
@settings(max_examples=40)
@given(seed=st.integers(0, 2**32), prefix=st.sampled_from(["", "x"]),
       newline=st.sampled_from(["", "\n  "]), date1904=st.booleans(),
       data_only=st.booleans(), values_only=st.booleans(),
       bounds=st.tuples(st.none() | st.integers(1, 30), st.none() | st.integers(1, 60),
                        st.none() | st.integers(1, 4), st.none() | st.integers(1, 9)),
       refuse=st.none() | st.integers(0, 200))
def test_native_and_pure_agree(seed, prefix, newline, date1904, data_only, values_only,
                               bounds, refuse):
    epoch = gen.MAC_EPOCH if date1904 else gen.WINDOWS_EPOCH
    rows, strings = gen.random_sheet(seed, epoch=epoch)
    sheet = gen.render(rows, gen.Syntax(prefix=prefix, newline=newline,
                                        shuffle=random.Random(seed)))
    if refuse is not None:
        sheet = refuse_at(sheet, refuse)
    data = package(sheet, strings, date1904)
    kw = dict(bounds=bounds, values_only=values_only, data_only=data_only)
    with pytest.MonkeyPatch.context() as m:
        if refuse is None:
            m.setattr(wb_mod, "RowReader", Forbidden)
        native = read(data, **kw)
    with pytest.MonkeyPatch.context() as m:
        assert native == read_pure(data, m, **kw)


@needs_engine
@pytest.mark.parametrize("values_only", [True, False])
def test_refusal_mid_sheet_neither_loses_nor_repeats_rows(values_only, monkeypatch):
    # Enough rows that the native reader has given many before it meets the
    # refused cell; dates before the epoch warn on both sides of it, and in
    # the rows it had parsed ahead but not given.
    rows = []
    for r in range(1, 6001):
        cells = [(1, gen.number_cell(r)), (2, gen.Cell(t="s", v=str(r % 3)))]
        if r % 50 == 0:
            cells.append((3, gen.Cell(s="1", v="-700000")))
        rows.append(gen.Row(r, cells))
    sheet = gen.render(rows)
    data = package(refuse_at(sheet, 2 * 4500), ["a", "b", "c"])
    Counting.given = 0
    monkeypatch.setattr(wb_mod, "_native_reader", lambda: (Counting, engine.NativeFallback))
    got, warned = read(data, values_only=values_only)
    assert 0 < Counting.given < 4500
    want, want_warned = read_pure(data, monkeypatch, values_only=values_only)
    assert got == want and warned == want_warned
    firsts = [row[0] if values_only else row[0][1] for row in got]
    assert firsts == list(range(1, 6001))
    assert [(cat, msg.split()[1]) for cat, msg in warned] == [
        (UserWarning, f"C{r}") for r in range(50, 6001, 50)]


def test_environment_switch_keeps_the_engine_out(monkeypatch):
    sheet = gen.render([gen.Row(1, [(1, gen.number_cell(5))])])
    data = package(sheet)
    monkeypatch.setenv("BRINDLE_NO_NATIVE", "1")
    if engine is not None:
        monkeypatch.setattr(engine, "RowReader", Forbidden)
    assert read(data, values_only=True)[0] == [(5,)]
