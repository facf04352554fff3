// RowReader: the streaming reader of read-only worksheets.
//
// Rows are parsed ahead and held back until the source position has passed
// the next 16 KiB boundary beyond where the row ended, so that an error found
// shortly after a row reaches the host before the row does.
#include <Python.h>

#include <frame/args.hpp>
#include <frame/borrow.hpp>
#include <frame/entry.hpp>
#include <frame/errors.hpp>
#include <frame/gc_object.hpp>
#include <frame/once.hpp>
#include <frame/pyref.hpp>
#include <xml/pyxml.hpp>
#include <frame/types.hpp>
#include <sheet/parser.hpp>
#include <sheet/slots.hpp>

#include <algorithm>
#include <deque>
#include <memory>
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
    std::deque<Item> split;  // the rest of a row split by the rows its cells name
    bool end = false;
    PyRef pending;  // the error that ended the parse, raised again on every later call
    std::optional<SlotClass> layout;
    std::vector<std::string> layout_extra;  // the extra_none names the layout was built for
    PyRef actions;
    // False: elements other than rows are read (and checked) but neither
    // captured nor kept, so that a long run of them between two rows reads
    // in flat memory and time linear in the bytes.
    bool elements = true;
    ScopeLists scopes;
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
// itself, or any other ordinary exception folded into one. KeyboardInterrupt,
// SystemExit and other exceptions outside `Exception` pass unchanged: the
// host must stop, not read the sheet again.
[[gnu::cold, gnu::noinline]] void wrap_error() {
    if (PyErr_Occurred() && !PyErr_ExceptionMatches(PyExc_Exception)) return;
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
    auto fb = new_fallback(FallbackKind::Unsupported, text.get());
    if (!fb) return;
    if (exc) PyException_SetContext(fb->get(), exc.release());
    PyErr_SetRaisedException(fb->release());
}

[[gnu::cold, gnu::noinline]] PyResult<Item> fail(ReaderState& st) {
    st.queue.clear();
    st.split.clear();
    st.pending = PyRef::steal(PyErr_GetRaisedException());
    PyErr_SetRaisedException(st.pending.clone().release());
    return py_err();
}

PyResult<void> append_element(ReaderState& st, const Item& it) {
    PyRef entry;
    if (it.kind == Item::Kind::Unknown) {
        entry = BR_TRY(owned(Py_BuildValue("(ss#)", "unknown", it.bytes.data(),
                                           static_cast<Py_ssize_t>(it.bytes.size()))));
    } else {
        PyRef bytes = BR_TRY(bytes_from(it.bytes));
        PyObject* ns = BR_TRY(st.scopes.get(it.namespaces));
        entry = BR_TRY(owned(Py_BuildValue("(sOO)", "element", bytes.get(), ns)));
    }
    if (PyList_Append(st.actions.get(), entry.get()) < 0) return py_err();
    return {};
}

// A row whose cells name other rows, given as one row per row named, in
// ascending order, each with its cells in file order (as the host's reader
// does): streaming cannot go back, so a row named again after it was given
// comes again. The first part is returned, the others wait in `split`.
[[gnu::cold, gnu::noinline]] Item split_row(ReaderState& st, Item it) {
    std::stable_sort(it.cells.begin(), it.cells.end(),
                     [](const CellRec& a, const CellRec& b) { return a.row < b.row; });
    const std::size_t n = it.cells.size();
    for (std::size_t k = 0; k < n;) {
        Item part;
        part.kind = Item::Kind::Row;
        part.row = it.cells[k].row;
        for (; k < n && it.cells[k].row == part.row; ++k) part.cells.push_back(std::move(it.cells[k]));
        st.split.push_back(std::move(part));
    }
    Item first = std::move(st.split.front());
    st.split.pop_front();
    return first;
}

PyResult<Item> next_ready(ReaderState& st) {
    if (st.pending) {
        st.queue.clear();
        PyErr_SetRaisedException(Py_NewRef(st.pending.get()));
        return py_err();
    }
    if (!st.split.empty()) [[unlikely]] {
        Item it = std::move(st.split.front());
        st.split.pop_front();
        return it;
    }
    SheetParser& p = *st.parser;
    for (;;) {
        if (!st.queue.empty()) {
            Queued& q = st.queue.front();
            if (st.end || p.abs_pos() >= (q.stamp & ~(kHoldBack - 1)) + kHoldBack) {
                Item it = std::move(q.item);
                st.queue.pop_front();
                if (it.other_rows) [[unlikely]]
                    return split_row(st, std::move(it));
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
        PyResult<void> r;
        try {
            r = p.next_item_into(it);
        } catch (...) {
            // The parse stopped half way through an item: like any other
            // failure, it ends the reader (the boundary would report it,
            // but the next call must not resume from a broken state).
            raise_current_cpp_exception();
            wrap_error();
            return fail(st);
        }
        if (!r) {
            p.raise(r.error());
            wrap_error();
            return fail(st);
        }
        if (it.kind == Item::Kind::End) {
            st.end = true;
        } else if (it.kind == Item::Kind::Element || it.kind == Item::Kind::Unknown) {
            // Appended as soon as it is read: warnings of the rows parsed
            // ahead go to `actions` at parse time too, and the host replays
            // the list in document order.
            if (st.elements && !append_element(st, it)) return fail(st);
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

PyResult<PyRef> reader_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    PyObject* a[4] = {};
    BR_TRY(parse_args_tuple({"RowReader", {"source", "parser", "helpers", "elements"}, 3}, args, kwargs,
                            a));
    BR_TRY(check_helpers("RowReader", a[2]));
    if (a[3] && !PyBool_Check(a[3])) return arg_must_be("RowReader", "elements", "bool", a[3]);
    Helpers helpers = BR_TRY(Helpers::from_dict(a[2]));
    Settings settings = BR_TRY(Settings::from_parser(a[1]));
    PyRef actions = BR_TRY(owned(PyList_New(0)));
    PyRef rd = BR_TRY(owned(PyObject_GetAttrString(a[1], "row_dimensions")));
    if (!PyDict_Check(rd.get())) return must_be("row_dimensions", "dict", rd.get());
    auto st = std::make_unique<ReaderState>();
    st->actions = actions.clone();
    st->elements = a[3] != Py_False;
    st->parser = BR_TRY(SheetParser::create(a[0], std::move(helpers), std::move(settings),
                                            std::move(actions), std::move(rd)));
    st->parser->keep_elements(st->elements);
    PyRef self = BR_TRY(owned(type->tp_alloc(type, 0)));
    new (&as_reader(self.get())->flag) BorrowFlag();
    as_reader(self.get())->st = st.release();
    return self;
}

int reader_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    ReaderState* st = as_reader(self)->st;
    if (!st) return 0;
    if (st->parser)
        if (int e = st->parser->visit(visit, arg)) return e;
    for (const Queued& q : st->queue)
        if (int e = visit_item(q.item, visit, arg)) return e;
    for (const Item& it : st->split)
        if (int e = visit_item(it, visit, arg)) return e;
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

[[gnu::cold]] std::unexpected<BindError> cleared() {
    PyErr_SetString(PyExc_RuntimeError, "RowReader has been cleared");
    return py_err();
}

PyResult<PyRef> raw_rows(ReaderState& st) {
    Item it = BR_TRY(next_row_item(st));
    if (it.kind == Item::Kind::End) return PyRef::borrow(Py_None);
    SheetParser& p = *st.parser;
    PyRef list = BR_TRY(owned(PyList_New(Py_ssize_t(it.cells.size()))));
    RowInts rows;
    for (std::size_t k = 0; k < it.cells.size(); ++k) {
        CellRec& c = it.cells[k];
        PyObject* row = rows.get(c.row);
        if (!row) return py_err();
        PyRef col = BR_TRY(owned(PyLong_FromLongLong(c.column)));
        PyRef val = BR_TRY(p.val_to_py(c.value));
        PyRef dt = p.dtype_to_py(c.data_type);
        PyRef style = BR_TRY(SheetParser::style_to_py(c.style));
        PyRef t = BR_TRY(owned(PyTuple_Pack(5, row, col.get(), val.get(), dt.get(), style.get())));
        PyList_SET_ITEM(list.get(), Py_ssize_t(k), t.release());
    }
    PyRef idx = BR_TRY(owned(PyLong_FromLongLong(it.row)));
    recycle(st, it);
    return owned(PyTuple_Pack(2, idx.get(), list.get()));
}

PyResult<PyRef> next_raw(PyObject* self, PyObject*) {
    Exclusive hold(as_reader(self)->flag);
    if (!hold.ok()) return py_err();
    ReaderState* st = as_reader(self)->st;
    if (!st) return cleared();
    return raw_rows(*st);
}

[[gnu::cold]] std::unexpected<BindError> arg_type(const char* name, const char* want, PyObject* got) {
    return arg_must_be("RowReader.next_row", name, want, got);
}

// The extra slot names.
PyResult<void> extra_names(PyObject* extra, std::vector<std::string>& out) {
    out.clear();
    if (!extra || extra == Py_None) return {};
    if (PyUnicode_Check(extra)) return arg_type("extra_none", "a sequence of str or None", extra);
    PyRef abc = BR_TRY(owned(PyImport_ImportModule("collections.abc")));
    PyRef seq_t = BR_TRY(owned(PyObject_GetAttrString(abc.get(), "Sequence")));
    const int is_seq = PyObject_IsInstance(extra, seq_t.get());
    if (is_seq < 0) return py_err();
    if (!is_seq) return arg_type("extra_none", "a sequence of str or None", extra);
    PyRef items = BR_TRY(owned(PySequence_Tuple(extra)));
    for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(items.get()); ++k) {
        PyObject* s = PyTuple_GET_ITEM(items.get(), k);
        if (!PyUnicode_Check(s)) return arg_type("extra_none", "a sequence of str or None", s);
        const char* u = PyUnicode_AsUTF8(s);
        if (!u) return py_err();
        out.emplace_back(u);
    }
    return {};
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
PyResult<void> ensure_layout(ReaderState& st, PyObject* cls, std::vector<std::string>& extra, bool fav) {
    if (st.layout && st.layout->cls() == cls && st.layout_extra == extra) return {};
    std::vector<const char*> names = {"parent", "row", "column", "_value", "data_type", "_style_id"};
    if (fav) {
        names.push_back("formula");
        names.push_back("cached_value");
    }
    for (const std::string& e : extra) names.push_back(e.c_str());
    st.layout = BR_TRY(SlotClass::resolve(cls, names));
    st.layout_extra = std::move(extra);
    return {};
}

PyResult<PyRef> row_tuple(ReaderState& st, const RowArgs& a, std::vector<std::string>& extra) {
    SheetParser& p = *st.parser;
    const bool fav = p.settings().formula_and_value;
    if (!a.values_only) BR_TRY(ensure_layout(st, a.cell_cls, extra, fav));
    Item it = BR_TRY(next_row_item(st));
    if (it.kind == Item::Kind::End) return PyRef::borrow(Py_None);
    PyRef idx = BR_TRY(owned(PyLong_FromLongLong(it.row)));
    if (it.cells.empty() && a.max_col == 0) {
        PyRef empty = BR_TRY(owned(PyTuple_New(0)));
        recycle(st, it);
        return owned(PyTuple_Pack(2, idx.get(), empty.get()));
    }
    // Cells need not come in column order: without max_col the row reaches
    // its rightmost cell, wherever that stands in the row.
    std::int64_t top = a.max_col;
    if (top == 0)
        for (const CellRec& c : it.cells) top = std::max(top, c.column);
    const __int128 w = static_cast<__int128>(top) - a.min_col + 1;
    if (w > PY_SSIZE_T_MAX) {
        PyErr_NoMemory();
        return py_err();
    }
    const Py_ssize_t width = w < 0 ? 0 : Py_ssize_t(w);
    PyRef out = BR_TRY(owned(PyTuple_New(width)));
    for (Py_ssize_t k = 0; k < width; ++k) PyTuple_SET_ITEM(out.get(), k, Py_NewRef(a.filler));
    RowInts rows;
    for (CellRec& c : it.cells) {
        if (c.column < a.min_col || c.column > top) continue;
        PyRef cell;
        if (a.values_only) {
            cell = BR_TRY(p.val_to_py(c.value));
        } else {
            PyRef vals[8];
            PyObject* row = rows.get(c.row);
            if (!row) return py_err();
            vals[0] = PyRef::borrow(a.ws);
            vals[1] = PyRef::borrow(row);
            vals[2] = BR_TRY(owned(PyLong_FromLongLong(c.column)));
            vals[3] = BR_TRY(p.val_to_py(c.value));
            vals[4] = p.dtype_to_py(c.data_type);
            vals[5] = BR_TRY(SheetParser::style_to_py(c.style));
            std::size_t used = 6;
            if (fav) {
                FormulaPair* pair = c.pair.get();
                if (c.formula_cell) vals[6] = vals[3].clone();
                else if (pair && pair->has_formula) vals[6] = BR_TRY(p.val_to_py(pair->formula));
                else vals[6] = PyRef::borrow(Py_None);
                if (pair && pair->has_cached) vals[7] = BR_TRY(p.val_to_py(pair->cached));
                else vals[7] = vals[3].clone();
                used = 8;
            }
            // The extra_none slots past `used` are set to None by build().
            cell = BR_TRY(st.layout->build(std::span<PyRef>(vals, used)));
        }
        const Py_ssize_t pos = Py_ssize_t(c.column - a.min_col);
        PyObject* old = PyTuple_GET_ITEM(out.get(), pos);
        PyTuple_SET_ITEM(out.get(), pos, cell.release());
        Py_DECREF(old);
    }
    recycle(st, it);
    return owned(PyTuple_Pack(2, idx.get(), out.get()));
}

PyResult<PyRef> next_row(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    PyObject* a[7] = {};
    BR_TRY(parse_args({"RowReader.next_row",
                       {"ws", "min_col", "max_col", "values_only", "cell_cls", "filler", "extra_none"},
                       6},
                      args, nargs, kw, a));
    RowArgs ra{a[0], 0, 0, false, a[4], a[5]};
    if (!PyLong_Check(a[1])) return arg_type("min_col", "int", a[1]);
    ra.min_col = BR_TRY(int64_arg(a[1]));
    if (a[2] != Py_None) {
        if (!PyLong_Check(a[2])) return arg_type("max_col", "int or None", a[2]);
        ra.max_col = BR_TRY(int64_arg(a[2]));
    }
    if (!PyBool_Check(a[3])) return arg_type("values_only", "bool", a[3]);
    ra.values_only = a[3] == Py_True;
    if (!PyType_Check(a[4])) return arg_type("cell_cls", "a type", a[4]);
    Exclusive hold(as_reader(self)->flag);
    if (!hold.ok()) return py_err();
    ReaderState* st = as_reader(self)->st;
    if (!st) return cleared();
    std::vector<std::string> extra;
    BR_TRY(extra_names(a[6], extra));
    return row_tuple(*st, ra, extra);
}

PyResult<PyRef> get_actions(PyObject* self, void*) {
    ReaderState* st = as_reader(self)->st;
    return st && st->actions ? st->actions.clone() : owned(PyList_New(0));
}

PyMethodDef reader_methods[] = {
    {"next_row", py_method<next_row>(), METH_FASTCALL | METH_KEYWORDS,
     "next_row($self, ws, min_col, max_col, values_only, cell_cls, filler, extra_none=None)\n--\n\n"
     "Mirrors ReadOnlyWorksheet._get_row for the next row in the source.\n"
     "Returns None at the end, else (idx, tuple_of_cells_or_values)."},
    {"next_raw", py_method<next_raw>(), METH_NOARGS,
     "next_raw($self)\n--\n\n"
     "Next raw row: (idx, [(row, column, value, data_type, style_id), ...])\n"
     "or None at the end of the document."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef reader_getset[] = {
    {"actions", entry<get_actions>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot reader_slots[] = {
    {Py_tp_doc, const_cast<char*>("RowReader(source, parser, helpers, elements=True)\n--\n\n"
                                  "Streaming row reader used by ReadOnlyWorksheet.")},
    {Py_tp_new, py_slot<reader_new>()},
    {Py_tp_dealloc, gc_dealloc<RowReaderObject, reader_clear>()},
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
