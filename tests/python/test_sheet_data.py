"""`SheetWriter.write_sheet_data`: the whole `<sheetData>` of a normal sheet.

The native writer is held to the pure-Python `SheetWriter` (itself held to
the host's row writers): the same bytes in the same pieces handed to
`write`, the same exceptions, the same links, comments and style ids, for
plain dictionaries of cells (sorted natively), cell keys that force the
host's own row order, and stores filled by loading, then edited.
"""

import datetime as dt
import threading

import pytest
from hypothesis import given, strategies as st

import brindle
import brindle._brindle as m
from brindle.writer.cell import make_writer_helpers
from brindle.writer.rows import sorted_rows, write_rows
from pure_sheet_writer import SheetWriter as PySheetWriter
from writer_cases import ITEMS, RAW_CELLS, RAW_DIMS, CellSpec, outcome, raw_cell

MODES = pytest.mark.parametrize("lxml", [False, True], ids=["etree", "lxml"])

# Keys a plain integer pair is not: each sends the whole sheet to the host's
# own row order.
ODD_KEYS = st.sampled_from([("x", 1), (1.0, 2), (True, 3), (2**64, 1), (1, 2, 3), "A1",
                            type("T", (tuple,), {})((4, 1))])
ODD_DIM_KEYS = st.sampled_from(["3", True, 2.0, 2**64])


def place(ws, key, item):
    """The cell of a generated item, stored under `key`."""
    row, column = key if isinstance(key, tuple) and len(key) == 2 else (1, 1)
    try:
        if isinstance(item, dict):
            cell = raw_cell(ws, item)
        elif isinstance(item, CellSpec):
            cell = item.build(ws)
        else:
            cell = brindle.Cell(ws, value=item)
    except ValueError:
        # A value no cell accepts, put in place the way a careless caller
        # could: the writers must still agree on it.
        cell = brindle.Cell(ws)
        value = item.value if isinstance(item, CellSpec) else item
        cell._value, cell.data_type = value, "s" if isinstance(value, str) else "n"
    if not isinstance(item, dict):
        cell.row = row if type(row) is int else 1
        cell.column = column if type(column) is int else 1
    ws._cells[key] = cell


def run(writer_cls, cells, dims, lxml, iso, date1904, failing_write=False,
        fallback_order=None, container="dict"):
    """Writes a generated sheet; everything the write leaves behind. The cells
    are in a plain dict, or in the worksheet's own store (`container="store"`)."""
    wb = brindle.Workbook(lxml=lxml, iso_dates=iso)
    wb.date1904 = date1904
    ws = wb.active
    if container == "dict":
        ws._cells = {}
    for key, item in cells:
        place(ws, key, item)
    for key, dim in dims.items():
        dict.__setitem__(ws.row_dimensions, key, dim)
    calls = []

    def write(text):
        calls.append(text)
        if failing_write:
            raise OSError("disk full")

    asked = []

    def rows_fallback():
        asked.append(True)
        if fallback_order is not None:
            return fallback_order(ws)
        return sorted_rows(ws)

    try:
        writer_cls(ws, write, lxml, make_writer_helpers(lxml)).write_sheet_data(rows_fallback)
        result = None
    except Exception as exc:  # noqa: BLE001 - compared between the writers
        result = outcome(exc)
    links = [(link.ref, link.target) for link in ws._hyperlinks]
    comments = [(ref, getattr(c, "text", c)) for ref, c in ws._comments]
    return calls, result, bool(asked), links, comments, list(wb._cell_styles)


POSITIONS = st.tuples(st.integers(1, 8), st.integers(1, 5)) | st.sampled_from(
    [(0, 1), (-2, 3), (2**40, 1), (1, 18278), (1, 18279), (2, 0), (-(2**63), 1)])
DIMS = st.dictionaries(st.integers(1, 10) | st.sampled_from([0, -1, 2**63 - 1]),
                       RAW_DIMS.flatmap(lambda d: st.sampled_from(list(d.values()) or [{}])),
                       max_size=4)


@given(cells=st.lists(st.tuples(POSITIONS, ITEMS | RAW_CELLS), max_size=12),
       odd=st.lists(st.tuples(ODD_KEYS, ITEMS), max_size=1), dims=DIMS,
       odd_dims=st.lists(ODD_DIM_KEYS, max_size=1),
       lxml=st.booleans(), iso=st.booleans(), date1904=st.booleans(),
       failing_write=st.booleans(), container=st.sampled_from(["dict", "store"]))
def test_in_memory_sheets_match_the_pure_python_writer(cells, odd, dims, odd_dims, lxml, iso,
                                                       date1904, failing_write, container):
    dims = dict(dims)
    for key in odd_dims:
        dims[key] = {"ht": "3"}
    args = cells + odd, dims, lxml, iso, date1904, failing_write
    native = run(m.SheetWriter, *args, container=container)
    assert native == run(PySheetWriter, *args, container=container)
    calls, result, asked = native[:3]
    if result is None and not failing_write:
        # Exactly one piece (small sheets), the text of the host's row writer.
        sheet = brindle.Workbook(lxml=lxml, iso_dates=iso).active
        expected = []
        sheet.parent.date1904 = date1904
        for key, item in args[0]:
            place(sheet, key, item)
        for key, dim in dims.items():
            dict.__setitem__(sheet.row_dimensions, key, dim)
        write_rows(sheet, expected.append, lxml)
        assert calls == [(b"" if lxml else "").join(expected)]


def texts():
    # Every class of character, one text per class and a mixed one.
    classes = ["plain", "\t\n\r", "\"'<>&", " lead", "trail ", "   ", "\x7f\x85\xa0",
               "é\u3000", "\U0001F600", "\x00\x01\x1f", "\ufffe\uffff", "\ud800", "=A1&\"x\"",
               "#N/A", "x" * 40000]
    return classes + ["".join(classes[:10])]


@MODES
@pytest.mark.parametrize("iso", [False, True])
@pytest.mark.parametrize("date1904", [False, True])
def test_every_value_type_and_style(lxml, iso, date1904):
    values = [None, True, False, 0, -7, 2**53 + 1, 2**63, 1.5, -0.0, float("nan"), 1e16,
              dt.datetime(2024, 2, 29, 13, 5, 7, 123456), dt.datetime(1900, 2, 28),
              dt.datetime(1900, 3, 1), dt.date(1899, 12, 31), dt.time(6, 30), dt.timedelta(1.5),
              *texts()]
    styles = [None, "font", "fill", "format"]
    cells = [((r, c), CellSpec(v, styles[(r + c) % 4], None, None) if r % 3 else v)
             for r, v in enumerate(values, 1) for c in (1, 3)]
    cells.append(((len(values) + 2, 1), CellSpec(None, "font", "note", "https://x.test/?a&b")))
    dims = {2: {"ht": "9"}, len(values) + 5: {"hidden": "1"}}
    args = cells, dims, lxml, iso, date1904
    assert run(m.SheetWriter, *args) == run(PySheetWriter, *args)


def test_rows_with_only_a_dimension_and_cells_set_to_none():
    dims = {3: {"ht": "15", "customHeight": "1"}, 7: {}}
    cells = [((2, 1), 1), ((4, 2), None), ((4, 1), "a"), ((6, 1), None)]
    calls, result, asked = run(m.SheetWriter, cells, dims, False, False, False)[:3]
    assert result is None and not asked
    assert calls == ['<sheetData><row r="2"><c r="A2" t="n"><v>1</v></c></row>'
                     '<row r="3" ht="15" customHeight="1"></row>'
                     '<row r="4"><c r="A4" t="inlineStr"><is><t>a</t></is></c></row>'
                     '<row r="6"></row><row r="7"></row></sheetData>']


@MODES
def test_an_empty_sheet(lxml):
    calls, result, asked = run(m.SheetWriter, [], {}, lxml, False, False)[:3]
    assert calls == [b"<sheetData></sheetData>" if lxml else "<sheetData></sheetData>"]
    assert result is None and not asked


@pytest.mark.parametrize("odd_cell,odd_dim", [
    ((("A", 1), 1), None), (((1.5, 1), 1), None), (None, "3"), (None, True)])
def test_odd_keys_leave_the_row_order_to_the_host(odd_cell, odd_dim):
    # The host's order is used as it comes, even when it is not sorted.
    cells = [((2, 1), "b"), ((1, 1), "a")] + ([odd_cell] if odd_cell else [])
    dims = {odd_dim: {}} if odd_dim is not None else {}

    def reverse(ws):
        return [(9, [ws._cells[(1, 1)]]), ("x<", [ws._cells[(2, 1)]])]

    calls, result, asked = run(m.SheetWriter, cells, dims, False, False, False,
                               fallback_order=reverse)[:3]
    assert result is None and asked
    text = calls[0]
    assert text.startswith('<sheetData><row r="9"><c r="A1"')
    assert '<row r="x&lt;"><c r="A2"' in text


@pytest.mark.parametrize("rows,error", [
    (lambda: None, TypeError), (lambda: [[1, []]], TypeError), (lambda: [(1, [], 2)], TypeError),
    (lambda: [(1, 5)], TypeError), (lambda: iter([(1, [])] + [1 / 0]), ZeroDivisionError)])
def test_bad_fallback_rows(rows, error):
    ws = brindle.Workbook().active
    ws._cells[("x", 1)] = brindle.Cell(ws, value=1)
    for cls in (m.SheetWriter, PySheetWriter):
        with pytest.raises(error):
            cls(ws, print, False, make_writer_helpers(False)).write_sheet_data(rows)


def test_many_rows_flush_at_row_ends_and_at_the_end():
    def fill(ws):
        for r in range(1, 3001):
            for c in range(1, 6):
                ws._cells[(r, c)] = brindle.Cell(ws, r, c, f"row {r} é <{c}>" * 8)

    pieces = []
    for cls in (m.SheetWriter, PySheetWriter):
        for lxml in (False, True):
            ws = brindle.Workbook(lxml=lxml).active
            fill(ws)
            calls = []
            cls(ws, calls.append, lxml, make_writer_helpers(lxml)).write_sheet_data(None)
            end = b"</row>" if lxml else "</row>"
            assert len(calls) > 2 and all(c.endswith(end) for c in calls[:-1])
            pieces.append(calls)
    assert pieces[0] == pieces[2] and pieces[1] == pieces[3]


# -- threads ------------------------------------------------------------------------

def big_sheet(lxml, seed):
    wb = brindle.Workbook(lxml=lxml, iso_dates=seed % 2 == 0)
    ws = wb.active
    bold = brindle.Font(bold=True)
    for r in range(1, 400):
        ws.append([r * seed, f"t{r}<{seed}>", dt.date(2024, 1, 1) + dt.timedelta(r), "=A1+1",
                   r / 3, None, True])
        if r % 7 == 0:
            ws.cell(r, 2).font = bold
    return ws


def sheet_text(writer_cls, ws, lxml):
    calls = []
    ws._hyperlinks.clear()
    writer_cls(ws, calls.append, lxml, make_writer_helpers(lxml)).write_sheet_data(
        lambda: sorted_rows(ws))
    return (b"" if lxml else "").join(calls)


def test_eight_threads_save_at_once():
    sheets = [big_sheet(i % 2 == 1, i + 1) for i in range(8)]
    expected = [sheet_text(PySheetWriter, ws, i % 2 == 1) for i, ws in enumerate(sheets)]
    got = [None] * 8
    barrier = threading.Barrier(8)

    def work(i):
        barrier.wait()
        for _ in range(5):
            got[i] = sheet_text(m.SheetWriter, sheets[i], i % 2 == 1)

    threads = [threading.Thread(target=work, args=(i,)) for i in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert got == expected


def test_saving_while_another_thread_changes_the_cells():
    # Each save sees the cells as they were at some moment: every row is
    # whole, and each cell text is one the other thread wrote.
    ws = brindle.Workbook().active
    for r in range(1, 200):
        ws._cells[(r, 1)] = brindle.Cell(ws, r, 1, "v0")
    stop = threading.Event()

    def change():
        n = 0
        while not stop.is_set():
            n += 1
            r = n % 199 + 1
            ws._cells[(r, 1)] = brindle.Cell(ws, r, 1, f"v{n}")
            ws._cells[(r, 2)] = brindle.Cell(ws, r, 2, n)
            del ws._cells[(r, 2)]

    t = threading.Thread(target=change)
    t.start()
    try:
        for _ in range(30):
            text = sheet_text(m.SheetWriter, ws, False)
            assert text.count("<row ") == text.count("</row>") == 199
    finally:
        stop.set()
        t.join()


# -- stores filled by loading, then edited -------------------------------------------
#
# Two stores load the same sheet and get the same edits; the native writer
# writes one straight from its records, the pure-Python writer gets the
# other's cells as a dict of the host cells the store materialises. The
# bytes must agree, and the native side must not materialise cells that
# were neither touched nor delegated.

import io as _io  # noqa: E402

import sheetgen as gen  # noqa: E402
from testkit import make_helpers, make_parser  # noqa: E402
from brindle.styles.cell_style import StyleArray  # noqa: E402

EXTRA_ROWS = (
    # Float and integer date serials around the 1900 leap day, times, dates
    # out of range, ISO dates, durations, custom types, wide columns,
    # repeated formula shapes (templates), shared formulas without a
    # master in range, long and odd texts.
    '<row r="200"><c r="A200" s="1"><v>59</v></c><c r="B200" s="1"><v>60</v></c>'
    '<c r="C200" s="1"><v>61</v></c><c r="D200" s="1"><v>59.75</v></c>'
    '<c r="E200" s="1"><v>0.5</v></c><c r="F200" s="1"><v>0</v></c>'
    '<c r="G200" s="1"><v>43831.0000000058</v></c><c r="H200" s="1"><v>2958466</v></c>'
    '<c r="I200" s="1"><v>-1.5</v></c><c r="J200" s="4"><v>1.25</v></c>'
    '<c r="K200" t="d"><v>2024-02-29T13:05:07</v></c><c r="L200" t="d" s="1"><v>1900-01-01</v></c></row>'
    '<row r="201"><c r="A201" t="odd"><v>7</v></c><c r="B201" t="str"><v>t&#9;a&#10;b&#13;</v></c>'
    '<c r="C201" t="inlineStr"><is><t xml:space="preserve">  sp  </t></is></c>'
    '<c r="D201" t="inlineStr"><is><r><t>ri</t></r><r><rPr><b/></rPr><t>ch</t></r></is></c>'
    '<c r="E201"><f>A201+B201</f><v>1</v></c><c r="XFD201"><v>1</v></c>'
    '<c r="F201" t="e"><v>#N/A</v></c><c r="G201" t="b"><v>1</v></c><c r="H201"><v>1e300</v></c>'
    '<c r="I201"><v>123456789012345678</v></c><c r="J201" s="3"/><c r="K201" t="s"><v>1</v></c></row>'
    '<row r="202"><c r="E202"><f>A202+B202</f><v>1</v></c><c r="F202"><f>$A$1*F201</f></c></row>'
    '<row r="203" ht="20" customHeight="1"><c r="E203"><f>A203+B203</f><v>1</v></c>'
    '<c r="F203"><f>$A$1*F202</f></c></row>'
    '<row r="204"><c r="A204" t="inlineStr"><is><t>' + "x" * 40000 + '</t></is></c>'
    '<c r="B204" t="inlineStr"><is><t>\u00e9\u3000\U0001F600 &amp; &lt;&gt;"\'</t></is></c></row>'
)


def sheet_xml(seed, n_rows):
    rows, strings = gen.random_sheet(seed, n_rows=n_rows)
    xml = gen.render(rows)
    return xml.replace(b"</sheetData>", EXTRA_ROWS.encode() + b"</sheetData>"), strings


def loaded_sheet(xml, strings, lxml, iso, date1904):
    wb = brindle.Workbook(lxml=lxml, iso_dates=iso)
    wb.date1904 = date1904
    for k in range(1, 5):
        wb._cell_styles.add(StyleArray([k] * 9))
    ws = wb.active
    store = m.CellStore()
    parser = make_parser(shared_strings=strings, date_formats={1}, timedelta_formats={4},
                         epoch=wb.epoch)
    m.bind_cells(_io.BytesIO(xml), parser, ws, store, wb._cell_styles, brindle.Cell,
                 make_helpers(), [])
    ws._cells = store
    return ws


# An edit: (operation, key, item). Keys hit loaded rows, new rows and
# columns beyond what a record holds.
EDIT_KEYS = st.tuples(st.sampled_from([1, 2, 3, 5, 200, 201, 202, 203, 204, 250]),
                      st.sampled_from([1, 2, 3, 5, 11, 16384, 18279, 70000]))
EDITS = st.lists(st.tuples(st.sampled_from(["set", "del", "read", "restyle", "value"]),
                           EDIT_KEYS, ITEMS), max_size=8)


def apply_edits(ws, edits):
    cells = ws._cells
    for op, key, item in edits:
        if op == "set":
            place(ws, key, item)
        elif op == "del":
            cells.pop(key, None) if isinstance(cells, dict) else (key in cells and cells.__delitem__(key))
        elif key in cells:
            cell = cells[key]
            if op == "restyle":
                cell.font = brindle.Font(italic=True)
            elif op == "value":
                try:
                    cell.value = item.value if isinstance(item, CellSpec) else item
                except (ValueError, TypeError):
                    pass


def write_both(ws_native, ws_pure, lxml):
    ws_pure._cells = {k: ws_pure._cells[k] for k in ws_pure._cells}
    out = []
    for cls, ws in ((m.SheetWriter, ws_native), (PySheetWriter, ws_pure)):
        calls = []
        try:
            cls(ws, calls.append, lxml, make_writer_helpers(lxml)).write_sheet_data(
                lambda: sorted_rows(ws))
            result = None
        except Exception as exc:  # noqa: BLE001 - compared between the writers
            result = outcome(exc)
        links = [(link.ref, link.target) for link in ws._hyperlinks]
        comments = [(ref, getattr(c, "text", c)) for ref, c in ws._comments]
        out.append((calls, result, links, comments, list(ws.parent._cell_styles)))
    return out


@given(seed=st.integers(0, 2**16), n_rows=st.integers(0, 12), edits=EDITS, dims=DIMS,
       lxml=st.booleans(), iso=st.booleans(), date1904=st.booleans())
def test_loaded_then_edited_stores_match_the_pure_python_writer(seed, n_rows, edits, dims, lxml,
                                                                iso, date1904):
    xml, strings = sheet_xml(seed, n_rows)
    sheets = [loaded_sheet(xml, strings, lxml, iso, date1904) for _ in range(2)]
    for ws in sheets:
        apply_edits(ws, edits)
        for key, dim in dims.items():
            dict.__setitem__(ws.row_dimensions, key, dim)
    touched = sheets[0]._cells._stats()[1]
    native, pure = write_both(*sheets, lxml)
    assert native == pure
    if native[1] is None:
        # Dates, shared strings, formulas and texts were written from their
        # records: only the odd cells (custom types, wide columns, control
        # characters) were materialised on top of the edits.
        assert sheets[0]._cells._stats()[1] - touched <= 4


@MODES
@pytest.mark.parametrize("iso", [False, True])
@pytest.mark.parametrize("date1904", [False, True])
def test_stored_dates_and_odd_cells(lxml, iso, date1904):
    xml, strings = sheet_xml(7, 6)
    sheets = [loaded_sheet(xml, strings, lxml, iso, date1904) for _ in range(2)]
    native, pure = write_both(*sheets, lxml)
    assert native == pure and native[1] is None
    text = (b"".join(native[0]).decode() if lxml else "".join(native[0]))
    if not iso and not date1904:
        # Serials written back as they were read, the phantom leap day too.
        for ref, serial in (("A200", 59), ("B200", 60), ("C200", 61), ("D200", 59.75),
                            ("E200", 0.5)):
            assert f'<c r="{ref}" s="1" t="n"><v>{serial}</v></c>' in text
    # A serial that gives no date, and a formula's result, as the file held them.
    assert '<c r="H200" s="1" t="n"><v>2958466</v></c>' in text
    assert '<c r="E201"><f>A201+B201</f><v>1</v></c>' in text


def test_store_in_dict_mode_and_odd_dimension_keys():
    xml, strings = sheet_xml(3, 4)
    ws = loaded_sheet(xml, strings, False, False, False)
    dict.__setitem__(ws.row_dimensions, "3", {"ht": "1"})
    with pytest.raises(m.NativeFallback, match="^row dimension keys$"):
        m.SheetWriter(ws, print, False, make_writer_helpers(False)).write_sheet_data(None)
    dict.__delitem__(ws.row_dimensions, "3")
    ws._cells[("odd", 1)] = brindle.Cell(ws, 1, 1, "odd")
    assert ws._cells._in_dict_mode()
    asked = []
    m.SheetWriter(ws, print, False, make_writer_helpers(False)).write_sheet_data(
        lambda: asked.append(1) or [])
    assert asked


def test_a_store_sheet_writes_side_entries_in_their_rows():
    xml = (b'<worksheet xmlns="%s"><sheetData><row r="1"><c r="A1"><v>1</v></c></row>'
           b'<row r="3"><c r="A3"><v>3</v></c></row></sheetData></worksheet>' % gen.MAIN.encode())
    ws = loaded_sheet(xml, [], False, False, False)
    ws._cells[(2, 2)] = brindle.Cell(ws, 2, 2, 22)
    ws._cells[(1, 3)] = brindle.Cell(ws, 1, 3, 13)
    ws._cells[(2, 1)] = brindle.Cell(ws, 2, 1, 21)
    calls = []
    m.SheetWriter(ws, calls.append, False, make_writer_helpers(False)).write_sheet_data(None)
    assert calls == ['<sheetData><row r="1"><c r="A1" t="n"><v>1</v></c>'
                     '<c r="C1" t="n"><v>13</v></c></row><row r="2"><c r="A2" t="n"><v>21</v></c>'
                     '<c r="B2" t="n"><v>22</v></c></row><row r="3"><c r="A3" t="n"><v>3</v></c>'
                     '</row></sheetData>']


def test_saving_while_another_thread_changes_the_store():
    # Each save gives whole rows or fails at once with the store's borrow
    # error; never a crash.
    xml, strings = sheet_xml(11, 60)
    ws = loaded_sheet(xml, strings, False, False, False)
    stop = threading.Event()
    errors = []

    def change():
        n = 0
        while not stop.is_set():
            n += 1
            try:
                ws._cells[(n % 50 + 1, 3)] = brindle.Cell(ws, n % 50 + 1, 3, n)
                del ws._cells[(n % 50 + 1, 3)]
                ws._cells.get((n % 40 + 1, 2))
            except (RuntimeError, KeyError) as exc:
                errors.append(str(exc))

    t = threading.Thread(target=change)
    t.start()
    results = set()
    try:
        for _ in range(40):
            try:
                text = sheet_text(m.SheetWriter, ws, False)
            except RuntimeError as exc:
                results.add(str(exc))
                continue
            assert text.count("<row ") == text.count("</row>")
            results.add("ok")
    finally:
        stop.set()
        t.join()
    assert results <= {"ok", "Already borrowed", "Already mutably borrowed"}
    assert set(errors) <= {"Already borrowed", "Already mutably borrowed"} | {
        e for e in errors if e.startswith("(")}
