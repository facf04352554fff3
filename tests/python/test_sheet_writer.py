"""SheetWriter against a minimal stand-in for the host layer.

Expected XML comes from the two serialisers the output must match:
xml.etree.ElementTree (lxml=False) and lxml.etree.xmlfile (lxml=True).
Number text is checked against '%.16g'.
"""

import array
import datetime as dt
import gc
import io
import re
import sys
import xml.etree.ElementTree as ET

import pytest
from hypothesis import given, strategies as st
from lxml import etree as LET

import brindle._brindle as m

XML_SPACE = "{http://www.w3.org/XML/1998/namespace}space"


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


# -- oracles -------------------------------------------------------------------

def expected_cell(lxml, ref, value, data_type, style_id=None, t=None):
    """A cell as the host's serialiser writes it; `t` defaults from data_type."""
    attrs = {"r": ref}
    if style_id is not None:
        attrs["s"] = str(style_id)
    if t is None:
        t = {"f": None, "s": "inlineStr"}.get(data_type, data_type)
    if t is not None:
        attrs["t"] = t
    if value is None or value == "":
        form = "empty"
    elif isinstance(value, str) and data_type == "f":
        form = "formula"
    elif isinstance(value, str) and data_type == "s":
        form = "inline"
    else:
        form = "value"
    text = value if isinstance(value, str) else ("" if value is None else number_text(value))
    preserve = text != text.strip() and (lxml or text.strip() != "")
    if not lxml:
        el = ET.Element("c", attrs)
        if form == "value":
            v = ET.SubElement(el, "v")
            v.text = text or None
        elif form == "formula":
            f = ET.SubElement(el, "f")
            f.text = text[1:] or None
            ET.SubElement(el, "v")
        elif form == "inline":
            t_el = ET.SubElement(ET.SubElement(el, "is"), "t")
            if preserve:
                t_el.set(XML_SPACE, "preserve")
            t_el.text = text
        return ET.tostring(el, encoding="unicode")
    buf = io.BytesIO()
    with LET.xmlfile(buf) as xf:
        with xf.element("c", attrs):
            if form == "value":
                with xf.element("v"):
                    if text:
                        xf.write(text)
            elif form == "formula":
                with xf.element("f"):
                    if text[1:]:
                        xf.write(text[1:])
                with xf.element("v"):
                    pass
            elif form == "inline":
                is_ = LET.Element("is")
                t_el = LET.SubElement(is_, "t")
                if preserve:
                    t_el.set(XML_SPACE, "preserve")
                t_el.text = text
                xf.write(is_)
    return buf.getvalue().decode()


def number_text(x):
    if isinstance(x, bool):
        return str(int(x))
    if isinstance(x, float) and (x != x or x in (float("inf"), float("-inf"))):
        return ""
    return "%.16g" % x


def forbidden(s):
    return bool(re.search("[\x00-\x08\x0b\x0c\x0e-\x1f\ufffe\uffff\ud800-\udfff]", s))


MODES = pytest.mark.parametrize("lxml", [False, True], ids=["etree", "lxml"])

# Characters the escaping rules single out, mixed with any code point at all
# (lone surrogates included).
SPECIAL = st.sampled_from(list("\t\n\r\"'<>& x=\x7f\x85\xa0\xe9\u3000\U0001F600\x00\x01\x1f\ufffe\uffff\ud800\udfff"))
TEXT = st.text(SPECIAL | st.characters(codec=None, exclude_categories=()), max_size=12) | st.sampled_from(
    ["", " ", " x", "x ", "\t", "a\r\nb", "=", "=SUM(A1:A2)", "é", "\U0001F600", "\ud800",
     "\x01", "\ufffe", "<&>\"'", "\u3000x\xa0", "\x85"])


# -- escaping and element forms ------------------------------------------------

@MODES
@given(value=TEXT, data_type=st.sampled_from(["s", "n", "f", "e", "str", "inlineStr"]))
def test_text_cells_match_the_serialiser(lxml, value, data_type):
    host = Host(lxml)
    got = write_one_row(host, [Cell(1, 1, value, data_type)])
    if forbidden(value):
        assert host.fallbacks() and got == '<fallback n="1"/>'
    else:
        assert not host.fallbacks()
        assert got == expected_cell(lxml, "A1", value, data_type)


@MODES
@given(data_type=TEXT.filter(lambda s: len(s) != 1))
def test_type_attribute_is_escaped_like_the_serialiser(lxml, data_type):
    host = Host(lxml)
    got = write_one_row(host, [Cell(2, 28, 7, data_type)], row=2)
    if forbidden(data_type):
        assert got == '<fallback n="1"/>'
    else:
        assert got == expected_cell(lxml, "AB2", 7, data_type, t=data_type)


@MODES
@pytest.mark.parametrize("cell,want_et,want_lxml", [
    (Cell(3, 2, None, "n", StyleArray([0, 4, 0, 0, 0, 0, 0, 0, 0])),
     '<c r="B3" s="0" t="n" />', '<c r="B3" s="0" t="n"></c>'),
    (Cell(1, 1, "#N/A", "e"), '<c r="A1" t="e"><v>#N/A</v></c>', None),
    (Cell(1, 1, "=1", "f"), '<c r="A1"><f>1</f><v /></c>', '<c r="A1"><f>1</f><v></v></c>'),
    (Cell(1, 1, "=", "f"), '<c r="A1"><f /><v /></c>', '<c r="A1"><f></f><v></v></c>'),
    (Cell(1, 3, " x", "s"), '<c r="C1" t="inlineStr"><is><t xml:space="preserve"> x</t></is></c>',
     None),
    (Cell(1, 3, "  ", "s"), '<c r="C1" t="inlineStr"><is><t>  </t></is></c>',
     '<c r="C1" t="inlineStr"><is><t xml:space="preserve">  </t></is></c>'),
    (Cell(1, 1, "", "s"), '<c r="A1" t="inlineStr" />', '<c r="A1" t="inlineStr"></c>'),
    (Cell(1, 1, True, "b"), '<c r="A1" t="b"><v>1</v></c>', None),
    (Cell(1, 1, False, "b"), '<c r="A1" t="b"><v>0</v></c>', None),
    (Cell(1, 1, float("nan"), "n"), '<c r="A1" t="n"><v /></c>', '<c r="A1" t="n"><v></v></c>'),
    (Cell(1, 18278, 1, ""), '<c r="ZZZ1" t=""><v>1</v></c>', None),
    (Cell(-5, 26, 1, "n"), '<c r="Z-5" t="n"><v>1</v></c>', None),
    (Cell(0, 27, 1, "n"), '<c r="AA0" t="n"><v>1</v></c>', None),
])
def test_element_forms(lxml, cell, want_et, want_lxml):
    want = (want_lxml or want_et) if lxml else want_et
    assert write_one_row(Host(lxml), [cell]) == want


# -- number text ---------------------------------------------------------------

NUMBERS = st.one_of(
    st.floats(),
    st.floats(min_value=-1e-300, max_value=1e-300),
    st.integers(-(2**63), 2**63 - 1),
    st.integers(2**53 - 5, 2**53 + 5).flatmap(lambda n: st.sampled_from([n, -n])),
    st.integers(-400, 400).map(lambda e: 10.0 ** e if -324 < e < 309 else 0.0),
    st.sampled_from([5e-324, 2.2250738585072014e-308, 1e15, 1e16, 0.1, 1 / 3, -0.0, 123.456]),
)


@given(st.lists(NUMBERS, min_size=1, max_size=20))
def test_number_text_is_printf_g16(values):
    host = Host()
    cells = [Cell(1, i + 1, v) for i, v in enumerate(values)]
    got = re.findall(r"<v>([^<]*)</v>|<v />", write_one_row(host, cells))
    assert got == [number_text(v) for v in values]


@pytest.mark.parametrize("value,native", [
    (2**63, False), (-(2**63), True), (2**63 - 1, True), (10**30, False),
    (type("IntSub", (int,), {})(3), False), (type("FloatSub", (float,), {})(3.5), False),
    (type("StrSub", (str,), {})("x"), False), (dt.datetime(2020, 1, 1), False),
    (__import__("decimal").Decimal("1.5"), False), ("\ud800", False), (b"bytes", False),
])
def test_values_the_writer_leaves_to_the_host(value, native):
    host = Host()
    got = write_one_row(host, [Cell(1, 1, value)])
    assert bool(host.fallbacks()) is not native
    if native:
        assert got == f'<c r="A1" t="n"><v>{"%.16g" % value}</v></c>'


@MODES
@pytest.mark.parametrize("cell", [
    Cell(1, 18279, 1), Cell(1, 0, 1), Cell(True, 1, 1), Cell(1.0, 1, 1), Cell(2**64, 1, 1),
    Cell(1, 1, 1, data_type=None), Cell(1, 1, 1, data_type="\ud800"), Cell(1, 1, 5, "f"),
    Cell(1, 1, 5, "s"), Cell(1, 1, "\x01", "s"),
], ids=lambda c: f"{c.row!r}-{c.column!r}-{c._value!r}-{c.data_type!r}")
def test_cells_delegated_whole(lxml, cell):
    host = Host(lxml)
    cell.hyperlink = "http://example.com"
    cell._style = StyleArray([1] + [0] * 8)
    assert write_one_row(host, [Cell(1, 1, "a", "s"), cell, Cell(1, 2, "b", "s")]) == (
        expected_cell(lxml, "A1", "a", "s") + '<fallback n="1"/>' + expected_cell(lxml, "B1", "b", "s"))
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
    assert log == ["parent", "_hyperlinks", "parent", "parent"]


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


def test_sheet_data_is_not_native_yet():
    with pytest.raises(m.NativeFallback, match="not available"):
        Host().writer().write_sheet_data(lambda: [])


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
