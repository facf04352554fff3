"""The native SheetWriter.

Its output is held to the pure-Python writer of the host layer (which is
itself held to the ElementTree and lxml serialisers): same bytes, same
pieces handed to `write`, same exceptions, on generated sheets. A minimal
stand-in host covers what needs odd host objects: delegation, style ids,
helper results, construction, re-entry and threads.
"""

import array
import datetime as dt
import decimal
import gc
import hashlib
import io
import operator
import re
import sys
import zipfile

import pytest
from hypothesis import given, strategies as st

import brindle
import brindle._brindle as m
from brindle.writer.cell import make_writer_helpers
from pure_sheet_writer import SheetWriter as PySheetWriter
from writer_cases import (
    ITEMS, RAW_CELLS, RAW_DIMS, ROW_DIMS, CellSpec, FloatSub, IntSub, StrSub, outcome, raw_cell,
)

# -- the stand-in host ---------------------------------------------------------

class StyleArray(array.array):
    def __new__(cls, values=(0,) * 9):
        return super().__new__(cls, "i", values)


class StyleList:
    """workbook._cell_styles: add() gives an array's index, adding it once."""

    def __init__(self):
        self.items = []
        self.added = []

    def add(self, style):
        self.added.append(style)
        key = tuple(style)
        if key not in self.items:
            self.items.append(key)
        return self.items.index(key)


class Workbook:
    def __init__(self, epoch=dt.datetime(1899, 12, 30), iso_dates=False):
        self._cell_styles = StyleList()
        self.epoch = epoch
        self.iso_dates = iso_dates


class Worksheet:
    def __init__(self, wb=None):
        self.parent = wb or Workbook()
        self._hyperlinks = []
        self.row_dimensions = {}


class Cell:
    def __init__(self, row, column, value=None, data_type="n", style=None, comment=None,
                 hyperlink=None):
        self.row = row
        self.column = column
        self._value = value
        self.data_type = data_type
        self._style = StyleArray() if style is None else style
        self._comment = comment
        self.hyperlink = hyperlink


class Host:
    """The helpers dict, with a record of the calls the writer makes."""

    def __init__(self, lxml=False, ws=None):
        self.lxml = lxml
        self.ws = ws or Worksheet()
        self.out = []
        self.calls = []
        self.date_result = None
        self.helpers = {
            "StyleArray": StyleArray,
            "add_comment": self.add_comment,
            "write_cell": self.write_cell,
            "date_value": self.date_value,
            "date_value_raw": self.date_value_raw,
            "safe_string": str,
        }

    def add_comment(self, ws, cell):
        assert ws is self.ws
        self.calls.append(("add_comment", cell))

    def write_cell(self, ws, cell, styled):
        assert ws is self.ws and type(styled) is bool
        self.calls.append(("write_cell", cell, styled))
        text = f"<fallback n=\"{len(self.calls)}\"/>"
        return text.encode() if self.lxml else text

    def date_value(self, ws, cell):
        self.calls.append(("date_value", cell))
        return self.date_result

    def date_value_raw(self, ws, value):
        raise AssertionError("not used by write_row")

    def writer(self, write=None):
        return m.SheetWriter(self.ws, write or self.out.append, self.lxml, self.helpers)

    def text(self):
        joined = b"".join(self.out) if self.lxml else "".join(self.out)
        return joined.decode() if self.lxml else joined

    def fallbacks(self):
        return [c for c in self.calls if c[0] == "write_cell"]


def write_one_row(host, cells, row=1):
    w = host.writer()
    w.write_row(cells, row)
    w.flush()
    text = host.text()
    prefix = f'<row r="{row}">'
    assert text.startswith(prefix) and text.endswith("</row>")
    return text[len(prefix):-len("</row>")]


MODES = pytest.mark.parametrize("lxml", [False, True], ids=["etree", "lxml"])

# -- the real host: the native writer against the pure-Python one --------------
#
# Both sides get the host's own cells, styles and helpers; whatever the
# native writer does not write itself it must hand to the host, so the bytes,
# the pieces handed to `write`, the exceptions and what the cells record
# (links, comments, styles) must all be the same.

def saved_write_only(rows, dims, lxml, iso, date1904, native):
    wb = brindle.Workbook(write_only=True, lxml=lxml, iso_dates=iso, native=native)
    wb.date1904 = date1904
    ws = wb.create_sheet("S")
    for r, (height, hidden, level) in dims.items():
        dim = ws.row_dimensions[r]
        dim.height, dim.hidden, dim.outline_level = height, hidden, level
    outcomes = []
    for row in rows:
        try:
            ws.append([item.build(ws) if isinstance(item, CellSpec) else item for item in row])
            outcomes.append(None)
        except Exception as exc:  # noqa: BLE001 - compared between the two paths
            outcomes.append(outcome(exc))
    assert ws._finish() is not None and ws._stream.is_native is native
    out = io.BytesIO()
    try:
        wb.save(out)
    except Exception as exc:  # noqa: BLE001
        return outcomes, outcome(exc)
    z = zipfile.ZipFile(out)
    return outcomes, {name: z.read(name) for name in z.namelist()}


@given(rows=st.lists(st.lists(ITEMS, max_size=6), max_size=6), dims=ROW_DIMS,
       lxml=st.booleans(), iso=st.booleans(), date1904=st.booleans())
def test_write_only_workbooks_save_the_same_files(rows, dims, lxml, iso, date1904):
    native = saved_write_only(rows, dims, lxml, iso, date1904, native=True)
    pure = saved_write_only(rows, dims, lxml, iso, date1904, native=False)
    assert native == pure


def sheet_writer_run(cls, rows, dims, lxml, iso, date1904, failing_write):
    wb = brindle.Workbook(lxml=lxml, iso_dates=iso)
    wb.date1904 = date1904
    ws = wb.active
    dict.update(ws.row_dimensions, dims)
    calls = []

    def write(text):
        calls.append(text)
        if failing_write and len(calls) == 1:
            raise OSError("disk full")

    writer = cls(ws, write, lxml, make_writer_helpers(lxml))
    log = []
    for r, row in enumerate(rows, 1):
        try:
            writer.write_row([raw_cell(ws, desc) for desc in row], r)
            log.append(None)
        except Exception as exc:  # noqa: BLE001 - compared between the writers
            log.append(outcome(exc))
    for _ in range(2):
        try:
            writer.flush()
            log.append(None)
        except OSError as exc:
            log.append(outcome(exc))
    links = [(link.ref, link.target) for link in ws._hyperlinks]
    comments = [(ref, getattr(c, "text", c)) for ref, c in ws._comments]
    return calls, log, links, comments, list(wb._cell_styles)


@given(rows=st.lists(st.lists(RAW_CELLS, max_size=4), max_size=4), dims=RAW_DIMS,
       lxml=st.booleans(), iso=st.booleans(), date1904=st.booleans(),
       failing_write=st.booleans())
def test_sheet_writer_matches_the_pure_python_writer(rows, dims, lxml, iso, date1904,
                                                     failing_write):
    args = rows, dims, lxml, iso, date1904, failing_write
    assert sheet_writer_run(m.SheetWriter, *args) == sheet_writer_run(PySheetWriter, *args)


class FlakyFile:
    """A file whose next write fails once `arm()` has been called."""

    def __init__(self, f):
        self.f, self.armed = f, False

    def arm(self):
        self.armed = True

    def write(self, data):
        if self.armed:
            self.armed = False
            raise OSError("disk full")
        return self.f.write(data)

    def __getattr__(self, name):
        return getattr(self.f, name)


def many_rows(lxml, native, arm_at=None, skip=None, n_rows=12000):
    """A write-only sheet of several MiB; with `arm_at`, a write of the
    deflated data fails once after that row. Returns the sheet XML and the
    row whose append failed (the failure is reported by the append that
    next hands text to the compressor)."""
    wb = brindle.Workbook(write_only=True, lxml=lxml, native=native)
    ws = wb.create_sheet("S")
    bold = brindle.Cell(ws, value="head")
    bold.font = brindle.Font(bold=True)
    ws.append([])
    flaky = ws._stream.sink.file = FlakyFile(ws._stream.sink.file)
    failed = None
    for r in range(n_rows):
        if r == arm_at:
            flaky.arm()
        if r == skip:
            continue
        try:
            ws.append([r, r / 7, f"text {r} é", dt.date(2024, 1, 1) + dt.timedelta(r),
                       bold if r % 100 == 0 else None, "=A1*2", "x" * (r % 300)])
        except OSError:
            failed = r
    out = io.BytesIO()
    wb.save(out)
    return zipfile.ZipFile(out).read("xl/worksheets/sheet1.xml"), failed


@MODES
def test_many_rows_and_a_failing_write(lxml):
    # Several threshold flushes; then a write fails once: the row being
    # appended is dropped whole and the sheet goes on without a gap.
    native, failed = many_rows(lxml, True, arm_at=3000)
    assert failed is not None and failed >= 3000
    pure, none = many_rows(lxml, False, skip=failed)
    assert none is None and native == pure and len(native) > 2 << 20
    rows = re.findall(rb'<row r="(\d+)"', native)
    assert rows == [str(i).encode() for i in range(1, len(rows) + 1)]

# -- what is written natively ------------------------------------------------------

@pytest.mark.parametrize("value,native", [
    (2**63, False), (-(2**63), True), (2**63 - 1, True), (10**30, False), (True, True),
    (1e300, True), (float("inf"), True), ("text", True), ("", True),
    (IntSub(3), False), (FloatSub(3.5), False), (StrSub("x"), False), (dt.datetime(2020, 1, 1), False),
    (decimal.Decimal("1.5"), False), ("\ud800", False), ("\x01", False), ("\ufffe", False),
    (b"bytes", False),
])
def test_values_the_writer_leaves_to_the_host(value, native):
    host = Host()
    write_one_row(host, [Cell(1, 1, value)])
    assert bool(host.fallbacks()) is not native


@MODES
@pytest.mark.parametrize("cell", [
    Cell(1, 18279, 1), Cell(1, 0, 1), Cell(True, 1, 1), Cell(1.0, 1, 1), Cell(2**64, 1, 1),
    Cell(1, 1, 1, data_type=None), Cell(1, 1, 1, data_type=StrSub("n")),
    Cell(1, 1, 1, data_type="\ud800"), Cell(1, 1, 1, data_type="\x1f"), Cell(1, 1, 5, "f"),
    Cell(1, 1, 5, "s"), Cell(1, 1, "\ud800", "s"),
], ids=lambda c: f"{c.row!r}-{c.column!r}-{c._value!r}-{c.data_type!r}")
def test_cells_delegated_whole(lxml, cell):
    host = Host(lxml)
    cell.hyperlink = "http://example.com"
    cell._style = StyleArray([1] + [0] * 8)
    a, b = Cell(1, 1, "a", "s"), Cell(1, 2, "b", "s")
    assert write_one_row(host, [a, cell, b]) == (
        '<c r="A1" t="inlineStr"><is><t>a</t></is></c><fallback n="1"/>'
        '<c r="B1" t="inlineStr"><is><t>b</t></is></c>')
    assert host.fallbacks() == [("write_cell", cell, True)]
    # Only cells written natively register their hyperlink.
    assert host.ws._hyperlinks == []


# -- comments, hyperlinks, styles, dates ----------------------------------------

def test_comment_and_skip_rule():
    host = Host()
    commented = Cell(1, 1, None, comment="note")
    falsy = Cell(1, 2, None, comment="")
    plain = Cell(1, 3, None)
    assert write_one_row(host, [commented, falsy, plain]) == '<c r="A1" t="n" />'
    assert host.calls == [("add_comment", commented), ("add_comment", falsy)]


def test_hyperlinks_are_registered_for_native_cells():
    host = Host()
    write_one_row(host, [Cell(1, 1, 1, hyperlink="h1"), Cell(1, 2, 2, hyperlink="")])
    assert host.ws._hyperlinks == ["h1"]


def test_style_ids_are_memoised_by_content():
    host = Host()
    styles = host.ws.parent._cell_styles
    a, b = StyleArray([0, 1, 0, 0, 0, 0, 0, 0, 2]), StyleArray([0, 1, 0, 0, 0, 0, 0, 0, 2])
    listed = [0, 3, 0, 0, 0, 0, 0, 0, 0]
    got = write_one_row(host, [Cell(1, 1, 1, style=a), Cell(1, 2, 1, style=b),
                               Cell(1, 3, 1, style=listed), Cell(1, 4, 1, style=listed)])
    assert [s for s in styles.added] == [a, listed, listed]
    assert re.findall(r's="(\d+)"', got) == ["0", "0", "1", "1"]


def test_style_add_failure_is_not_cached():
    host = Host()
    styles = host.ws.parent._cell_styles
    real_add = styles.add
    styles.add = lambda s: (_ for _ in ()).throw(KeyError("boom"))
    w = host.writer()
    style = StyleArray([5] * 9)
    with pytest.raises(KeyError):
        w.write_row([Cell(1, 1, 1, style=style)], 1)
    styles.add = real_add
    w.write_row([Cell(2, 1, 1, style=StyleArray([5] * 9))], 2)
    assert len(styles.added) == 1


@pytest.mark.parametrize("style,styled", [
    (StyleArray(), False), (StyleArray([0] * 8 + [1]), True), (StyleArray([]), False),
    (StyleArray([0, 0, 7]), True), ([0, 0], False), ([0, 1], True), ((), False),
    (array.array("h", [0] * 9), False), (array.array("h", [1] * 9), True),
])
def test_has_style(style, styled):
    host = Host()
    got = write_one_row(host, [Cell(1, 1, None, style=style)])
    assert (got != "") is styled


@pytest.mark.parametrize("result,want", [
    (("2020-01-01T00:00:00", True), '<c r="A1" t="d"><v>2020-01-01T00:00:00</v></c>'),
    ((43831.5, False), '<c r="A1" t="n"><v>43831.5</v></c>'),
    ((None, True), '<c r="A1" t="d" />'),
])
def test_date_cells(result, want):
    host = Host()
    host.date_result = result
    assert write_one_row(host, [Cell(1, 1, dt.datetime(2020, 1, 1), "d")]) == want


@pytest.mark.parametrize("result", [None, ("x",), ("x", 1), ["x", True], ("x", True, 1)])
def test_date_helper_result_must_be_value_and_flag(result):
    host = Host()
    host.date_result = result
    with pytest.raises(TypeError):
        host.writer().write_row([Cell(1, 1, dt.datetime(2020, 1, 1), "d")], 1)


# -- rows ------------------------------------------------------------------------

@MODES
def test_row_start_with_dimensions(lxml):
    host = Host(lxml)
    host.ws.row_dimensions = {7: {"ht": "15", "customHeight": "1"}, 8: {"spans": "1:2", "r": "x&"}}
    w = host.writer()
    w.write_row([], 7)
    w.write_row(iter([]), 8)
    w.write_row([], 9)
    w.flush()
    assert host.text() == ('<row r="7" ht="15" customHeight="1"></row>'
                           '<row r="x&amp;" spans="1:2"></row><row r="9"></row>')


def test_row_dimension_values_must_be_text():
    host = Host()
    host.ws.row_dimensions = {1: {"ht": 15}}
    w = host.writer()
    with pytest.raises(TypeError):
        w.write_row([], 1)
    w.flush()
    assert host.text() == '<row r="1"'


@pytest.mark.parametrize("row_idx,text", [(True, "1"), (5, "5"), (-3, "-3"),
                                          (type("I", (), {"__index__": lambda s: 12})(), "12")])
def test_row_index_conversion(row_idx, text):
    host = Host()
    w = host.writer()
    w.write_row([], row_idx)
    w.flush()
    assert host.text() == f'<row r="{text}"></row>'


def test_row_index_errors():
    w = Host().writer()
    with pytest.raises(TypeError, match="row_idx"):
        w.write_row([], "1")
    with pytest.raises(TypeError, match="row_idx"):
        w.write_row([], 1.0)
    with pytest.raises(OverflowError):
        w.write_row([], 2**64)


def test_cell_errors_leave_the_partial_row_buffered():
    class Broken(Cell):
        @property
        def data_type(self):
            raise LookupError("no type")

        @data_type.setter
        def data_type(self, value):
            pass

    host = Host()
    w = host.writer()
    with pytest.raises(LookupError, match="no type"):
        w.write_row([Cell(1, 1, 1), Broken(1, 2, 1)], 1)
    w.flush()
    assert host.text() == '<row r="1"><c r="A1" t="n"><v>1</v></c>'


# -- buffer, flush, write ----------------------------------------------------------

@MODES
def test_flush_hands_over_text_at_the_threshold(lxml):
    host = Host(lxml)
    w = host.writer()
    big = "x" * 60000
    n = 0
    while not host.out:
        w.write_row([Cell(n + 1, 1, big, "s")], n + 1)
        n += 1
    assert len(host.out) == 1 and type(host.out[0]) is (bytes if lxml else str)
    assert len(host.out[0]) >= 1 << 20 and host.out[0].endswith(b"</row>" if lxml else "</row>")
    w.flush()
    assert len(host.out) == 1  # nothing left behind the threshold flush
    w.write_row([], n + 1)
    w.flush()
    w.flush()
    assert len(host.out) == 2


def test_flush_of_an_empty_buffer_does_not_write():
    host = Host()
    host.writer().flush()
    assert host.out == []


def test_failed_write_keeps_the_text_for_a_retry():
    seen = []

    def write(text):
        seen.append(text)
        if len(seen) == 1:
            raise OSError("disk full")

    host = Host()
    w = host.writer(write)
    w.write_row([Cell(1, 1, 1)], 1)
    with pytest.raises(OSError, match="disk full"):
        w.flush()
    w.flush()
    assert seen[0] == seen[1] == '<row r="1"><c r="A1" t="n"><v>1</v></c></row>'


def test_unencodable_fallback_text_is_written_in_order():
    host = Host()
    host.write_cell = None
    host.helpers["write_cell"] = lambda ws, cell, styled: "<c>\ud800</c>"
    w = host.writer()
    w.write_row([Cell(1, 1, 1), Cell(1, 2, object())], 1)
    w.flush()
    assert host.out == ['<row r="1"><c r="A1" t="n"><v>1</v></c>', "<c>\ud800</c>", "</row>"]


@MODES
@pytest.mark.parametrize("result", [None, 1, "wrong type for lxml", b"wrong type for etree"])
def test_fallback_result_type_is_checked(lxml, result):
    host = Host(lxml)
    host.helpers["write_cell"] = lambda ws, cell, styled: result
    ok = isinstance(result, bytes if lxml else str)
    w = host.writer()
    if ok:
        w.write_row([Cell(1, 1, object())], 1)
    else:
        with pytest.raises(TypeError):
            w.write_row([Cell(1, 1, object())], 1)


# -- construction --------------------------------------------------------------------

class RecordingWorksheet(Worksheet):
    def __init__(self, log):
        object.__setattr__(self, "log", log)
        super().__init__()

    def __getattribute__(self, name):
        if not name.startswith("__") and name != "log":
            object.__getattribute__(self, "log").append(name)
        return object.__getattribute__(self, name)


def test_missing_helper_is_reported_after_the_earlier_steps():
    log = []
    ws = RecordingWorksheet(log)
    host = Host(ws=ws)
    del host.helpers["safe_string"]
    log.clear()
    with pytest.raises(TypeError) as info:
        host.writer()
    assert str(info.value) == "missing helper safe_string"
    assert log == ["parent", "_hyperlinks", "_keep_results", "parent", "parent"]


@pytest.mark.parametrize("key", ["StyleArray", "add_comment", "write_cell", "date_value",
                                 "date_value_raw", "safe_string"])
def test_each_helper_is_required(key):
    host = Host()
    del host.helpers[key]
    with pytest.raises(TypeError, match=f"^missing helper {key}$"):
        host.writer()


def test_helper_lookup_is_an_exact_dict_lookup():
    class Defaulting(dict):
        def __missing__(self, key):
            return str

    host = Host()
    helpers = Defaulting(host.helpers)
    del helpers["safe_string"]
    with pytest.raises(TypeError, match="missing helper safe_string"):
        m.SheetWriter(host.ws, host.out.append, False, helpers)


@pytest.mark.parametrize("epoch", [
    dt.datetime(1899, 12, 30, tzinfo=dt.timezone.utc),
    type("DT", (dt.datetime,), {})(1899, 12, 30), dt.date(1899, 12, 30), None,
    dt.datetime(1904, 1, 1),
])
def test_unusual_epochs_are_accepted(epoch):
    Host(ws=Worksheet(Workbook(epoch=epoch))).writer()


@pytest.mark.parametrize("args,match", [
    ((None, None, 1, {}), "lxml"), ((None, None, None, {}), "lxml"),
    ((None, None, True, []), "helpers"),
])
def test_argument_types(args, match):
    with pytest.raises(TypeError, match=match):
        m.SheetWriter(*args)


# -- exclusive use, collection, references -------------------------------------------

def test_reentrant_calls_are_refused():
    host = Host()
    w = None
    errors = []

    def write_cell(ws, cell, styled):
        for call in (w.flush, lambda: w.write_row([], 1), lambda: w.write_sheet_data(list)):
            try:
                call()
            except RuntimeError as e:
                errors.append(str(e))
        return ""

    host.helpers["write_cell"] = write_cell
    w = host.writer()
    w.write_row([Cell(1, 1, object())], 1)
    assert errors == ["Already borrowed"] * 3
    w.flush()
    assert host.text() == '<row r="1"></row>'


def test_writer_in_a_cycle_is_collected():
    class Sink:
        def write(self, text):
            pass

    sink = Sink()
    host = Host()
    sink.writer = m.SheetWriter(host.ws, sink.write, False, host.helpers)
    sink.writer.write_row([Cell(1, 1, 1, style=StyleArray([1] * 9))], 1)
    del sink
    gc.collect()
    assert gc.collect() == 0


def test_no_reference_leaks_per_row():
    host = Host()
    w = host.writer(lambda text: None)
    value, style = "shared text", StyleArray([2] * 9)
    cells = [Cell(1, c, value, "s", style) for c in range(1, 20)]
    w.write_row(cells, 1)
    before = sys.getrefcount(value), sys.getrefcount(style), sys.getrefcount(cells[0])
    for _ in range(200):
        w.write_row(cells, 1)
    w.flush()
    assert (sys.getrefcount(value), sys.getrefcount(style), sys.getrefcount(cells[0])) == before


def test_use_from_another_thread_during_a_call_is_refused():
    import threading

    host = Host()
    inside, done = threading.Event(), threading.Event()
    seen = []

    def write_cell(ws, cell, styled):
        inside.set()
        done.wait(10)
        return ""

    host.helpers["write_cell"] = write_cell
    w = host.writer()

    def other():
        inside.wait(10)
        try:
            w.write_row([], 2)
        except RuntimeError as e:
            seen.append(str(e))
        done.set()

    t = threading.Thread(target=other)
    t.start()
    w.write_row([Cell(1, 1, object())], 1)
    t.join()
    assert seen == ["Already borrowed"]
    w.write_row([], 3)  # free again once the call is over
    w.flush()
    assert host.text() == '<row r="1"></row><row r="3"></row>'


def class_change_run(writer_cls):
    """Cells whose class changes between rows and during a helper call."""

    class Plain(brindle.Cell):
        __slots__ = ()

    class ValueProperty(brindle.Cell):
        __slots__ = ()
        _value = property(lambda self: "from a property")

    ws = brindle.Workbook().active
    helpers = make_writer_helpers(False)
    add_comment = helpers["add_comment"]

    def switching_add_comment(ws, cell):
        add_comment(ws, cell)
        cell.__class__ = ValueProperty

    helpers["add_comment"] = switching_add_comment
    calls, log = [], []
    writer = writer_cls(ws, calls.append, False, helpers)
    cells = [Plain(ws, r, 1, r) for r in range(1, 5)]
    unset = Plain(ws, 5, 1, 5)
    del unset._style
    commented = Plain(ws, 6, 1, 6)
    commented._comment = brindle.Comment("switch")
    writer.write_row([cells[0], cells[1]], 1)
    Plain.data_type = property(lambda self: "e")  # the class itself changes
    writer.write_row([cells[2]], 2)
    del Plain.data_type
    writer.write_row([cells[3], commented, cells[3]], 3)
    try:
        writer.write_row([unset], 4)
    except AttributeError as exc:
        log.append(str(exc))
    writer.flush()
    return calls, log


def test_slot_reads_follow_the_cell_class():
    assert class_change_run(m.SheetWriter) == class_change_run(PySheetWriter)


@pytest.mark.parametrize("threaded", [True, False], ids=["thread", "inline"])
@pytest.mark.parametrize("native", [True, False], ids=["native", "pure"])
def test_a_disk_that_keeps_failing(native, threaded, brindle_options):
    # Deflated bytes that cannot be written stay in memory: the appends that
    # report the failure are dropped, every append that returned is saved.
    brindle_options(deflate_thread=threaded)

    class Failing(FlakyFile):
        def write(self, data):
            raise OSError("disk full")

    wb = brindle.Workbook(write_only=True, native=native)
    ws = wb.create_sheet()
    ws.append([0])
    ws._stream.sink.file = Failing(ws._stream.sink.file)
    saved, failures = [0], 0
    for r in range(1, 12000):
        try:
            ws.append([r, hashlib.sha1(str(r).encode()).hexdigest() * 8])
        except OSError as exc:
            assert "disk full" in str(exc)
            failures += 1
        else:
            saved.append(r)
    assert failures
    out = io.BytesIO()
    wb.save(out)
    sheet = zipfile.ZipFile(out).read("xl/worksheets/sheet1.xml")
    assert re.findall(rb'<row r="(\d+)"', sheet) == [str(i).encode()
                                                      for i in range(1, len(saved) + 1)]
    assert [int(v) for v in re.findall(rb'<c r="A\d+" t="n"><v>(\d+)</v>', sheet)] == saved


@pytest.mark.parametrize("getter", [
    operator.attrgetter("_hyperlink"), operator.attrgetter("_comment"),
    operator.attrgetter("_hyperlink", "_comment"), lambda cell: cell._hyperlink,
], ids=["own-slot", "other-slot", "two-names", "function"])
def test_hyperlinks_are_read_as_the_class_defines_them(getter):
    # The host's cell reads its link through a property over a slot, which
    # the engine reads directly; any other definition is asked as it is.
    class Linked(brindle.Cell):
        __slots__ = ()
        hyperlink = property(getter)

    ws = brindle.Workbook().active
    cells = []
    for r in range(1, 4):
        cell = Linked(ws, r, 1, r)
        cell._hyperlink = brindle.Hyperlink(target=f"https://example.com/{r}") if r != 2 else None
        cell._comment = brindle.Comment(f"note {r}") if r == 2 else None
        cells.append(cell)
    got = []
    for cls in (m.SheetWriter, PySheetWriter):
        ws._hyperlinks.clear()
        ws._comments.clear()
        out = []
        w = cls(ws, out.append, False, make_writer_helpers(False))
        w.write_row(cells, 1)
        w.flush()
        got.append((out, list(ws._hyperlinks)))
    assert got[0] == got[1]
