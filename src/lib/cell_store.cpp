// CellStore: the compact cell container of a worksheet, answering the
// mapping protocol with dict semantics. In this build a store cannot be
// filled (bind_cells and assignment fall back), so every reading operation
// answers for an empty mapping, which is exactly what a dict would say.
#include <Python.h>

#include <lib/args.hpp>
#include <lib/borrow.hpp>
#include <lib/errors.hpp>
#include <lib/once.hpp>
#include <lib/pyref.hpp>
#include <lib/types.hpp>

namespace brindle {
namespace {

struct CellStoreObject {
    PyObject_HEAD
    BorrowFlag flag;
};

struct KeyIterObject {
    PyObject_HEAD
    BorrowFlag flag;
    PyRef store;
};

CellStoreObject* as_store(PyObject* self) { return reinterpret_cast<CellStoreObject*>(self); }
KeyIterObject* as_iter(PyObject* self) { return reinterpret_cast<KeyIterObject*>(self); }

// ---- KeyIter ----

int iter_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    return as_iter(self)->store.visit(visit, arg);
}

int iter_clear(PyObject* self) {
    as_iter(self)->store.reset();
    return 0;
}

void iter_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    iter_clear(self);
    as_iter(self)->~KeyIterObject();
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyObject* iter_next(PyObject* self) {
    Exclusive hold(as_iter(self)->flag);
    if (!hold.ok()) return nullptr;
    return nullptr;  // exhausted: the store holds no keys
}

PyType_Slot iter_slots[] = {
    {Py_tp_doc, const_cast<char*>("")},
    {Py_tp_dealloc, reinterpret_cast<void*>(iter_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(iter_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(iter_clear)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(iter_next)},
    {0, nullptr},
};

PyType_Spec iter_spec = {
    "brindle._brindle.KeyIter",
    sizeof(KeyIterObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    iter_slots,
};

OnceObject iter_type_cell;

PyObject* new_key_iter(PyObject* store) {
    PyObject* tp = key_iter_type();
    if (!tp) return nullptr;
    auto* it = PyObject_GC_New(KeyIterObject, reinterpret_cast<PyTypeObject*>(tp));
    if (!it) return nullptr;
    new (&it->flag) BorrowFlag();
    new (&it->store) PyRef(PyRef::borrow(store));
    PyObject_GC_Track(it);
    return reinterpret_cast<PyObject*>(it);
}

// ---- CellStore ----

PyObject* store_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    new (&as_store(self)->flag) BorrowFlag();
    return self;
}

int store_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    return 0;
}

int store_clear(PyObject*) { return 0; }

void store_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    store_clear(self);
    as_store(self)->~CellStoreObject();
    tp->tp_free(self);
    Py_DECREF(tp);
}

Py_ssize_t store_len(PyObject* self) {
    Shared hold(as_store(self)->flag);
    return hold.ok() ? 0 : -1;
}

PyObject* store_getitem(PyObject* self, PyObject* key) {
    Shared hold(as_store(self)->flag);
    if (!hold.ok()) return nullptr;
    set_key_error(key);
    return nullptr;
}

int store_setitem(PyObject* self, PyObject* key, PyObject* value) {
    Exclusive hold(as_store(self)->flag);
    if (!hold.ok()) return -1;
    if (value == nullptr) {
        set_key_error(key);
        return -1;
    }
    raise_fallback(kNotAvailable);
    return -1;
}

int store_contains(PyObject* self, PyObject*) {
    Shared hold(as_store(self)->flag);
    return hold.ok() ? 0 : -1;
}

PyObject* store_iter(PyObject* self) {
    Shared hold(as_store(self)->flag);
    if (!hold.ok()) return nullptr;
    return new_key_iter(self);
}

PyObject* store_get(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    PyObject* a[2];
    if (!parse_args({"CellStore.get", {"key", "default"}, 1}, args, nargs, kw, a)) return nullptr;
    Shared hold(as_store(self)->flag);
    if (!hold.ok()) return nullptr;
    return Py_NewRef(a[1] ? a[1] : Py_None);
}

PyObject* store_row(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    PyObject* a[4];
    if (!parse_args({"CellStore._row", {"row", "min_col", "max_col", "values_only"}, 4}, args, nargs,
                    kw, a))
        return nullptr;
    Exclusive hold(as_store(self)->flag);
    if (!hold.ok()) return nullptr;
    return raise_fallback(kNotAvailable);
}

PyObject* store_clear_method(PyObject* self, PyObject*) {
    Exclusive hold(as_store(self)->flag);
    if (!hold.ok()) return nullptr;
    Py_RETURN_NONE;
}

PyObject* store_popitem(PyObject* self, PyObject*) {
    Exclusive hold(as_store(self)->flag);
    if (!hold.ok()) return nullptr;
    PyErr_SetString(PyExc_KeyError, "popitem(): dictionary is empty");
    return nullptr;
}

PyObject* store_bounds(PyObject* self, PyObject*) {
    Shared hold(as_store(self)->flag);
    if (!hold.ok()) return nullptr;
    Py_RETURN_NONE;
}

PyObject* store_in_dict_mode(PyObject* self, PyObject*) {
    Shared hold(as_store(self)->flag);
    if (!hold.ok()) return nullptr;
    Py_RETURN_FALSE;
}

PyObject* store_stats(PyObject* self, PyObject*) {
    Shared hold(as_store(self)->flag);
    if (!hold.ok()) return nullptr;
    return Py_BuildValue("(nnnn)", Py_ssize_t{0}, Py_ssize_t{0}, Py_ssize_t{0}, Py_ssize_t{0});
}

PyObject* store_reversed(PyObject* self, PyObject*) { return store_iter(self); }

template <auto F>
PyCFunction fastcall() {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(F));
}

PyMethodDef store_methods[] = {
    {"get", fastcall<store_get>(), METH_FASTCALL | METH_KEYWORDS,
     "get($self, key, default=None)\n--\n\n"},
    {"_row", fastcall<store_row>(), METH_FASTCALL | METH_KEYWORDS,
     "_row($self, row, min_col, max_col, values_only)\n--\n\n"
     "One row of `Worksheet._cells_by_row`: creates missing cells exactly\n"
     "like `Worksheet.cell(row, column)` and returns a tuple of cells (or of\n"
     "values when values_only), plus whether cells were created."},
    {"clear", store_clear_method, METH_NOARGS, "clear($self)\n--\n\n"},
    {"popitem", store_popitem, METH_NOARGS,
     "popitem($self)\n--\n\ndict.popitem(): remove and return the last inserted (key, value)"},
    {"_bounds", store_bounds, METH_NOARGS,
     "_bounds($self)\n--\n\n"
     "(min_row, max_row, min_col, max_col) of the keys, or None if empty or\n"
     "in dict mode."},
    {"_in_dict_mode", store_in_dict_mode, METH_NOARGS, "_in_dict_mode($self)\n--\n\n"},
    {"_stats", store_stats, METH_NOARGS,
     "_stats($self)\n--\n\nDiagnostics: (cells, materialised cells, formula templates, text bytes)"},
    {"__reversed__", store_reversed, METH_NOARGS, "__reversed__($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot store_slots[] = {
    {Py_tp_doc, const_cast<char*>("CellStore(*_args, **_kwargs)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(store_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(store_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(store_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(store_clear)},
    {Py_tp_methods, store_methods},
    {Py_tp_iter, reinterpret_cast<void*>(store_iter)},
    {Py_mp_length, reinterpret_cast<void*>(store_len)},
    {Py_mp_subscript, reinterpret_cast<void*>(store_getitem)},
    {Py_mp_ass_subscript, reinterpret_cast<void*>(store_setitem)},
    {Py_sq_contains, reinterpret_cast<void*>(store_contains)},
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

PyObject* key_iter_type() {
    return iter_type_cell.get([] { return PyType_FromSpec(&iter_spec); });
}

PyObject* cell_store_type() {
    return store_type_cell.get([]() -> PyObject* {
        // Built with the store so that its creation never happens mid-iteration
        // in user code.
        if (!key_iter_type()) return nullptr;
        return PyType_FromSpec(&store_spec);
    });
}

}  // namespace brindle
