// CellStore: the cell container of a worksheet, answering the mapping
// protocol with (row, column) keys and host Cell values exactly as the
// host's dict would, while the cells stay packed records until read.
//
// Reading methods (len, in, iter, _stats, _bounds, _in_dict_mode) take the
// store shared; everything else, item access included (it materialises),
// takes it exclusively.
#include <Python.h>

#include <frame/args.hpp>
#include <frame/borrow.hpp>
#include <frame/entry.hpp>
#include <frame/errors.hpp>
#include <frame/gc_object.hpp>
#include <frame/once.hpp>
#include <frame/pyref.hpp>
#include <frame/types.hpp>
#include <store/row.hpp>
#include <store/store_object.hpp>

#include <new>

namespace brindle {
namespace {

[[gnu::cold]] std::unexpected<BindError> key_error(PyObject* key) {
    set_key_error(key);
    return py_err();
}

PyResult<PyRef> store_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyRef self = BR_TRY(owned(type->tp_alloc(type, 0)));
    CellStoreObject* s = as_store(self.get());
    new (&s->flag) BorrowFlag();
    new (&s->store) PyStore();
    return self;
}

int store_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    CellStoreObject* s = as_store(self);
    // A method in progress may have the store half changed: it is then
    // reachable anyway, and is left unvisited.
    if (!s->flag.try_shared()) return 0;
    const int err = s->store.traverse(visit, arg);
    s->flag.release_shared();
    return err;
}

int store_clear(PyObject* self) {
    CellStoreObject* s = as_store(self);
    if (!s->flag.try_exclusive()) return 0;
    s->store.release_all();
    s->flag.release_exclusive();
    return 0;
}

PyResult<Py_ssize_t> store_len(PyObject* self) {
    Shared hold(as_store(self)->flag);
    if (!hold.ok()) return py_err();
    return static_cast<Py_ssize_t>(as_store(self)->store.size());
}

// The cell of `key`, or an empty reference when absent.
PyResult<PyRef> lookup(PyStore& st, PyObject* key) {
    if (st.dict_mode()) {
        PyObject* v = nullptr;
        if (PyDict_GetItemRef(st.dict.get(), key, &v) < 0) return py_err();
        return PyRef::steal(v);
    }
    std::optional<Loc> loc = BR_TRY(st.resolve(key));
    if (!loc) return PyRef();
    return st.materialize(*loc);
}

PyResult<PyRef> store_getitem(PyObject* self, PyObject* key) {
    Exclusive hold(as_store(self)->flag);
    if (!hold.ok()) return py_err();
    PyRef cell = BR_TRY(lookup(as_store(self)->store, key));
    if (!cell) return key_error(key);
    return cell;
}

PyResult<void> store_setitem(PyObject* self, PyObject* key, PyObject* value) {
    Exclusive hold(as_store(self)->flag);
    if (!hold.ok()) return py_err();
    PyStore& st = as_store(self)->store;
    if (value == nullptr) return st.del_item(key);
    return st.set_item(key, value);
}

PyResult<bool> store_contains(PyObject* self, PyObject* key) {
    Shared hold(as_store(self)->flag);
    if (!hold.ok()) return py_err();
    PyStore& st = as_store(self)->store;
    if (st.dict_mode()) {
        const int r = PyDict_Contains(st.dict.get(), key);
        if (r < 0) return py_err();
        return r == 1;
    }
    std::optional<Loc> loc = BR_TRY(st.resolve(key));
    return loc.has_value();
}

PyResult<PyRef> store_iter(PyObject* self) {
    Shared hold(as_store(self)->flag);
    if (!hold.ok()) return py_err();
    PyStore& st = as_store(self)->store;
    if (st.dict_mode()) return owned(PyObject_GetIter(st.dict.get()));
    return new_key_iter(self);
}

PyResult<PyRef> store_get(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    PyObject* a[2];
    BR_TRY(parse_args({"CellStore.get", {"key", "default"}, 1}, args, nargs, kw, a));
    Exclusive hold(as_store(self)->flag);
    if (!hold.ok()) return py_err();
    PyRef cell = BR_TRY(lookup(as_store(self)->store, a[0]));
    if (!cell) return PyRef::borrow(a[1] ? a[1] : Py_None);
    return cell;
}

// A row or column argument of _row: an int within 0 to 2^32 - 1.
PyResult<std::uint32_t> index_arg(const char* name, PyObject* v) {
    if (!PyLong_Check(v)) return arg_must_be("CellStore._row", name, "int", v);
    const std::optional<std::int64_t> n = BR_TRY(index_int64(v));
    if (!n || *n < 0 || *n > 0xFFFFFFFFLL) {
        PyErr_Format(PyExc_OverflowError, "CellStore._row() argument '%s' is outside 0 to 4294967295", name);
        return py_err();
    }
    return static_cast<std::uint32_t>(*n);
}

PyResult<PyRef> store_row_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    PyObject* a[4];
    BR_TRY(parse_args({"CellStore._row", {"row", "min_col", "max_col", "values_only"}, 4}, args, nargs, kw, a));
    RowRequest rq{};
    rq.row = BR_TRY(index_arg("row", a[0]));
    rq.min_col = BR_TRY(index_arg("min_col", a[1]));
    rq.max_col = BR_TRY(index_arg("max_col", a[2]));
    if (!PyBool_Check(a[3])) return arg_must_be("CellStore._row", "values_only", "bool", a[3]);
    rq.values_only = a[3] == Py_True;
    Exclusive hold(as_store(self)->flag);
    if (!hold.ok()) return py_err();
    return store_row(as_store(self)->store, rq);
}

// Gives a store its worksheet and cell class without loading anything, so a
// new sheet's store builds the cells of row iteration as a loaded one does.
// The cells the store already holds are left as they are.
PyResult<PyRef> store_attach(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    PyObject* a[2];
    BR_TRY(parse_args({"CellStore._attach", {"ws", "cell_cls"}, 2}, args, nargs, kw, a));
    if (!PyType_Check(a[1])) return arg_must_be("CellStore._attach", "cell_cls", "a type", a[1]);
    Exclusive hold(as_store(self)->flag);
    if (!hold.ok()) return py_err();
    PyStore& st = as_store(self)->store;
    BR_TRY(st.prepare(a[1]));
    st.ws = PyRef::borrow(a[0]);
    return PyRef::borrow(Py_None);
}

PyResult<PyRef> store_clear_method(PyObject* self, PyObject*) {
    Exclusive hold(as_store(self)->flag);
    if (!hold.ok()) return py_err();
    as_store(self)->store.clear_contents();
    return PyRef::borrow(Py_None);
}

PyResult<PyRef> store_popitem(PyObject* self, PyObject*) {
    Exclusive hold(as_store(self)->flag);
    if (!hold.ok()) return py_err();
    PyStore& st = as_store(self)->store;
    if (st.dict_mode()) return owned(PyObject_CallMethod(st.dict.get(), "popitem", nullptr));
    std::optional<Loc> loc = st.core.last_loc();
    if (!loc) {
        PyErr_SetString(PyExc_KeyError, "popitem(): dictionary is empty");
        return py_err();
    }
    PyRef cell = BR_TRY(st.materialize(*loc));
    PyRef key = BR_TRY(st.key_tuple(st.core.key_of(*loc)));
    PyRef pair = BR_TRY(owned(PyTuple_Pack(2, key.get(), cell.get())));
    st.remove(*loc);
    return pair;
}

PyResult<PyRef> store_bounds(PyObject* self, PyObject*) {
    Shared hold(as_store(self)->flag);
    if (!hold.ok()) return py_err();
    PyStore& st = as_store(self)->store;
    std::optional<Bounds> b = st.dict_mode() ? std::nullopt : st.core.bounds();
    if (!b) return PyRef::borrow(Py_None);
    return owned(Py_BuildValue("(kkkk)", static_cast<unsigned long>(b->min_row),
                               static_cast<unsigned long>(b->max_row), static_cast<unsigned long>(b->min_col),
                               static_cast<unsigned long>(b->max_col)));
}

PyResult<PyRef> store_in_dict_mode(PyObject* self, PyObject*) {
    Shared hold(as_store(self)->flag);
    if (!hold.ok()) return py_err();
    return PyRef::borrow(as_store(self)->store.dict_mode() ? Py_True : Py_False);
}

PyResult<PyRef> store_stats(PyObject* self, PyObject*) {
    Shared hold(as_store(self)->flag);
    if (!hold.ok()) return py_err();
    const StoreCore& core = as_store(self)->store.core;
    return owned(Py_BuildValue("(KKKK)", static_cast<unsigned long long>(core.size()),
                               static_cast<unsigned long long>(core.materialized_count()),
                               static_cast<unsigned long long>(core.template_count()),
                               static_cast<unsigned long long>(core.arena_bytes())));
}

PyResult<PyRef> store_reversed(PyObject* self, PyObject*) {
    Exclusive hold(as_store(self)->flag);
    if (!hold.ok()) return py_err();
    PyStore& st = as_store(self)->store;
    if (st.dict_mode()) {
        PyRef builtins = BR_TRY(owned(PyImport_ImportModule("builtins")));
        PyRef rev = BR_TRY(owned(PyObject_GetAttrString(builtins.get(), "reversed")));
        return owned(PyObject_CallOneArg(rev.get(), st.dict.get()));
    }
    // A snapshot, as the keys may change while the caller walks them.
    const std::vector<Loc> locs = st.core.locs();
    PyRef list = BR_TRY(owned(PyList_New(static_cast<Py_ssize_t>(locs.size()))));
    for (std::size_t i = 0; i < locs.size(); ++i) {
        PyRef key = BR_TRY(st.key_tuple(st.core.key_of(locs[locs.size() - 1 - i])));
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), key.release());
    }
    return owned(PyObject_GetIter(list.get()));
}

PyMethodDef store_methods[] = {
    {"get", py_method<store_get>(), METH_FASTCALL | METH_KEYWORDS, "get($self, key, default=None)\n--\n\n"},
    {"_row", py_method<store_row_method>(), METH_FASTCALL | METH_KEYWORDS,
     "_row($self, row, min_col, max_col, values_only)\n--\n\n"
     "One row of `Worksheet._cells_by_row`: creates missing cells exactly\n"
     "like `Worksheet.cell(row, column)` and returns a tuple of cells (or of\n"
     "values when values_only), plus whether cells were created."},
    {"_attach", py_method<store_attach>(), METH_FASTCALL | METH_KEYWORDS,
     "_attach($self, ws, cell_cls)\n--\n\n"
     "Make `ws` the parent and `cell_cls` the class of the cells the store\n"
     "creates, as loading a sheet into it does, without loading anything."},
    {"clear", py_method<store_clear_method>(), METH_NOARGS, "clear($self)\n--\n\n"},
    {"popitem", py_method<store_popitem>(), METH_NOARGS,
     "popitem($self)\n--\n\ndict.popitem(): remove and return the last inserted (key, value)"},
    {"_bounds", py_method<store_bounds>(), METH_NOARGS,
     "_bounds($self)\n--\n\n"
     "(min_row, max_row, min_col, max_col) of the keys, or None if empty or\n"
     "in dict mode."},
    {"_in_dict_mode", py_method<store_in_dict_mode>(), METH_NOARGS, "_in_dict_mode($self)\n--\n\n"},
    {"_stats", py_method<store_stats>(), METH_NOARGS,
     "_stats($self)\n--\n\nDiagnostics: (cells, materialised cells, formula templates, text bytes)"},
    {"__reversed__", py_method<store_reversed>(), METH_NOARGS, "__reversed__($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot store_slots[] = {
    {Py_tp_doc, const_cast<char*>("CellStore(*_args, **_kwargs)\n--\n\n")},
    {Py_tp_new, py_slot<store_new>()},
    {Py_tp_dealloc, gc_dealloc<CellStoreObject, store_clear>()},
    {Py_tp_traverse, reinterpret_cast<void*>(store_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(store_clear)},
    {Py_tp_methods, store_methods},
    {Py_tp_iter, py_slot<store_iter>()},
    {Py_mp_length, py_slot<store_len>()},
    {Py_mp_subscript, py_slot<store_getitem>()},
    {Py_mp_ass_subscript, py_slot<store_setitem>()},
    {Py_sq_contains, py_slot<store_contains>()},
    {0, nullptr},
};

PyType_Spec store_spec = {
    "brindle._brindle.CellStore",
    sizeof(CellStoreObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_BASETYPE,
    store_slots,
};

OnceObject store_type_cell;

}  // namespace

PyObject* cell_store_type() {
    return store_type_cell.get([]() -> PyObject* {
        // Built with the store so that its creation never happens mid-iteration
        // in user code.
        if (!key_iter_type()) return nullptr;
        return PyType_FromSpec(&store_spec);
    });
}

PyResult<bool> is_cell_store(PyObject* obj) {
    PyObject* tp = cell_store_type();
    if (!tp) return py_err();
    return PyObject_TypeCheck(obj, reinterpret_cast<PyTypeObject*>(tp)) != 0;
}

}  // namespace brindle
