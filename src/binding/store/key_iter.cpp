// KeyIter: the key iterator of a CellStore in compact mode. It notices
// changes the way a dict iterator does, through the store's change counter,
// and lets go of its store once exhausted, so that a finished iterator stays
// finished whatever happens to the store afterwards.
#include <frame/borrow.hpp>
#include <frame/entry.hpp>
#include <frame/gc_object.hpp>
#include <frame/once.hpp>
#include <frame/types.hpp>
#include <store/store_object.hpp>

#include <new>

namespace brindle {
namespace {

struct KeyIterObject {
    PyObject_HEAD
        BorrowFlag flag;
    PyRef store;             // empty once exhausted
    std::uint64_t size = 0;  // the store's number of keys when the iterator was made
    std::uint64_t changes = 0;
    KeyCursor cursor;
};

KeyIterObject* as_iter(PyObject* self) noexcept { return reinterpret_cast<KeyIterObject*>(self); }

int iter_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    return as_iter(self)->store.visit(visit, arg);
}

int iter_clear(PyObject* self) {
    as_iter(self)->store.reset();
    return 0;
}

PyResult<PyRef> step(KeyIterObject& it) {
    CellStoreObject* so = as_store(it.store.get());
    Shared hold(so->flag);
    if (!hold.ok()) return py_err();
    PyStore& st = so->store;
    if (st.core.changes() != it.changes || st.dict_mode()) {
        // clang-format off
        PyErr_SetString(PyExc_RuntimeError, st.size() != it.size ? "dictionary changed size during iteration"
                                                                  : "dictionary keys changed during iteration");
        // clang-format on
        return py_err();
    }
    std::optional<Loc> loc = st.core.next_loc(it.cursor);
    if (!loc) return PyRef();
    return st.key_tuple(st.core.key_of(*loc));
}

PyResult<PyRef> iter_next(PyObject* self) {
    KeyIterObject& it = *as_iter(self);
    Exclusive hold(it.flag);
    if (!hold.ok()) return py_err();
    if (!it.store) return PyRef();
    PyResult<PyRef> key = step(it);
    // Released only after the store's own hold has ended (inside step): the
    // store may go with this reference.
    if (key && !*key) it.store.reset();
    return key;
}

PyType_Slot iter_slots[] = {
    {Py_tp_doc, const_cast<char*>("")},
    {Py_tp_dealloc, gc_dealloc<KeyIterObject, iter_clear>()},
    {Py_tp_traverse, reinterpret_cast<void*>(iter_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(iter_clear)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, py_slot<iter_next>()},
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

}  // namespace

PyObject* key_iter_type() {
    return iter_type_cell.get([] { return PyType_FromSpec(&iter_spec); });
}

PyResult<PyRef> new_key_iter(PyObject* store) {
    PyObject* tp = key_iter_type();
    if (!tp) return py_err();
    // Owned at once; nothing between here and the constructions below can
    // fail, so the object is never torn down half built.
    auto* type = reinterpret_cast<PyTypeObject*>(tp);
    PyRef self = BR_TRY(owned(reinterpret_cast<PyObject*>(PyObject_GC_New(KeyIterObject, type))));
    auto* it = reinterpret_cast<KeyIterObject*>(self.get());
    new (&it->flag) BorrowFlag();
    new (&it->store) PyRef(PyRef::borrow(store));
    new (&it->cursor) KeyCursor();
    const PyStore& st = as_store(store)->store;
    it->size = st.size();
    it->changes = st.core.changes();
    PyObject_GC_Track(self.get());
    return self;
}

}  // namespace brindle
