#include <writer/cell_layout.hpp>

#include <lib/errors.hpp>

namespace brindle {

bool CellLayout::resolve(PyTypeObject* tp, const std::array<PyObject*, kFields>& names) {
    type_ = PyRef::borrow(reinterpret_cast<PyObject*>(tp));
    version_ = 0;
    // A metaclass could answer the lookups below differently from how
    // instances resolve their attributes; custom attribute access could
    // answer anything at all.
    if (Py_TYPE(tp) != &PyType_Type || tp->tp_getattro != PyObject_GenericGetAttr) return false;
    if (!PyUnstable_Type_AssignVersionTag(tp)) return false;
    const unsigned int version = tp->tp_version_tag;
    std::array<Py_ssize_t, kFields> offsets{};
    for (std::size_t i = 0; i < kFields; ++i) {
        // On the class, a member descriptor's lookup gives the descriptor
        // itself; a data descriptor takes precedence over an instance dict,
        // so it is also what an instance lookup finds.
        PyRef attr = PyRef::steal(PyObject_GetAttr(reinterpret_cast<PyObject*>(tp), names[i]));
        if (!attr) {
            (void)clear_ordinary_error();
            return false;
        }
        if (!Py_IS_TYPE(attr.get(), &PyMemberDescr_Type)) return false;
        const auto* descr = reinterpret_cast<PyMemberDescrObject*>(attr.get());
        // A descriptor taken from an unrelated class carries an offset into
        // another layout.
        if (!PyType_IsSubtype(tp, descr->d_common.d_type)) return false;
        if (descr->d_member->type != Py_T_OBJECT_EX) return false;
        offsets[i] = descr->d_member->offset;
    }
    // The lookups may have run code (descriptors of other kinds are looked
    // at before being refused); the class must still be the one resolved.
    if (tp->tp_version_tag != version || version == 0) return false;
    offsets_ = offsets;
    version_ = version;
    return true;
}

}  // namespace brindle
