#include <xml/pyxml.hpp>

namespace brindle {

PyResult<PyRef> namespace_list(const NamespaceList& ns) {
    PyRef list = PyRef::steal(PyList_New(Py_ssize_t(ns.size())));
    if (!list) return py_err();
    Py_ssize_t i = 0;
    for (const auto& [prefix, uri] : ns) {
        PyRef p = BR_TRY(str_from_utf8(prefix));
        PyRef u = BR_TRY(str_from_utf8(uri));
        PyRef pair = BR_TRY(owned(PyTuple_Pack(2, p.get(), u.get())));
        PyList_SET_ITEM(list.get(), i++, pair.release());  // steals the new pair
    }
    return list;
}

}  // namespace brindle
