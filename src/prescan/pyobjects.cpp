#include <lib/pyxml.hpp>
#include <prescan/pyobjects.hpp>

namespace brindle::prescan {
namespace {

[[gnu::cold]] bool unpack_error(PyObject* exc, const char* fmt, Py_ssize_t n) {
    PyErr_Format(exc, fmt, n);
    return false;
}

// `row, col = item`: the two values, or false with the interpreter's error.
bool unpack2(PyObject* item, PyRef& a, PyRef& b) {
    if (PyTuple_CheckExact(item) || PyList_CheckExact(item)) {
        const Py_ssize_t n = PySequence_Fast_GET_SIZE(item);
        if (n == 2) {
            a = PyRef::borrow(PySequence_Fast_GET_ITEM(item, 0));
            b = PyRef::borrow(PySequence_Fast_GET_ITEM(item, 1));
            return true;
        }
        // A list can change under another thread; take the items by
        // iteration below and report the length seen here.
        if (n > 2) return unpack_error(PyExc_ValueError, "too many values to unpack (expected 2, got %zd)", n);
    }
    PyRef it = PyRef::steal(PyObject_GetIter(item));
    if (!it) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && Py_TYPE(item)->tp_iter == nullptr &&
            !PySequence_Check(item)) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(item)->tp_name);
        }
        return false;
    }
    PyRef* slots[2] = {&a, &b};
    for (Py_ssize_t i = 0; i < 2; ++i) {
        *slots[i] = PyRef::steal(PyIter_Next(it.get()));
        if (!*slots[i]) {
            if (PyErr_Occurred()) return false;
            return unpack_error(PyExc_ValueError, "not enough values to unpack (expected 2, got %zd)", i);
        }
    }
    PyRef extra = PyRef::steal(PyIter_Next(it.get()));
    if (extra) {
        PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
        return false;
    }
    return !PyErr_Occurred();
}

// operator.index(v) as a 64-bit value; `fits` is false for an int no cell
// position can have.
bool index64(PyObject* v, std::int64_t& out, bool& fits) {
    PyRef idx = PyRef::steal(PyNumber_Index(v));
    if (!idx) return false;
    int overflow = 0;
    const long long x = PyLong_AsLongLongAndOverflow(idx.get(), &overflow);
    if (x == -1 && PyErr_Occurred()) return false;
    fits = fits && overflow == 0;
    out = x;
    return true;
}

}  // namespace

PyRef ns_list(const NamespaceList& bindings) {
    auto list = namespace_list(bindings);
    return list ? std::move(*list) : PyRef();
}

PyRef element_tuple(std::string_view bytes, const NamespaceList& bindings) {
    PyRef data = PyRef::steal(PyBytes_FromStringAndSize(bytes.data(), Py_ssize_t(bytes.size())));
    if (!data) return data;
    PyRef ns = ns_list(bindings);
    if (!ns) return ns;
    return PyRef::steal(PyTuple_Pack(2, data.get(), ns.get()));
}

bool read_wanted(PyObject* corners, Wanted& out) {
    if (corners == Py_None) return true;
    PyRef it = PyRef::steal(PyObject_GetIter(corners));
    if (!it) return false;
    while (PyRef item = PyRef::steal(PyIter_Next(it.get()))) {
        PyRef row, col;
        if (!unpack2(item.get(), row, col)) return false;
        Position p{};
        bool fits = true;
        if (!index64(row.get(), p.row, fits) || !index64(col.get(), p.col, fits)) return false;
        // Rows past 64 bits are refused by the scan and columns stop at
        // "ZZZ", so such a position can never be found: leaving it out
        // gives the same result.
        if (fits) out.add(p);
    }
    return !PyErr_Occurred();
}

}  // namespace brindle::prescan
