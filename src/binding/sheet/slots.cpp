#include <sheet/slots.hpp>

#include <frame/args.hpp>

namespace brindle {
namespace {

[[gnu::cold, gnu::noinline]] std::unexpected<BindError> slot_error(const char* name,
                                                                   const char* what) {
    PyErr_Format(PyExc_TypeError, "%s %s", name, what);
    return py_err();
}

PyResult<PyRef> member_descriptor_type() {
    PyRef types = PyRef::steal(PyImport_ImportModule("types"));
    if (!types) return py_err();
    PyRef t = PyRef::steal(PyObject_GetAttrString(types.get(), "MemberDescriptorType"));
    if (!t) return py_err();
    return t;
}

}  // namespace

PyResult<SlotClass> SlotClass::resolve(PyObject* cls, std::span<const char* const> names) {
    PyRef mdt = BR_TRY(member_descriptor_type());
    if (!PyType_Check(cls)) return must_be("cell class", "a type", cls);
    auto* type = reinterpret_cast<PyTypeObject*>(cls);
    SlotClass out;
    out.offsets_.reserve(names.size());
    for (const char* name : names) {
        PyRef attr = PyRef::steal(PyObject_GetAttrString(cls, name));
        if (!attr) return py_err();
        if (Py_TYPE(attr.get()) != reinterpret_cast<PyTypeObject*>(mdt.get()))
            return slot_error(name, "is not a slot");
        const auto* descr = reinterpret_cast<PyMemberDescrObject*>(attr.get());
        // A member descriptor of an unrelated class (assigned as a class
        // attribute) carries an offset into some other layout: writing
        // through it would corrupt the instance.
        if (!PyType_IsSubtype(type, descr->d_common.d_type)) return slot_error(name, "is not a slot");
        const PyMemberDef* m = descr->d_member;
        if (m->type != Py_T_OBJECT_EX)
            return slot_error(name, "has unexpected slot type");
        out.offsets_.push_back(m->offset);
    }
    out.alloc_ = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    if (!out.alloc_) out.alloc_ = PyType_GenericAlloc;
    out.cls_ = PyRef::borrow(cls);
    return out;
}

PyResult<PyRef> SlotClass::build(std::span<PyRef> values) const {
    auto* type = reinterpret_cast<PyTypeObject*>(cls_.get());
    PyRef obj = PyRef::steal(alloc_(type, 0));
    if (!obj) {
        for (PyRef& v : values) v.reset();
        return py_err();
    }
    // The instance is not visible to any other thread yet, and its slots are
    // zeroed by the allocator: plain stores suffice.
    auto* base = reinterpret_cast<char*>(obj.get());
    std::size_t i = 0;
    for (; i < offsets_.size(); ++i) {
        PyObject* v = i < values.size() ? values[i].release() : Py_NewRef(Py_None);
        PyObject** slot = reinterpret_cast<PyObject**>(base + offsets_[i]);
        PyObject* old = *slot;
        *slot = v;
        Py_XDECREF(old);
    }
    for (; i < values.size(); ++i) values[i].reset();
    // The generic allocator tracks GC instances; a custom allocator might
    // not, and an untracked container holding references would leak cycles.
    if (PyType_IS_GC(type) && !PyObject_GC_IsTracked(obj.get())) PyObject_GC_Track(obj.get());
    return obj;
}

}  // namespace brindle
