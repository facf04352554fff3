"""Row settings are shared: rows with equal heights, visibility and formats
point at one settings object, so that a loaded sheet whose every row has a
height costs a few bytes a row (engine and pure Python alike), a change to
one row leaves the others alone, and the saved rows are what was read."""

import gc
import io
import tracemalloc
import zipfile

import pytest

import bind_check
import brindle
from sheetgen import xlsx

MAIN = "http://schemas.openxmlformats.org/spreadsheetml/2006/main"
ENGINE = [pytest.param(True, id="engine"), pytest.param(False, id="pure")]


def sheet_rows(n_rows, attrs):
    rows = "".join(f'<row r="{r}"{attrs}><c r="A{r}"><v>{r}</v></c></row>'
                   for r in range(1, n_rows + 1))
    return f'<worksheet xmlns="{MAIN}"><sheetData>{rows}</sheetData></worksheet>'


def held_after_load(data, native):
    gc.collect()
    tracemalloc.start()
    try:
        wb = brindle.load_workbook(io.BytesIO(data), native=native)
        gc.collect()
        held = tracemalloc.get_traced_memory()[0]
    finally:
        tracemalloc.stop()
    return wb, held


@pytest.mark.parametrize("native", ENGINE)
def test_a_height_on_every_row_costs_a_few_bytes_a_row(native):
    n = 50_000
    plain = xlsx([sheet_rows(n, "")], compression=zipfile.ZIP_DEFLATED)
    tall = xlsx([sheet_rows(n, ' ht="20" customHeight="1"')], compression=zipfile.ZIP_DEFLATED)
    _, without = held_after_load(plain, native)
    wb, with_heights = held_after_load(tall, native)
    # A dimension object and an attribute dict per row took about 600 bytes.
    assert (with_heights - without) / n < 64
    dims = wb.active.row_dimensions
    assert dims[1].height == dims[n].height == 20 and len(dims) == n


@pytest.mark.parametrize("native", ENGINE)
def test_changing_one_row_leaves_the_rows_alike_alone_and_saves_what_was_read(native):
    rows = ('<row r="1" ht="20" customHeight="1"/><row r="2" ht="20" customHeight="1"/>'
            '<row r="3" ht="20" customHeight="1" hidden="1"/><row r="4" outlineLevel="2"/>'
            '<row r="5" ht="20" customHeight="1"><c r="A5"><v>1</v></c></row>')
    data = xlsx([f'<worksheet xmlns="{MAIN}"><sheetData>{rows}</sheetData></worksheet>'])
    wb = brindle.load_workbook(io.BytesIO(data), native=native)
    ws = wb.active
    dims = ws.row_dimensions
    kept = dims.get(2)
    dims[1].height = 30
    assert [dims[r].height for r in range(1, 6)] == [30, 20, 20, None, 20]
    assert kept.height == 20 and dims[3].hidden and not dims[2].hidden
    assert dims[1] is dims[1] and sorted(dims) == [1, 2, 3, 4, 5]
    dims[1].height = 20
    out = io.BytesIO()
    wb.save(out)
    saved = zipfile.ZipFile(out).read("xl/worksheets/sheet1.xml").decode()
    assert ('<sheetData><row r="1" ht="20" customHeight="1"></row>'
            '<row r="2" ht="20" customHeight="1"></row>'
            '<row r="3" ht="20" customHeight="1" hidden="1"></row>'
            '<row r="4" outlineLevel="2"></row>'
            '<row r="5" ht="20" customHeight="1"><c r="A5" t="n"><v>1</v></c></row>'
            '</sheetData>') in saved


def test_a_row_dimension_outside_the_sheet_is_not_made():
    dims = brindle.Workbook().active.row_dimensions
    for index in (0, -1, 1_048_577):
        with pytest.raises(KeyError):
            dims[index]
    assert dims.get(7) is None and 7 not in dims and not dims


def shared_groups(row_dimensions):
    """Each row's attributes, with the first row that holds the same dict object."""
    first = {}
    return [(key, attrs, first.setdefault(id(attrs), key))
            for key, attrs in row_dimensions.items()]


X = ' xmlns:x="urn:x"'


@pytest.mark.parametrize("rows", [
    pytest.param(['r="1" ht="20"', 'r="2" ht="20"', 'r="3" ht="20"'], id="alike"),
    pytest.param(['r="1" ht="20"', 'r="2" ht="2&#48;"', 'r="3" ht="20"'], id="written-two-ways"),
    pytest.param(['ht="20" hidden="1"', 'hidden="1" ht="20"', 'ht="20" hidden="1"'],
                 id="another-order-no-r"),
    pytest.param(['r="1" ht="20"', 'r="2"', 'r="3" ht="20"', 'r="4" ht="30"', 'r="5" ht="20"'],
                 id="a-change-and-back"),
    pytest.param(['r="1" ht="1&amp;"', 'r="2" ht="1&amp;"', 'r="3" ht="1&lt;"'], id="references"),
    pytest.param(['r="1" ht="20" spans="1:2"', 'r="2" ht="20" spans="1:3"'], id="spans-differ"),
    pytest.param(['r="1" xmlns:x="urn:a" x:k="1" ht="1"', 'r="2" xmlns:x="urn:b" x:k="1" ht="1"',
                  'r="3" xmlns:y="urn:b" y:k="1" ht="1"'], id="one-prefix-two-namespaces"),
    pytest.param([f'r="1"{X} x:k="1" ht="1"', f'r="2"{X} x:k="1" ht="1"', 'r="3" k="1" ht="1"'],
                 id="namespaced-or-not"),
])
def test_rows_alike_share_one_attribute_dict_in_both_readers(rows):
    # The engine tells a row like the last by its attribute bytes: rows whose
    # bytes differ but whose attributes are equal must still share, and equal
    # bytes under another namespace must not.
    body = "".join(f"<row {attrs}><c><v>1</v></c></row>" for attrs in rows)
    data = f'<worksheet xmlns="{MAIN}"><sheetData>{body}</sheetData></worksheet>'.encode()
    pure = bind_check.pure_bind(data, {"row_dimensions": {}}, bind_check.STYLES)
    native = bind_check.native_bind(data, {"row_dimensions": {}}, bind_check.STYLES)
    assert pure[0] == native[0] == "ok"
    assert shared_groups(native[3]) == shared_groups(pure[3])
    assert len(pure[3]) == sum(1 for attrs in rows if attrs.strip('r="0123456789'))


@pytest.mark.parametrize("rows, runs", [
    pytest.param(['r="1" ht="20"', 'r="2" ht="20"', 'ht="20"'], [[1, 3, {"ht": "20"}]],
                 id="in-sequence"),
    pytest.param(['r="1" ht="20"', 'r="3" ht="20"', 'r="4" ht="2&#48;"'],
                 [[1, 1, {"ht": "20"}], [3, 4, {"ht": "20"}]], id="a-gap"),
    pytest.param(['r="1" ht="20"', 'r="2"', 'r="3" ht="20"', 'r="4" ht="30"'],
                 [[1, 1, {"ht": "20"}], [3, 3, {"ht": "20"}], [4, 4, {"ht": "30"}]],
                 id="a-row-without"),
    pytest.param(['r="5" ht="10"', 'r="3" ht="20"', 'r="5" ht="30"', 'r="6" ht="30"'],
                 [[5, 5, {"ht": "10"}], [3, 3, {"ht": "20"}], [5, 6, {"ht": "30"}]],
                 id="out-of-order"),
])
def test_rows_alike_in_sequence_are_one_run_in_both_readers(rows, runs):
    body = "".join(f"<row {attrs}><c><v>1</v></c></row>" for attrs in rows)
    data = f'<worksheet xmlns="{MAIN}"><sheetData>{body}</sheetData></worksheet>'.encode()
    kw = {"row_dimensions": {}, "row_runs": []}
    pure = bind_check.pure_bind(data, dict(kw, row_runs=[]), bind_check.STYLES)
    native = bind_check.native_bind(data, dict(kw, row_runs=[]), bind_check.STYLES)
    assert pure[0] == native[0] == "ok"
    assert [list(run) for run in native[3]] == pure[3] == runs
    # Runs of equal attributes share the dict, as the rows of one run do.
    assert shared_groups(dict(enumerate(r[2] for r in native[3]))) == \
        shared_groups(dict(enumerate(r[2] for r in pure[3])))


@pytest.mark.parametrize("native", ENGINE)
def test_a_row_read_again_takes_the_settings_it_was_last_read_with(native):
    rows = ('<row r="5" ht="10" customHeight="1"/><row r="3" ht="20" customHeight="1"/>'
            '<row r="5" ht="30" customHeight="1"/><row r="6" ht="30" customHeight="1"/>')
    data = xlsx([f'<worksheet xmlns="{MAIN}"><sheetData>{rows}</sheetData></worksheet>'])
    dims = brindle.load_workbook(io.BytesIO(data), native=native).active.row_dimensions
    assert sorted(dims) == [3, 5, 6]
    assert [dims[r].height for r in (3, 5, 6)] == [20, 30, 30]
