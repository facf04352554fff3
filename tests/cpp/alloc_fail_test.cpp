// Every entry point under allocation failure: the n-th allocation request
// made during the call (interpreter domains raw / mem / obj and C++
// operator new alike) fails, for every n until a call runs through without
// reaching it. Each call must raise MemoryError or NativeFallback (or
// succeed with the normal result where the failure was recovered from), must
// not abort, and must leave no allocation behind.
//
// Its own binary: it replaces the global operator new, which the sanitizers'
// allocator does not tolerate.
#include "py_env.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <string>

namespace {

// Requests still to go before the one that fails; 0: disarmed.
std::atomic<long> countdown{0};
std::atomic<bool> injected{false};
// Live blocks: successful allocations minus frees, over all domains.
std::atomic<long> live{0};

bool should_fail() {
    long c = countdown.load(std::memory_order_relaxed);
    if (c == 0) return false;
    countdown.store(c - 1, std::memory_order_relaxed);
    if (c != 1) return false;
    injected.store(true, std::memory_order_relaxed);
    return true;
}

PyMemAllocatorEx originals[3];

void* hook_malloc(void* ctx, size_t n) {
    if (should_fail()) return nullptr;
    auto* a = static_cast<PyMemAllocatorEx*>(ctx);
    void* p = a->malloc(a->ctx, n);
    if (p) live.fetch_add(1, std::memory_order_relaxed);
    return p;
}

void* hook_calloc(void* ctx, size_t n, size_t size) {
    if (should_fail()) return nullptr;
    auto* a = static_cast<PyMemAllocatorEx*>(ctx);
    void* p = a->calloc(a->ctx, n, size);
    if (p) live.fetch_add(1, std::memory_order_relaxed);
    return p;
}

void* hook_realloc(void* ctx, void* old, size_t n) {
    if (should_fail()) return nullptr;
    auto* a = static_cast<PyMemAllocatorEx*>(ctx);
    void* p = a->realloc(a->ctx, old, n);
    if (p && !old) live.fetch_add(1, std::memory_order_relaxed);
    return p;
}

void hook_free(void* ctx, void* p) {
    if (p) live.fetch_sub(1, std::memory_order_relaxed);
    auto* a = static_cast<PyMemAllocatorEx*>(ctx);
    a->free(a->ctx, p);
}

void install_hooks() {
    const PyMemAllocatorDomain domains[3] = {PYMEM_DOMAIN_RAW, PYMEM_DOMAIN_MEM, PYMEM_DOMAIN_OBJ};
    for (int d = 0; d < 3; ++d) {
        PyMem_GetAllocator(domains[d], &originals[d]);
        PyMemAllocatorEx hook{&originals[d], hook_malloc, hook_calloc, hook_realloc, hook_free};
        PyMem_SetAllocator(domains[d], &hook);
    }
}

}  // namespace

// Not inlined: the compiler would otherwise see malloc paired with delete
// at the call sites and take it for a mismatch.
[[gnu::noinline]] void* operator new(std::size_t n) {
    if (should_fail()) throw std::bad_alloc();
    void* p = std::malloc(n ? n : 1);
    if (!p) throw std::bad_alloc();
    live.fetch_add(1, std::memory_order_relaxed);
    return p;
}
void* operator new[](std::size_t n) { return operator new(n); }
[[gnu::noinline]] void operator delete(void* p) noexcept {
    if (p) live.fetch_sub(1, std::memory_order_relaxed);
    std::free(p);
}
void operator delete[](void* p) noexcept { operator delete(p); }
void operator delete(void* p, std::size_t) noexcept { operator delete(p); }
void operator delete[](void* p, std::size_t) noexcept { operator delete(p); }

namespace brindle::testing {
namespace {

// Each case: setup() (not under injection) returns (callable, args); the
// call is made under injection; its result is compared with a clean run.
constexpr const char* kCases = R"PY(
import datetime, gc, io
import brindle
from brindle import _brindle as m
from testkit import Cell as StoreCell, make_helpers, make_parser
from brindle.styles.cell_style import StyleArray
from brindle.writer.cell import make_writer_helpers
from brindle.writer.rows import sorted_rows
from brindle.cell.cell import ERROR_CODES

MAIN = "http://schemas.openxmlformats.org/spreadsheetml/2006/main"
# Inputs the engine reads without calling back into host Python code: under
# injected failures the interpreter's own code is not held to this test.
SST = (f'<sst xmlns="{MAIN}"><si><t>a&amp;b</t></si><si><t>x_x005F_y</t></si>'
       '<si><r><t>b</t></r><r><t>c</t></r></si></sst>').encode()
SHEET = (f'<worksheet xmlns="{MAIN}"><sheetPr/><dimension ref="A1:D3"/><sheetData>'
         '<row r="1" spans="1:4"><c r="A1"><v>1</v></c><c r="B1" t="s"><v>0</v></c>'
         '<c r="C1" t="str"><v>x</v></c><c r="D1" s="1"><v>45000.5</v></c></row>'
         '<row r="2" ht="30" customHeight="1"><c r="A2"><f>A1+1</f><v>2</v></c>'
         '<c r="B2" t="b"><v>1</v></c><c r="C2" t="inlineStr"><is><t>in</t></is></c>'
         '<c r="D2" t="e"><v>#N/A</v></c></row>'
         '<row r="3"><c r="A3"><f t="shared" ref="A3:A4" si="0">A2*2</f><v>4</v></c></row>'
         '<row r="4"><c r="A4"><f t="shared" si="0"/><v>8</v></c><c r="B4"><v>123456789012345678901</v></c></row>'
         '</sheetData><mergeCells count="1"><mergeCell ref="A1:B1"/></mergeCells></worksheet>').encode()
HELPERS = make_helpers()
FILLER = object()

class Cell:
    __slots__ = ("parent", "row", "column", "_value", "data_type", "_style_id", "formula",
                 "cached_value")

    def __repr__(self):
        return repr(tuple(getattr(self, name, "unset") for name in self.__slots__))

def drain(step):
    out = []
    while (row := step()) is not None:
        out.append(repr(row))
    return out

def rows_of(r, raw):
    if raw:
        return drain(r.next_raw)
    return drain(lambda: r.next_row("ws", 1, None, False, Cell, FILLER))

def values_of(r):
    return drain(lambda: r.next_row("ws", 1, 5, True, Cell, FILLER))

def parser():
    return make_parser(shared_strings=["s0"])

def new_reader():
    return m.RowReader(io.BytesIO(SHEET), parser(), HELPERS)

def write_sheet():
    wb = brindle.Workbook()
    ws = wb.active
    ws.append([1, "a<b", 2.5, True, None, datetime.datetime(2020, 1, 2, 3, 4, 5), "=A1+1"])
    ws.append([-7, "x" * 40, 1e300])
    ws.cell(3, 2).number_format = "0.00%"
    ws.cell(3, 2).value = 0.5
    return ws, list(sorted_rows(ws))

def write_rows(w, rows, out):
    for r, cells in rows:
        w.write_row(cells, r)
    w.flush()
    return "".join(out)

def case_read_string_table():
    return m.read_string_table, (io.BytesIO(SST), HELPERS)
def case_find_dimension():
    return m.find_dimension, (io.BytesIO(SHEET),)
def case_prescan_sheet():
    return m.prescan_sheet, (io.BytesIO(SHEET), True, [(1, 1), [2, 3], (4, 2)], HELPERS)
def case_row_reader_new():
    return (lambda *a: type(m.RowReader(*a)).__name__), (io.BytesIO(SHEET), parser(), HELPERS)
def case_next_row():
    return rows_of, (new_reader(), False)
def case_next_row_values():
    return values_of, (new_reader(),)
def case_next_raw():
    return rows_of, (new_reader(), True)
def case_sheet_writer_new():
    ws, _ = write_sheet()
    return (lambda *a: type(m.SheetWriter(*a)).__name__), (ws, [].append, False, make_writer_helpers(False))
def case_write_row():
    ws, rows = write_sheet()
    out = []
    return write_rows, (m.SheetWriter(ws, out.append, False, make_writer_helpers(False)), rows, out)

def plain_rows(w, rows, date_styles, out):
    for r, values in enumerate(rows, 1):
        w.write_plain_row(values, r, date_styles, ERROR_CODES)
    w.flush()
    return "".join(out)

def case_write_plain_row():
    wb = brindle.Workbook(write_only=True)
    ws = wb.create_sheet()
    date_styles = {datetime.datetime: brindle.StyleArray([0, 0, 0, 22, 0, 0, 0, 0, 0])}
    rows = [[1, "a<b", 2.5, True, None, datetime.datetime(2020, 1, 2, 3, 4, 5), "=A1+1"],
            (-7, "x" * 40, 1e300, "#N/A"), []]
    out = []
    w = m.SheetWriter(ws, out.append, False, make_writer_helpers(False))
    return plain_rows, (w, rows, date_styles, out)

def sheet_data(w, out):
    w.write_sheet_data(None)
    return "".join(out)

def case_write_sheet_data():
    ws, _ = write_sheet()
    ws.row_dimensions[5].height = 20
    out = []
    return sheet_data, (m.SheetWriter(ws, out.append, False, make_writer_helpers(False)), out)

def case_write_sheet_data_store():
    ws, _ = write_sheet()
    ws.parent._cell_styles.add(brindle.StyleArray([0, 0, 0, 10, 0, 0, 0, 0, 0]))
    store = m.CellStore()
    m.bind_cells(io.BytesIO(SHEET), parser(), ws, store, ws.parent._cell_styles, brindle.Cell,
                 HELPERS, [])
    ws._cells = store
    ws._cells[(2, 9)] = brindle.Cell(ws, 2, 9, "side")
    del ws._cells[(4, 2)]  # its int is beyond 64 bits: the host's ElementTree would write it
    out = []
    return sheet_data, (m.SheetWriter(ws, out.append, False, make_writer_helpers(False)), out)

STYLES = [StyleArray([0] * 9), StyleArray([1] * 9)]

def load(store, parser, source):
    actions = []
    m.bind_cells(source, parser, "ws", store, STYLES, StoreCell, HELPERS, actions)
    return [(k, store[k].value, store[k].data_type, store[k]._style) for k in store] + actions

def store_ops(store):
    out = [len(store), (1, 1) in store, (1.0, 2) in store, store.get((9, 9), "d"),
           store._row(2, 1, 5, True), [c.value for c in store._row(3, 1, 2, False)[0]]]
    store[(7, 7)] = "x"
    del store[(1, 1)]
    out += [list(store), list(reversed(store)), store.popitem()[0], store._bounds()]
    store[("odd", 1)] = "y"  # dictionary mode from here
    out += [list(store), store._row(1, 2, 3, True), store.popitem()[0], store._in_dict_mode()]
    store.clear()
    return out + [len(store), store._stats()]

def case_bind_cells():
    return load, (m.CellStore(), parser(), io.BytesIO(SHEET))
def case_cell_store():
    store = m.CellStore()
    load(store, parser(), io.BytesIO(SHEET))
    return store_ops, (store,)

)PY";

struct Outcome {
    bool injected;
    std::string error;  // type name, "" on success
    std::string result;
    long grown = 0;  // blocks still allocated after the call and a collection
};

class AllocFail : public PyTest, public ::testing::WithParamInterface<const char*> {
protected:
    void SetUp() override {
        // Hooks wrap the allocators in place; blocks from before are freed
        // through the same allocator, and only differences are compared.
        static bool installed = (install_hooks(), true);
        (void)installed;
        PyTest::SetUp();
        py_exec(kCases);
        fallback_ = py_eval("m.NativeFallback");
    }

    // One call with the n-th request failing (n = 0: none).
    Outcome run(long n) {
        PyRef setup = py_eval((std::string("case_") + GetParam() + "()").c_str());
        EXPECT_TRUE(setup);
        if (!setup) return {false, "setup", "", 0};
        // Taken once the case is set up: what the call adds is what counts.
        collect();
        const long before = live.load();
        injected = false;
        countdown = n;
        PyRef res = PyRef::steal(PyObject_Call(PyTuple_GET_ITEM(setup.get(), 0),
                                               PyTuple_GET_ITEM(setup.get(), 1), nullptr));
        countdown = 0;
        Outcome out{injected.load(), "", "", 0};
        PyRef exc = PyRef::steal(PyErr_GetRaisedException());
        if (!res) {
            if (PyErr_GivenExceptionMatches(exc.get(), PyExc_MemoryError)) out.error = "MemoryError";
            else if (PyErr_GivenExceptionMatches(exc.get(), fallback_.get())) out.error = "NativeFallback";
            else out.error = repr(exc.get());
        } else {
            out.result = repr(res.get());
        }
        // The case's objects (a reader, a writer) go too: anything the call
        // made and did not release is then a leak.
        res.reset();
        exc.reset();
        setup.reset();
        collect();
        out.grown = live.load() - before;
        return out;
    }

    static std::string repr(PyObject* o) {
        PyRef s = PyRef::steal(PyObject_Repr(o));
        const char* t = s ? PyUnicode_AsUTF8(s.get()) : nullptr;
        if (!t) PyErr_Clear();
        return t ? t : "<repr failed>";
    }

    static void collect() {
        PyGC_Collect();
        PyGC_Collect();
    }

    // Every n from 1 until a call no longer reaches the n-th request; adds
    // up the blocks each call left behind.
    long sweep(const std::string& reference, long* grown = nullptr) {
        long n = 1;
        for (; n < 20000; ++n) {
            Outcome o = run(n);
            if (grown) *grown += o.grown;
            if (!o.injected) {
                EXPECT_EQ(o.error, "") << "n=" << n;
                EXPECT_EQ(o.result, reference) << "n=" << n;
                break;
            }
            if (o.error.empty())
                EXPECT_EQ(o.result, reference) << "recovered at n=" << n << " with another result";
            else
                EXPECT_TRUE(o.error == "MemoryError" || o.error == "NativeFallback")
                    << "n=" << n << ": " << o.error;
        }
        return n;
    }

    PyRef fallback_;
};

TEST_P(AllocFail, RaisesAndLeaksNothing) {
    const Outcome clean = run(0);
    ASSERT_EQ(clean.error, "");
    // The first sweep fills the interpreter's caches and free lists; in the
    // second, no call may leave a block behind.
    const long requests = sweep(clean.result);
    EXPECT_GT(requests, 10);
    long grown = 0;
    sweep(clean.result, &grown);
    EXPECT_LE(grown, 0) << "blocks left behind over " << requests << " failing calls";
    EXPECT_FALSE(PyErr_Occurred());
}

INSTANTIATE_TEST_SUITE_P(EntryPoints, AllocFail,
                         ::testing::Values("read_string_table", "find_dimension", "prescan_sheet",
                                           "row_reader_new", "next_row", "next_row_values",
                                           "next_raw", "sheet_writer_new", "write_row", "write_plain_row",
                                           "bind_cells",
                                           "cell_store", "write_sheet_data", "write_sheet_data_store"),
                         [](const auto& info) { return std::string(info.param); });

}  // namespace
}  // namespace brindle::testing
