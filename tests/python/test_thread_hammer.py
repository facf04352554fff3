"""Eight threads behind a barrier on each class of the engine, checking what
comes out: a shared reader gives every row once and in order, a shared writer
writes every row once and whole, a shared key iterator yields every key once,
and readers and writers of their own in every thread give the one-thread
results. A thread that finds the object held gets "Already borrowed" and
tries again; nothing else may go wrong."""

import io
import threading
import time

import brindle
from brindle import _brindle as m
import sheetgen as gen
from testkit import Cell, make_helpers, make_parser
from brindle.styles.cell_style import StyleArray
from brindle.writer.cell import make_writer_helpers

THREADS = 8
MAIN = gen.MAIN


class Yielding(io.RawIOBase):
    """Small reads with a pause in each, so that threads meet inside the engine."""

    def __init__(self, data):
        self._src = io.BytesIO(data)

    def readable(self):
        return True

    def readinto(self, buf):
        time.sleep(0.0001)
        return self._src.readinto(memoryview(buf)[:512])


def hammer(work):
    """Runs work(t) in eight threads released at once; their results, by thread."""
    barrier = threading.Barrier(THREADS)
    results, failures = [None] * THREADS, []

    def run(t):
        barrier.wait()
        try:
            results[t] = work(t)
        except BaseException as e:  # noqa: BLE001 - reported below
            failures.append(repr(e))

    threads = [threading.Thread(target=run, args=(t,)) for t in range(THREADS)]
    for th in threads:
        th.start()
    for th in threads:
        th.join()
    assert failures == []
    return results


def retrying(call, contended):
    while True:
        try:
            return call()
        except RuntimeError as e:
            assert str(e) == "Already borrowed"
            contended.append(1)


def sheet_bytes(n_rows=400, seed=0):
    rows, strings = gen.random_sheet(seed, n_rows=n_rows, n_cols=6)
    return gen.render(rows), strings


def read_all(reader):
    out = []
    while (row := reader.next_raw()) is not None:
        out.append(row)
    return out


def test_one_row_reader_shared_by_eight_threads():
    data, strings = sheet_bytes()
    want = read_all(m.RowReader(io.BytesIO(data), make_parser(shared_strings=strings),
                                make_helpers()))
    reader = m.RowReader(Yielding(data), make_parser(shared_strings=strings), make_helpers())
    contended = []

    def work(_t):
        mine = []
        while (row := retrying(reader.next_raw, contended)) is not None:
            mine.append(row)
        return mine

    shares = hammer(work)
    # Every row exactly once, and each thread's rows in document order.
    place = {repr(row): n for n, row in enumerate(want)}
    assert sorted(place[repr(row)] for share in shares for row in share) == list(range(len(want)))
    for share in shares:
        assert [place[repr(row)] for row in share] == sorted(place[repr(row)] for row in share)
    assert contended  # the threads did meet


def test_one_sheet_writer_shared_by_eight_threads():
    ws = brindle.Workbook(write_only=True).create_sheet()
    out = []

    def write(text):
        time.sleep(0.005)  # other threads find the writer held meanwhile
        out.append(text)

    writer = m.SheetWriter(ws, write, False, make_writer_helpers(False))
    contended = []
    big = "y" * 20000  # rows that fill the buffer, so that writes happen while others wait

    def row_cells(r):
        return [Cell(ws, r, 1, r), Cell(ws, r, 2, f"t{r}"), Cell(ws, r, 3, big if r % 3 == 0 else 1.5)]

    def work(t):
        for i in range(60):
            r = t * 1000 + i + 1
            retrying(lambda: writer.write_row(row_cells(r), r), contended)

    hammer(work)
    writer.flush()
    text = "".join(out)
    rows = text.split("</row>")
    assert rows[-1] == ""
    rows = [row + "</row>" for row in rows[:-1]]
    assert len(rows) == THREADS * 60

    # Each row whole and as a writer of its own writes it.
    def alone(r):
        one = []
        w = m.SheetWriter(ws, one.append, False, make_writer_helpers(False))
        w.write_row(row_cells(r), r)
        w.flush()
        return "".join(one)

    want = sorted(alone(t * 1000 + i + 1) for t in range(THREADS) for i in range(60))
    assert sorted(rows) == want
    assert contended


def test_one_key_iterator_shared_by_eight_threads():
    store = m.CellStore()
    keys = [(r, c) for r in range(1, 301) for c in range(1, 6)]
    for k in keys:
        store[k] = k[0] * 10 + k[1]
    it = iter(store)
    contended = []

    def work(_t):
        mine = []
        while True:
            try:
                mine.append(retrying(lambda: next(it), contended))
            except StopIteration:
                return mine

    shares = hammer(work)
    got = [k for share in shares for k in share]
    assert sorted(got) == sorted(keys) and len(got) == len(set(got))
    # Each thread's keys in the store's order.
    order = {k: n for n, k in enumerate(store)}
    for share in shares:
        assert [order[k] for k in share] == sorted(order[k] for k in share)


def test_own_objects_in_every_thread_give_the_one_thread_results():
    sheets = [sheet_bytes(120, seed) for seed in range(THREADS)]
    sst = (f'<sst xmlns="{MAIN}">' + "".join(f"<si><t>s{k}</t></si>" for k in range(300))
           + "</sst>").encode()
    styles = [StyleArray([k] * 9) for k in range(8)]

    def everything(t):
        data, strings = sheets[t]
        out = {"sst": m.read_string_table(io.BytesIO(sst), make_helpers()),
               "dimension": m.find_dimension(io.BytesIO(data)),
               "prescan": m.prescan_sheet(io.BytesIO(data), True, [(1, 1), (2, 3)], make_helpers()),
               "rows": read_all(m.RowReader(io.BytesIO(data), make_parser(shared_strings=strings),
                                            make_helpers()))}
        store = m.CellStore()
        m.bind_cells(io.BytesIO(data), make_parser(shared_strings=strings), "ws", store, styles,
                     Cell, make_helpers(), [])
        out["store"] = [(k, store[k].value, store[k].data_type) for k in store]
        ws = brindle.Workbook(write_only=True).create_sheet()
        written = []
        w = m.SheetWriter(ws, written.append, False, make_writer_helpers(False))
        for idx, cells in out["rows"]:
            w.write_row([Cell(ws, row, col, value) for row, col, value, _dt, _s in cells], idx)
        w.flush()
        out["written"] = "".join(written)
        return out

    want = [everything(t) for t in range(THREADS)]
    for _ in range(2):
        assert hammer(everything) == want
