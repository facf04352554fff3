// RowReader: the streaming reader of read-only worksheets.
//
// Rows are parsed ahead and held back until the source position has passed
// the next 16 KiB boundary beyond where the row ended, so that an error found
// shortly after a row reaches the host before the row does.
#include <Python.h>

#include <lib/args.hpp>
#include <lib/borrow.hpp>
#include <lib/errors.hpp>
#include <lib/once.hpp>
#include <lib/pyref.hpp>
#include <lib/types.hpp>
#include <sheet/parser.hpp>
#include <slots.hpp>

#include <deque>
#include <memory>
#include <new>
#include <string>
#include <vector>

namespace brindle {
namespace {

constexpr std::uint64_t kHoldBack = 16384;

struct Queued {
    Item item;
    std::uint64_t stamp;
};

struct ReaderState {
    std::unique_ptr<SheetParser> parser;
    std::deque<Queued> queue;
    bool end = false;
    PyRef pending;  // the error that ended the parse, raised again on every later call
    std::optional<SlotClass> layout;
    std::vector<std::string> layout_extra;  // the extra_none names the layout was built for
    PyRef actions;
    std::vector<std::vector<CellRec>> spare;  // cell arrays of returned rows, reused
};

struct RowReaderObject {
    PyObject_HEAD
    BorrowFlag flag;
    ReaderState* st;
};

RowReaderObject* as_reader(PyObject* self) { return reinterpret_cast<RowReaderObject*>(self); }

int visit_item(const Item& it, visitproc visit, void* arg) {
    for (const CellRec& c : it.cells)
        if (int e = visit_cell(c, visit, arg)) return e;
    return 0;
}

// The parse error as the host sees it from this reader: NativeFallback
// itself, or any other exception folded into one.
[[gnu::cold, gnu::noinline]] void wrap_error() {
    PyRef exc = PyRef::steal(PyErr_GetRaisedException());
    PyObject* nf = native_fallback_type();
    if (!nf) return;
    if (exc && PyObject_TypeCheck(exc.get(), reinterpret_cast<PyTypeObject*>(nf))) {
        PyErr_SetRaisedException(exc.release());
        return;
    }
    std::string msg = "native reader error: ";
    if (exc) {
        PyRef qn = PyRef::steal(PyType_GetQualName(Py_TYPE(exc.get())));
        const char* q = qn ? PyUnicode_AsUTF8(qn.get()) : nullptr;
        if (!q) PyErr_Clear();
        msg += q ? q : "?";
        PyRef s = PyRef::steal(PyObject_Str(exc.get()));
        const char* t = s ? PyUnicode_AsUTF8(s.get()) : nullptr;
        if (t) {
            msg += ": ";
            msg += t;
        } else {
            PyErr_Clear();
            msg += ": <exception str() failed>";
        }
    }
    PyRef text = PyRef::steal(PyUnicode_FromStringAndSize(msg.data(), Py_ssize_t(msg.size())));
    if (!text) return;
    PyRef fb = PyRef::steal(PyObject_CallOneArg(nf, text.get()));
    if (!fb) return;
    if (exc) PyException_SetContext(fb.get(), exc.release());
    PyErr_SetRaisedException(fb.release());
}

[[gnu::cold, gnu::noinline]] PyResult<Item> fail(ReaderState& st) {
    st.queue.clear();
    PyObject* exc = PyErr_GetRaisedException();
    st.pending = PyRef::borrow(exc);
    PyErr_SetRaisedException(exc);
    return py_err();
}

bool append_element(ReaderState& st, const Item& it) {
    PyRef bytes = PyRef::steal(PyBytes_FromStringAndSize(it.bytes.data(), Py_ssize_t(it.bytes.size())));
    if (!bytes) return false;
    PyRef ns = PyRef::steal(st.parser->ns_list(it.namespaces));
    if (!ns) return false;
    PyRef entry = PyRef::steal(Py_BuildValue("(sOO)", "element", bytes.get(), ns.get()));
    return entry && PyList_Append(st.actions.get(), entry.get()) == 0;
}

PyResult<Item> next_ready(ReaderState& st) {
    if (st.pending) {
        st.queue.clear();
        PyErr_SetRaisedException(Py_NewRef(st.pending.get()));
        return py_err();
    }
    SheetParser& p = *st.parser;
    for (;;) {
        if (!st.queue.empty()) {
            Queued& q = st.queue.front();
            if (st.end || p.abs_pos() >= (q.stamp & ~(kHoldBack - 1)) + kHoldBack) {
                Item it = std::move(q.item);
                st.queue.pop_front();
                return it;
            }
        } else if (st.end) {
            return Item{};
        }
        Item it;
        if (!st.spare.empty()) {
            it.cells = std::move(st.spare.back());
            st.spare.pop_back();
        }
        if (auto r = p.next_item_into(it); !r) {
            p.raise(r.error());
            wrap_error();
            return fail(st);
        }
        if (it.kind == Item::Kind::End) {
            st.end = true;
        } else if (it.kind == Item::Kind::Element) {
            // Appended as soon as it is read: warnings of the rows parsed
            // ahead go to `actions` at parse time too, and the host replays
            // the list in document order.
            if (!append_element(st, it)) return fail(st);
        } else {
            st.queue.push_back({std::move(it), p.abs_pos()});
        }
    }
}

PyResult<Item> next_row_item(ReaderState& st) { return next_ready(st); }

// Rows are released in bursts (a whole 16 KiB block at a time) and parsed
// in bursts, so the pool must hold about a block's worth of rows to spare
// the parse its allocations; it never exceeds what was queued at once.
void recycle(ReaderState& st, Item& it) {
    it.cells.clear();
    if (st.spare.size() < 4096 && it.cells.capacity() != 0) st.spare.push_back(std::move(it.cells));
}

// The Python int of a row number, shared by the cells of one row.
struct RowInts {
    std::int64_t value = 0;
    PyRef obj;
    PyObject* get(std::int64_t v) {
        if (!obj || v != value) {
            obj = PyRef::steal(PyLong_FromLongLong(v));
            value = v;
        }
        return obj.get();
    }
};

PyObject* reader_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    PyObject* a[3];
    if (!parse_args_tuple({"RowReader", {"source", "parser", "helpers"}, 3}, args, kwargs, a)) return nullptr;
    if (!PyDict_Check(a[2])) {
        PyErr_Format(PyExc_TypeError, "RowReader() argument 'helpers' must be dict, not %.200s",
                     Py_TYPE(a[2])->tp_name);
        return nullptr;
    }
    try {
        PyResult<Helpers> helpers = Helpers::from_dict(a[2]);
        if (!helpers) return nullptr;
        PyResult<Settings> settings = Settings::from_parser(a[1]);
        if (!settings) return nullptr;
        PyRef actions = PyRef::steal(PyList_New(0));
        if (!actions) return nullptr;
        PyRef rd = PyRef::steal(PyObject_GetAttrString(a[1], "row_dimensions"));
        if (!rd) return nullptr;
        if (!PyDict_Check(rd.get())) {
            PyErr_Format(PyExc_TypeError, "row_dimensions must be dict, not %.200s", Py_TYPE(rd.get())->tp_name);
            return nullptr;
        }
        auto st = std::make_unique<ReaderState>();
        st->actions = actions.clone();
        st->parser = std::make_unique<SheetParser>(a[0], std::move(*helpers), std::move(*settings),
                                                   std::move(actions), std::move(rd));
        PyObject* self = type->tp_alloc(type, 0);
        if (!self) return nullptr;
        new (&as_reader(self)->flag) BorrowFlag();
        as_reader(self)->st = st.release();
        return self;
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

int reader_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    ReaderState* st = as_reader(self)->st;
    if (!st) return 0;
    if (st->parser)
        if (int e = st->parser->visit(visit, arg)) return e;
    for (const Queued& q : st->queue)
        if (int e = visit_item(q.item, visit, arg)) return e;
    if (int e = st->pending.visit(visit, arg)) return e;
    if (st->layout) Py_VISIT(st->layout->cls());
    return st->actions.visit(visit, arg);
}

int reader_clear(PyObject* self) {
    // Everything goes at once: the reader is garbage, and its parts may run
    // arbitrary code as they are released, after the slot is already empty.
    ReaderState* st = std::exchange(as_reader(self)->st, nullptr);
    delete st;
    return 0;
}

void reader_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    reader_clear(self);
    as_reader(self)->flag.~BorrowFlag();
    tp->tp_free(self);
    Py_DECREF(tp);
}

[[gnu::cold]] PyObject* cleared() {
    PyErr_SetString(PyExc_RuntimeError, "RowReader has been cleared");
    return nullptr;
}

PyObject* raw_rows(ReaderState& st) {
    PyResult<Item> got = next_row_item(st);
    if (!got) return nullptr;
    Item& it = *got;
    if (it.kind == Item::Kind::End) Py_RETURN_NONE;
    SheetParser& p = *st.parser;
    PyRef list = PyRef::steal(PyList_New(Py_ssize_t(it.cells.size())));
    if (!list) return nullptr;
    RowInts rows;
    for (std::size_t k = 0; k < it.cells.size(); ++k) {
        CellRec& c = it.cells[k];
        PyObject* row = rows.get(c.row);
        if (!row) return nullptr;
        PyRef col = PyRef::steal(PyLong_FromLongLong(c.column));
        PyRef val = PyRef::steal(p.val_to_py(c.value));
        if (!col || !val) return nullptr;
        PyRef dt = PyRef::steal(p.dtype_to_py(c.data_type));
        PyRef style = PyRef::steal(SheetParser::style_to_py(c.style));
        if (!style) return nullptr;
        PyObject* t = PyTuple_Pack(5, row, col.get(), val.get(), dt.get(), style.get());
        if (!t) return nullptr;
        PyList_SET_ITEM(list.get(), Py_ssize_t(k), t);
    }
    PyRef idx = PyRef::steal(PyLong_FromLongLong(it.row));
    if (!idx) return nullptr;
    recycle(st, it);
    return PyTuple_Pack(2, idx.get(), list.get());
}

PyObject* next_raw(PyObject* self, PyObject*) {
    Exclusive hold(as_reader(self)->flag);
    if (!hold.ok()) return nullptr;
    ReaderState* st = as_reader(self)->st;
    if (!st) return cleared();
    try {
        return raw_rows(*st);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

[[gnu::cold]] PyObject* arg_type(const char* name, const char* want, PyObject* got) {
    PyErr_Format(PyExc_TypeError, "RowReader.next_row() argument '%s' must be %s, not %.200s", name, want,
                 Py_TYPE(got)->tp_name);
    return nullptr;
}

// The extra slot names, or false with TypeError set.
bool extra_names(PyObject* extra, std::vector<std::string>& out) {
    out.clear();
    if (!extra || extra == Py_None) return true;
    if (PyUnicode_Check(extra)) {
        arg_type("extra_none", "a sequence of str or None", extra);
        return false;
    }
    PyRef abc = PyRef::steal(PyImport_ImportModule("collections.abc"));
    if (!abc) return false;
    PyRef seq_t = PyRef::steal(PyObject_GetAttrString(abc.get(), "Sequence"));
    if (!seq_t) return false;
    int is_seq = PyObject_IsInstance(extra, seq_t.get());
    if (is_seq < 0) return false;
    if (!is_seq) {
        arg_type("extra_none", "a sequence of str or None", extra);
        return false;
    }
    PyRef items = PyRef::steal(PySequence_Tuple(extra));
    if (!items) return false;
    for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(items.get()); ++k) {
        PyObject* s = PyTuple_GET_ITEM(items.get(), k);
        if (!PyUnicode_Check(s)) {
            arg_type("extra_none", "a sequence of str or None", s);
            return false;
        }
        const char* u = PyUnicode_AsUTF8(s);
        if (!u) return false;
        out.emplace_back(u);
    }
    return true;
}

struct RowArgs {
    PyObject* ws;
    std::int64_t min_col;
    std::int64_t max_col;  // 0: none
    bool values_only;
    PyObject* cell_cls;
    PyObject* filler;
};

// The cell slots: the fixed names, the formula pair when it is kept, then
// the caller's extras. Rebuilt when the class or the extras change.
bool ensure_layout(ReaderState& st, PyObject* cls, std::vector<std::string>& extra, bool fav) {
    if (st.layout && st.layout->cls() == cls && st.layout_extra == extra) return true;
    std::vector<const char*> names = {"parent", "row", "column", "_value", "data_type", "_style_id"};
    if (fav) {
        names.push_back("formula");
        names.push_back("cached_value");
    }
    for (const std::string& e : extra) names.push_back(e.c_str());
    PyResult<SlotClass> sc = SlotClass::resolve(cls, names);
    if (!sc) return false;
    st.layout = std::move(*sc);
    st.layout_extra = std::move(extra);
    return true;
}

PyObject* row_tuple(ReaderState& st, const RowArgs& a, std::vector<std::string>& extra) {
    SheetParser& p = *st.parser;
    const bool fav = p.settings().formula_and_value;
    if (!a.values_only && !ensure_layout(st, a.cell_cls, extra, fav)) return nullptr;
    PyResult<Item> got = next_row_item(st);
    if (!got) return nullptr;
    Item& it = *got;
    if (it.kind == Item::Kind::End) Py_RETURN_NONE;
    PyRef idx = PyRef::steal(PyLong_FromLongLong(it.row));
    if (!idx) return nullptr;
    if (it.cells.empty() && a.max_col == 0) {
        PyRef empty = PyRef::steal(PyTuple_New(0));
        if (!empty) return nullptr;
        recycle(st, it);
        return PyTuple_Pack(2, idx.get(), empty.get());
    }
    const std::int64_t top = a.max_col != 0 ? a.max_col : it.cells.back().column;
    const __int128 w = static_cast<__int128>(top) - a.min_col + 1;
    if (w > PY_SSIZE_T_MAX) return PyErr_NoMemory();
    const Py_ssize_t width = w < 0 ? 0 : Py_ssize_t(w);
    PyRef out = PyRef::steal(PyTuple_New(width));
    if (!out) return nullptr;
    for (Py_ssize_t k = 0; k < width; ++k) PyTuple_SET_ITEM(out.get(), k, Py_NewRef(a.filler));
    RowInts rows;
    for (CellRec& c : it.cells) {
        if (c.column < a.min_col || c.column > top) continue;
        PyRef cell;
        if (a.values_only) {
            cell = PyRef::steal(p.val_to_py(c.value));
            if (!cell) return nullptr;
        } else {
            PyRef vals[8];
            PyObject* row = rows.get(c.row);
            if (!row) return nullptr;
            vals[0] = PyRef::borrow(a.ws);
            vals[1] = PyRef::borrow(row);
            vals[2] = PyRef::steal(PyLong_FromLongLong(c.column));
            vals[3] = PyRef::steal(p.val_to_py(c.value));
            if (!vals[2] || !vals[3]) return nullptr;
            vals[4] = PyRef::steal(p.dtype_to_py(c.data_type));
            vals[5] = PyRef::steal(SheetParser::style_to_py(c.style));
            if (!vals[5]) return nullptr;
            std::size_t used = 6;
            if (fav) {
                if (c.formula_cell) vals[6] = vals[3].clone();
                else if (c.has_formula) vals[6] = PyRef::steal(p.val_to_py(c.formula));
                else vals[6] = PyRef::borrow(Py_None);
                vals[7] = c.has_cached ? PyRef::steal(p.val_to_py(c.cached)) : vals[3].clone();
                if (!vals[6] || !vals[7]) return nullptr;
                used = 8;
            }
            // The extra_none slots past `used` are set to None by build().
            PyResult<PyRef> built = st.layout->build(std::span<PyRef>(vals, used));
            if (!built) return nullptr;
            cell = std::move(*built);
        }
        const Py_ssize_t pos = Py_ssize_t(c.column - a.min_col);
        PyObject* old = PyTuple_GET_ITEM(out.get(), pos);
        PyTuple_SET_ITEM(out.get(), pos, cell.release());
        Py_DECREF(old);
    }
    recycle(st, it);
    return PyTuple_Pack(2, idx.get(), out.get());
}

PyObject* next_row(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    PyObject* a[7] = {};
    if (!parse_args({"RowReader.next_row",
                     {"ws", "min_col", "max_col", "values_only", "cell_cls", "filler", "extra_none"}, 6},
                    args, nargs, kw, a))
        return nullptr;
    RowArgs ra{a[0], 0, 0, false, a[4], a[5]};
    if (!PyLong_Check(a[1])) return arg_type("min_col", "int", a[1]);
    ra.min_col = PyLong_AsLongLong(a[1]);
    if (ra.min_col == -1 && PyErr_Occurred()) return nullptr;
    if (a[2] != Py_None) {
        if (!PyLong_Check(a[2])) return arg_type("max_col", "int or None", a[2]);
        ra.max_col = PyLong_AsLongLong(a[2]);
        if (ra.max_col == -1 && PyErr_Occurred()) return nullptr;
    }
    if (!PyBool_Check(a[3])) return arg_type("values_only", "bool", a[3]);
    ra.values_only = a[3] == Py_True;
    if (!PyType_Check(a[4])) return arg_type("cell_cls", "a type", a[4]);
    Exclusive hold(as_reader(self)->flag);
    if (!hold.ok()) return nullptr;
    ReaderState* st = as_reader(self)->st;
    if (!st) return cleared();
    try {
        std::vector<std::string> extra;
        if (!extra_names(a[6], extra)) return nullptr;
        return row_tuple(*st, ra, extra);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

PyObject* get_actions(PyObject* self, void*) {
    ReaderState* st = as_reader(self)->st;
    return st && st->actions ? Py_NewRef(st->actions.get()) : PyList_New(0);
}

PyMethodDef reader_methods[] = {
    {"next_row", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(next_row)),
     METH_FASTCALL | METH_KEYWORDS,
     "next_row($self, ws, min_col, max_col, values_only, cell_cls, filler, extra_none=None)\n--\n\n"
     "Mirrors ReadOnlyWorksheet._get_row for the next row in the source.\n"
     "Returns None at the end, else (idx, tuple_of_cells_or_values)."},
    {"next_raw", next_raw, METH_NOARGS,
     "next_raw($self)\n--\n\n"
     "Next raw row: (idx, [(row, column, value, data_type, style_id), ...])\n"
     "or None at the end of the document."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef reader_getset[] = {
    {"actions", get_actions, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot reader_slots[] = {
    {Py_tp_doc, const_cast<char*>("RowReader(source, parser, helpers)\n--\n\n"
                                  "Streaming row reader used by ReadOnlyWorksheet.")},
    {Py_tp_new, reinterpret_cast<void*>(reader_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(reader_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(reader_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(reader_clear)},
    {Py_tp_methods, reader_methods},
    {Py_tp_getset, reader_getset},
    {0, nullptr},
};

PyType_Spec reader_spec = {
    "brindle._brindle.RowReader",
    sizeof(RowReaderObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    reader_slots,
};

OnceObject reader_type_cell;

}  // namespace

PyObject* row_reader_type() {
    return reader_type_cell.get([] { return PyType_FromSpec(&reader_spec); });
}

}  // namespace brindle
