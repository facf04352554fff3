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
