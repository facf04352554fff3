#include <frame/args.hpp>
#include <frame/errors.hpp>
#include <xml/pyxml.hpp>
#include <prescan/pyobjects.hpp>

namespace brindle::prescan {
namespace {

[[gnu::cold]] std::unexpected<BindError> unpack_error(PyObject* exc, const char* fmt, Py_ssize_t n) {
    PyErr_Format(exc, fmt, n);
    return py_err();
}

struct Pair {
    PyRef a, b;
};

// The two items of a tuple or list of length 2, taken as strong references
// under the container's lock (a list can change under another thread), or
// nothing with the length seen.
std::optional<Pair> exact_pair(PyObject* seq, Py_ssize_t& n) {
    std::optional<Pair> out;
    Py_BEGIN_CRITICAL_SECTION(seq);
    n = PySequence_Fast_GET_SIZE(seq);
    if (n == 2)
        out = Pair{PyRef::borrow(PySequence_Fast_GET_ITEM(seq, 0)),
                   PyRef::borrow(PySequence_Fast_GET_ITEM(seq, 1))};
    Py_END_CRITICAL_SECTION();
    return out;
}

// `row, col = item`: the two values, with the interpreter's errors.
PyResult<Pair> unpack2(PyObject* item) {
    if (PyTuple_CheckExact(item) || PyList_CheckExact(item)) {
        Py_ssize_t n = 0;
        if (auto pair = exact_pair(item, n)) return std::move(*pair);
        // Shorter: the items are taken by iteration below, as the
        // interpreter does for a sequence that has changed size.
        if (n > 2) return unpack_error(PyExc_ValueError, "too many values to unpack (expected 2, got %zd)", n);
    }
    PyRef it = PyRef::steal(PyObject_GetIter(item));
    if (!it) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && Py_TYPE(item)->tp_iter == nullptr &&
            !PySequence_Check(item)) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(item)->tp_name);
        }
        return py_err();
    }
    Pair out;
    PyRef* slots[2] = {&out.a, &out.b};
    for (Py_ssize_t i = 0; i < 2; ++i) {
        *slots[i] = PyRef::steal(PyIter_Next(it.get()));
        if (!*slots[i]) {
            if (PyErr_Occurred()) return py_err();
            return unpack_error(PyExc_ValueError, "not enough values to unpack (expected 2, got %zd)", i);
        }
    }
    PyRef extra = PyRef::steal(PyIter_Next(it.get()));
    if (extra) {
        PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
        return py_err();
    }
    if (PyErr_Occurred()) return py_err();
    return out;
}

}  // namespace

PyResult<PyRef> element_tuple(std::string_view bytes, const NamespaceList& bindings) {
    PyRef data = BR_TRY(bytes_from(bytes));
    PyRef ns = BR_TRY(namespace_list(bindings));
    return owned(PyTuple_Pack(2, data.get(), ns.get()));
}

PyResult<void> read_wanted(PyObject* corners, Wanted& out) {
    if (corners == Py_None) return {};
    PyRef it = BR_TRY(owned(PyObject_GetIter(corners)));
    while (PyRef item = PyRef::steal(PyIter_Next(it.get()))) {
        Pair rc = BR_TRY(unpack2(item.get()));
        const std::optional<std::int64_t> row = BR_TRY(index_int64(rc.a.get()));
        const std::optional<std::int64_t> col = BR_TRY(index_int64(rc.b.get()));
        // Rows past 64 bits are refused by the scan and columns stop at
        // "ZZZ", so such a position can never be found: leaving it out
        // gives the same result.
        if (row && col) out.add(Position{*row, *col});
    }
    if (PyErr_Occurred()) return py_err();
    return {};
}

}  // namespace brindle::prescan
