#include <writer/cell_layout.hpp>

#include <frame/errors.hpp>

#include <algorithm>

namespace brindle {

namespace {

// The member descriptor `name` of `tp` as an object slot offset, or -1.
Py_ssize_t slot_offset(PyTypeObject* tp, PyObject* attr) {
    if (!Py_IS_TYPE(attr, &PyMemberDescr_Type)) return -1;
    const auto* descr = reinterpret_cast<PyMemberDescrObject*>(attr);
    // A descriptor taken from an unrelated class carries an offset into
    // another layout.
    if (!PyType_IsSubtype(tp, descr->d_common.d_type)) return -1;
    if (descr->d_member->type != Py_T_OBJECT_EX) return -1;
    return descr->d_member->offset;
}

// For a property whose getter is `operator.attrgetter(name)` of one plain
// name: that name. Properties cannot be changed once made, nor can
// attrgetters, so the answer holds as long as the class keeps the property.
PyRef attrgetter_name(PyObject* prop) {
    if (!Py_IS_TYPE(prop, &PyProperty_Type)) return {};
    PyRef fget = PyRef::steal(PyObject_GetAttrString(prop, "fget"));
    if (!fget) return {};
    PyRef op = PyRef::steal(PyImport_ImportModule("operator"));
    if (!op) return {};
    PyRef getter_cls = PyRef::steal(PyObject_GetAttrString(op.get(), "attrgetter"));
    if (!getter_cls || reinterpret_cast<PyObject*>(Py_TYPE(fget.get())) != getter_cls.get())
        return {};
    PyRef red = PyRef::steal(PyObject_CallMethod(fget.get(), "__reduce__", nullptr));
    if (!red || !PyTuple_CheckExact(red.get()) || PyTuple_GET_SIZE(red.get()) != 2) return {};
    PyObject* args = PyTuple_GET_ITEM(red.get(), 1);
    if (!PyTuple_CheckExact(args) || PyTuple_GET_SIZE(args) != 1) return {};
    PyObject* name = PyTuple_GET_ITEM(args, 0);
    if (!PyUnicode_CheckExact(name)) return {};
    return PyRef::borrow(name);
}

}  // namespace

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
        if (!attr && i == AsRead && PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            offsets[i] = -1;  // a cell class that keeps nothing as read
            continue;
        }
        if (!attr) {
            (void)clear_ordinary_error();
            return false;
        }
        Py_ssize_t offset = slot_offset(tp, attr.get());
        if (offset < 0 && i == Hyperlink) {
            offset = 0;  // read through the attribute protocol
            if (PyRef name = attrgetter_name(attr.get())) {
                PyRef slot =
                    PyRef::steal(PyObject_GetAttr(reinterpret_cast<PyObject*>(tp), name.get()));
                if (slot)
                    offset = std::max<Py_ssize_t>(slot_offset(tp, slot.get()), 0);
                else if (!clear_ordinary_error())
                    return false;
            } else if (PyErr_Occurred() && !clear_ordinary_error()) {
                return false;
            }
        }
        if (offset < 0) return false;
        offsets[i] = offset;
    }
    // The lookups may have run code (descriptors of other kinds are looked
    // at before being refused); the class must still be the one resolved.
    if (tp->tp_version_tag != version || version == 0) return false;
    offsets_ = offsets;
    version_ = version;
    return true;
}

}  // namespace brindle
