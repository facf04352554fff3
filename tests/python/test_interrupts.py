"""Ctrl-C and SystemExit while the engine or the pure-Python readers and writers
are at work: they pass unchanged, never folded into NativeFallback (which would
make the host redo the work), never swallowed."""

import io

import pytest

import brindle
from brindle import _brindle as m
from testkit import make_helpers, make_parser
from testkit import Cell
from brindle.reader import dimension, full, rows, string_table
from brindle.styles.cell_style import StyleArray
from brindle.reader import workbook as wb_mod
from brindle.writer.cell import make_writer_helpers
import pure_prescan as prescan
import pure_sheet_writer as sheet_writer

MAIN = "http://schemas.openxmlformats.org/spreadsheetml/2006/main"
SHEET = (f'<worksheet xmlns="{MAIN}"><dimension ref="A1:B9000"/><sheetData>'
         + "".join(f'<row r="{r}"><c r="A{r}"><v>{r}</v></c><c r="B{r}" t="s"><v>0</v></c></row>'
                   for r in range(1, 9000))
         + "</sheetData></worksheet>").encode()
SST = (f'<sst xmlns="{MAIN}">' + "<si><t>text</t></si>" * 20000 + "</sst>").encode()

INTERRUPTS = pytest.mark.parametrize("exc", [KeyboardInterrupt, SystemExit, GeneratorExit])


class Interrupting(io.RawIOBase):
    """A byte source that raises `exc` on the read after `after` bytes."""

    def __init__(self, data, exc, after=40_000):
        self._src = io.BytesIO(data)
        self._exc = exc
        self._after = after
        self.reads = 0

    def readable(self):
        return True

    def readinto(self, buf):
        self.reads += 1
        if self._src.tell() >= self._after:
            raise self._exc("interrupted")
        return self._src.readinto(buf)


def drain(reader):
    while reader.next_row(None, 1, None, True, rows.ReadOnlyCell, None) is not None:
        pass


@INTERRUPTS
@pytest.mark.parametrize("cls", [m.RowReader, rows.RowReader], ids=["native", "pure"])
def test_row_reader_passes_an_interrupt_on(cls, exc):
    reader = cls(Interrupting(SHEET, exc), make_parser(shared_strings=["s"]), make_helpers())
    with pytest.raises(exc, match="interrupted"):
        drain(reader)
    # The reader is done for: a later call raises the same, never "end of sheet".
    with pytest.raises(exc):
        drain(reader)


@INTERRUPTS
@pytest.mark.parametrize("where", ["int", "row_index"])
@pytest.mark.parametrize("cls", [m.RowReader, rows.RowReader], ids=["native", "pure"])
def test_row_reader_passes_on_an_interrupt_of_a_helper(cls, exc, where):
    def helper(text):
        raise exc("interrupted")

    data = f'<worksheet xmlns="{MAIN}"><sheetData><row r="+1"><c s="+0"><v>1</v></c></row>' \
           "</sheetData></worksheet>"
    reader = cls(io.BytesIO(data.encode()), make_parser(), make_helpers(**{where: helper}))
    with pytest.raises(exc, match="interrupted"):
        drain(reader)


@INTERRUPTS
@pytest.mark.parametrize("call", [
    lambda src: m.read_string_table(src, make_helpers()),
    lambda src: string_table.read_string_table(src, make_helpers()),
    lambda src: m.prescan_sheet(src, True, [(1, 1)], make_helpers()),
    lambda src: prescan.prescan_sheet(src, True, [(1, 1)], make_helpers()),
], ids=["strings-native", "strings-pure", "prescan-native", "prescan-pure"])
def test_functions_pass_an_interrupt_on(call, exc):
    data = SST if call.__code__.co_names.count("read_string_table") else SHEET
    with pytest.raises(exc, match="interrupted"):
        call(Interrupting(data, exc))


@INTERRUPTS
@pytest.mark.parametrize("bind", [m.bind_cells, full.bind_cells], ids=["native", "pure"])
def test_bind_cells_passes_an_interrupt_on(bind, exc):
    store = m.CellStore() if bind is m.bind_cells else {}
    styles = [StyleArray([0] * 9)]
    with pytest.raises(exc, match="interrupted"):
        bind(Interrupting(SHEET, exc), make_parser(shared_strings=["s"]), "ws", store, styles,
             Cell, make_helpers(), [])
    assert len(store) == 0 or bind is full.bind_cells


@INTERRUPTS
def test_a_store_key_that_interrupts_is_no_miss(exc):
    class Key(int):
        def __eq__(self, other):
            raise exc("interrupted")

        __hash__ = int.__hash__

    store = m.CellStore()
    store[(1, 1)] = "x"
    with pytest.raises(exc, match="interrupted"):
        store.get((Key(1), 1))
    with pytest.raises(exc, match="interrupted"):
        (Key(1), 1) in store  # noqa: B015


@INTERRUPTS
@pytest.mark.parametrize("find", [m.find_dimension, dimension.find_dimension],
                         ids=["native", "pure"])
def test_find_dimension_passes_an_interrupt_on(find, exc):
    data = f'<worksheet xmlns="{MAIN}">'.encode() + b" " * 100_000 + b"<dimension ref='A1'/>"
    with pytest.raises(exc, match="interrupted"):
        find(Interrupting(data, exc, after=10))


@INTERRUPTS
@pytest.mark.parametrize("cls", [m.SheetWriter, sheet_writer.SheetWriter], ids=["native", "pure"])
def test_sheet_writer_passes_an_interrupt_of_write_on(cls, exc):
    ws = brindle.Workbook(write_only=True).create_sheet()

    def write(text):
        raise exc("interrupted")

    writer = cls(ws, write, False, make_writer_helpers(False))
    big = "x" * 400_000
    with pytest.raises(exc, match="interrupted"):
        for r in range(1, 10):
            writer.write_row([brindle.Cell(ws, r, 1, big)], r)
        writer.flush()


# Only the engine can read ahead and fall back, which is what this guards; a
# build without the engine has nothing to check. Under CI any skip fails.
# Interrupts the engine's reader itself: a pure-Python install has none to
# interrupt (its reader is covered above); under CI a skip fails the run.
@pytest.mark.skipif(wb_mod.native_engine() is None, reason="engine not built")
@INTERRUPTS
def test_the_host_does_not_read_an_interrupted_sheet_again(monkeypatch, tmp_path, exc):
    wb = brindle.Workbook()
    ws = wb.active
    for r in range(1, 9000):
        ws.append([r, "text"])
    path = tmp_path / "book.xlsx"
    wb.save(path)
    opened = []
    real = wb_mod.ReadOnlyWorkbook.open_part

    def open_part(self, part):
        src = real(self, part)
        if "worksheets" not in part:
            return src
        opened.append(part)
        return Interrupting(src.read(), exc)

    monkeypatch.setattr(wb_mod.ReadOnlyWorkbook, "open_part", open_part)
    with brindle.load_workbook(path, read_only=True) as book:
        with pytest.raises(exc, match="interrupted"):
            for _ in book.worksheets[0].iter_rows(values_only=True):
                pass
    assert len(opened) == 1
