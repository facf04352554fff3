"""Options travel with the workbook: given to `load_workbook`/`Workbook` or taken from
the context when the workbook is made, kept for its later reads and saves, private to
the context (thread, block) that set them, and checked when they are made."""

import contextvars
import dataclasses
import io
import threading

import pytest

import brindle
from brindle.utils import deflate
from brindle.writer import sheet as sheet_writer


def inflating_threads():
    return [t for t in threading.enumerate() if t.name.startswith("brindle inflate")]


def workbook_bytes(rows=3000, sheets=1):
    wb = brindle.Workbook(write_only=True)
    for s in range(sheets):
        ws = wb.create_sheet(f"S{s}")
        for r in range(rows):
            ws.append([r, f"text {r}", r * 0.5])
    out = io.BytesIO()
    wb.save(out)
    return out.getvalue()


AHEAD = brindle.Options(read_ahead=True, read_ahead_min=0, block_size=4096)


def test_two_workbooks_open_at_once_read_each_their_own_way():
    data = workbook_bytes()
    with brindle.load_workbook(io.BytesIO(data), read_only=True, options=AHEAD) as ahead, \
            brindle.load_workbook(io.BytesIO(data), read_only=True,
                                  options=brindle.Options(read_ahead=False)) as inline:
        rows_ahead = ahead["S0"].iter_rows(values_only=True)
        rows_inline = inline["S0"].iter_rows(values_only=True)
        assert next(rows_ahead) == next(rows_inline) == (0, "text 0", 0.0)
        # One member streams through a thread of its own, the other does not.
        assert len(inflating_threads()) == 1
        assert list(rows_ahead) == list(rows_inline)
        del rows_ahead, rows_inline
    assert not inflating_threads()


def test_a_workbook_keeps_the_options_of_the_block_that_opened_it():
    data = workbook_bytes()
    with brindle.options(AHEAD):
        wb = brindle.load_workbook(io.BytesIO(data), read_only=True)
    # The rows are read after the block: still ahead, as the workbook was opened.
    assert brindle.current_options() == brindle.Options()
    with wb:
        rows = wb["S0"].iter_rows(values_only=True)
        next(rows)
        assert len(inflating_threads()) == 1
        del rows
    assert wb.options is AHEAD


@pytest.mark.parametrize("read_only", [False, True])
def test_load_workbook_hands_its_options_to_the_workbook(read_only):
    chosen = brindle.Options(parallel_write=False, deflate_backend="zlib")
    wb = brindle.load_workbook(io.BytesIO(workbook_bytes(10)), read_only=read_only,
                               options=chosen)
    assert wb.options is chosen
    wb.close() if read_only else None


def test_a_save_uses_the_workbook_options_not_those_in_effect(monkeypatch):
    jobs = []
    real = sheet_writer._Job

    def counted(work, data):
        jobs.append(len(data))
        return real(work, data)

    monkeypatch.setattr(sheet_writer, "_Job", counted)
    with brindle.options(deflate_thread=False):
        quiet = brindle.Workbook()
    busy = brindle.Workbook()
    for wb in (quiet, busy):
        for r in range(1, 200):
            wb.active.append([r, f"t{r}"])
    with brindle.options(deflate_thread=True):
        quiet.save(io.BytesIO())
    assert jobs == []
    with brindle.options(deflate_thread=False):
        busy.save(io.BytesIO())
    assert jobs


def test_threads_and_blocks_each_see_their_own_options():
    barrier = threading.Barrier(2)
    seen = {}

    def worker(name, value):
        with brindle.options(parallel_sheets=value, block_size=1000 + value):
            barrier.wait()  # both have set theirs before either looks
            seen[name] = brindle.current_options()
            barrier.wait()

    threads = [threading.Thread(target=contextvars.Context().run, args=(worker, n, v))
               for n, v in (("a", True), ("b", False))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert seen["a"] == brindle.Options(parallel_sheets=True, block_size=1001)
    assert seen["b"] == brindle.Options(parallel_sheets=False, block_size=1000)
    assert brindle.current_options() == brindle.Options()


def test_blocks_nest_and_unwind_on_errors():
    with pytest.raises(RuntimeError):
        with brindle.options(read_ahead=True) as outer:
            with brindle.options(block_size=8192) as inner:
                assert inner == dataclasses.replace(outer, block_size=8192)
                raise RuntimeError
    assert brindle.current_options() == brindle.Options()


def test_the_fixture_composes_and_undoes(brindle_options):
    brindle_options(read_ahead=True)
    got = brindle_options(block_size=10)
    assert got == brindle.Options(read_ahead=True, block_size=10) == brindle.current_options()


@pytest.mark.parametrize("fields, error", [
    ({"read_ahead": 1}, TypeError), ({"parallel_sheets": "yes"}, TypeError),
    ({"parallel_write": 0}, TypeError), ({"deflate_thread": None}, TypeError),
    ({"block_size": 0}, ValueError), ({"block_size": 1.5}, ValueError),
    ({"block_size": True}, ValueError), ({"read_ahead_min": -1}, ValueError),
    ({"deflate_backend": "zopfli"}, ValueError),
])
def test_bad_options_are_refused_when_made(fields, error):
    with pytest.raises(error):
        brindle.Options(**fields)
    with pytest.raises(error), brindle.options(**fields):
        pass
    assert brindle.current_options() == brindle.Options()


@pytest.mark.parametrize("make", [
    lambda o: brindle.Workbook(options=o),
    lambda o: brindle.load_workbook(io.BytesIO(workbook_bytes(2)), options=o),
])
def test_options_must_be_options(make):
    with pytest.raises(TypeError, match="brindle.Options"):
        make({"read_ahead": True})


def test_options_are_frozen():
    with pytest.raises(dataclasses.FrozenInstanceError):
        brindle.Options().read_ahead = True


@pytest.mark.parametrize("gil, expected", [(True, False), (False, True)])
def test_unset_choices_follow_the_interpreter(monkeypatch, gil, expected):
    import sys

    monkeypatch.setattr(sys, "_is_gil_enabled", lambda: gil)
    o = brindle.Options()
    assert (o.reads_ahead(), o.loads_in_parallel(), o.writes_in_parallel()) == (expected,) * 3
    forced = brindle.Options(read_ahead=not expected, parallel_sheets=not expected,
                             parallel_write=not expected)
    assert (forced.reads_ahead(), forced.loads_in_parallel(),
            forced.writes_in_parallel()) == (not expected,) * 3


@pytest.mark.parametrize("backend", deflate.available())
def test_each_deflate_library_writes_what_the_other_reads(backend):
    data = io.BytesIO()
    wb = brindle.Workbook(options=brindle.Options(deflate_backend=backend))
    wb.active.append(["x", 1])
    wb.save(data)
    for other in deflate.available():
        back = brindle.load_workbook(io.BytesIO(data.getvalue()),
                                     options=brindle.Options(deflate_backend=other))
        assert [list(r) for r in back.active.iter_rows(values_only=True)] == [["x", 1]]
