// The store's ownership of Python objects: emptying, releasing, collector
// traversal, and the changes of the mapping protocol (set, delete, the
// switch to dictionary mode).
#include <store/py_store.hpp>

#include <frame/args.hpp>

#include <utility>

namespace brindle {
namespace {

// Swaps `v` out and destroys the old contents only once the member is
// already empty: releasing a Python object may run code that looks at the
// store (a finaliser, the collector).
template <class T>
void drop_all(T& v) {
    T old;
    using std::swap;
    swap(old, v);
}

// hash(key) as a dict takes it: the interpreter's dict turns a TypeError of
// hashing into "cannot use '{type}' as a dict key ({error})", and the store
// stands in for that dict.
PyResult<void> hash_as_dict_key(PyObject* key) {
    if (PyObject_Hash(key) != -1 || !PyErr_Occurred()) [[likely]]
        return {};
    PyRef exc = PyRef::steal(PyErr_GetRaisedException());
    if (Py_IS_TYPE(exc.get(), reinterpret_cast<PyTypeObject*>(PyExc_TypeError)))
        PyErr_Format(PyExc_TypeError, "cannot use '%T' as a dict key (%S)", key, exc.get());
    else
        PyErr_SetRaisedException(exc.release());
    return py_err();
}

}  // namespace

// What materialisation needs besides the cells: the host's cell class, the
// style-copy constructor and the data-type strings.
PyResult<void> PyStore::prepare(PyObject* cls) {
    cell_cls = BR_TRY(SlotClass::resolve(cls, kCellSlots));
    PyRef array_mod = PyRef::steal(PyImport_ImportModule("array"));
    if (!array_mod) return py_err();
    PyRef array = PyRef::steal(PyObject_GetAttrString(array_mod.get(), "array"));
    if (!array) return py_err();
    if (!PyType_Check(array.get())) return must_be("array.array", "a type", array.get());
    style_new = reinterpret_cast<newfunc>(PyType_GetSlot(reinterpret_cast<PyTypeObject*>(array.get()), Py_tp_new));
    if (!style_new) return must_be("array.array", "a constructible type", array.get());
    array_type = std::move(array);
    typecode = PyRef::steal(PyUnicode_InternFromString("i"));
    if (!typecode) return py_err();
    for (int k = 0; k < kDtCount; ++k) {
        dt[k] = PyRef::steal(PyUnicode_InternFromString(kDtNames[k].data()));
        if (!dt[k]) return py_err();
    }
    return {};
}

void PyStore::reset() {
    core.reset();
    objs.clear();
    drop_all(meta);
    drop_all(shared);
    drop_all(custom_types);
}

void PyStore::clear_contents() {
    reset();
    dict.reset();
}

void PyStore::release_all() {
    clear_contents();
    drop_all(style_cache);
    drop_all(sparse_styles);
    cell_cls.reset();
    epoch.reset();
    ws.reset();
    cell_styles.reset();
    shared_strings.reset();
    rich_strings.reset();
    array_type.reset();
    style_new = nullptr;
    typecode.reset();
    for (PyRef& d : dt) d.reset();
    row_cache_int.reset();
}

int PyStore::traverse(visitproc visit, void* arg) {
    Py_VISIT(ws.get());
    Py_VISIT(cell_styles.get());
    Py_VISIT(shared_strings.get());
    Py_VISIT(rich_strings.get());
    Py_VISIT(dict.get());
    Py_VISIT(array_type.get());
    if (cell_cls) Py_VISIT(cell_cls->cls());
    int err = 0;
    objs.for_each([&](PyRef& o) {
        if (!err) err = o.visit(visit, arg);
    });
    if (err) return err;
    for (const SharedMaster& m : shared)
        if (int e = m.host.visit(visit, arg)) return e;
    for (const PyRef& t : custom_types)
        if (int e = t.visit(visit, arg)) return e;
    for (const PyRef& s : style_cache)
        if (int e = s.visit(visit, arg)) return e;
    for (const auto& [index, s] : sparse_styles)
        if (int e = s.visit(visit, arg)) return e;
    return 0;
}

std::uint64_t PyStore::size() const noexcept {
    if (dict) return static_cast<std::uint64_t>(PyDict_GET_SIZE(dict.get()));
    return core.size();
}

PyResult<PyRef> PyStore::key_tuple(std::uint64_t packed) {
    PyRef r = PyRef::steal(PyLong_FromUnsignedLong(key_row(packed)));
    if (!r) return py_err();
    PyRef c = PyRef::steal(PyLong_FromUnsignedLong(key_col(packed)));
    if (!c) return py_err();
    PyRef t = PyRef::steal(PyTuple_Pack(2, r.get(), c.get()));
    if (!t) return py_err();
    return t;
}

PyResult<std::optional<Loc>> PyStore::resolve(PyObject* key) {
    if (KeyMatch k = exact_key(key); k.ok) return core.find_key(k.packed);
    BR_TRY(hash_as_dict_key(key));
    KeyMatch k = BR_TRY(equivalent_key(key));
    if (!k.ok) return std::optional<Loc>{};
    return core.find_key(k.packed);
}

PyResult<void> PyStore::set_item(PyObject* key, PyObject* value) {
    if (dict) {
        if (PyDict_SetItem(dict.get(), key, value) < 0) return py_err();
        return {};
    }
    KeyMatch k = exact_key(key);
    const bool exact = k.ok;
    if (!exact) {
        BR_TRY(hash_as_dict_key(key));
        k = BR_TRY(equivalent_key(key));
    }
    if (k.ok) {
        if (std::optional<Loc> loc = core.find_key(k.packed)) {
            // The old object leaves only once the location names the new one.
            const Entry old = core.entry(*loc);
            std::optional<PyRef> gone;
            if (old.holds_object()) gone = objs.take(static_cast<std::uint32_t>(old.payload));
            core.set_materialized(*loc, put_obj(PyRef::borrow(value)));
            return {};
        }
        if (exact) {
            const std::uint32_t slot = put_obj(PyRef::borrow(value));
            core.insert_new(k.packed, SideEntry{k.packed, slot, -1, tag::kCell, kDtN});
            return {};
        }
    }
    // A key the compact form cannot hold as given: from now on a dict keeps
    // the caller's own key object, as the host's dict would.
    BR_TRY_VOID(to_dict_mode());
    if (PyDict_SetItem(dict.get(), key, value) < 0) return py_err();
    return {};
}

PyResult<void> PyStore::del_item(PyObject* key) {
    if (dict) {
        if (PyObject_DelItem(dict.get(), key) < 0) return py_err();
        return {};
    }
    std::optional<Loc> loc = BR_TRY(resolve(key));
    if (!loc) {
        set_key_error(key);
        return py_err();
    }
    remove(*loc);
    return {};
}

PyResult<void> PyStore::to_dict_mode() {
    if (dict) return {};
    PyRef d = PyRef::steal(PyDict_New());
    if (!d) return py_err();
    for (const Loc& loc : core.locs()) {
        PyRef cell = BR_TRY(materialize(loc));
        PyRef key = BR_TRY(key_tuple(core.key_of(loc)));
        if (PyDict_SetItem(d.get(), key.get(), cell.get()) < 0) return py_err();
    }
    reset();
    dict = std::move(d);
    return {};
}

std::string& scratch() noexcept {
    thread_local std::string buf;
    return buf;
}

}  // namespace brindle
