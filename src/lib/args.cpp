#include <lib/args.hpp>

#include <string>

namespace brindle {

namespace {

constexpr int kMaxArgs = 16;

[[gnu::cold]] bool too_many(const ArgSpec& s, Py_ssize_t given) {
    const int total = static_cast<int>(s.names.size());
    std::string takes = s.required == total
                            ? std::to_string(total)
                            : "from " + std::to_string(s.required) + " to " + std::to_string(total);
    PyErr_Format(PyExc_TypeError, "%s() takes %s positional argument%s but %zd %s given", s.fname,
                 takes.c_str(), total == 1 && s.required == total ? "" : "s", given,
                 given == 1 ? "was" : "were");
    return false;
}

[[gnu::cold]] bool missing(const ArgSpec& s, PyObject** out) {
    std::string list;
    int n = 0;
    for (int j = 0; j < s.required; ++j) n += out[j] == nullptr;
    int k = 0, i = 0;
    for (const char* name : s.names) {
        if (i++ >= s.required) break;
        if (out[i - 1]) continue;
        ++k;
        if (k > 1) list += n == 2 ? " and " : (k == n ? ", and " : ", ");
        list += "'";
        list += name;
        list += "'";
    }
    PyErr_Format(PyExc_TypeError, "%s() missing %d required positional argument%s: %s", s.fname, n,
                 n == 1 ? "" : "s", list.c_str());
    return false;
}

// Places one keyword argument; false with TypeError set on a bad one.
bool place_keyword(const ArgSpec& s, PyObject* key, PyObject* value, Py_ssize_t nargs,
                   PyObject** out) {
    if (!PyUnicode_Check(key)) {
        PyErr_Format(PyExc_TypeError, "%s() keywords must be strings", s.fname);
        return false;
    }
    int i = 0;
    for (const char* name : s.names) {
        if (PyUnicode_EqualToUTF8(key, name)) {
            if (i < nargs || out[i]) {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", s.fname,
                             name);
                return false;
            }
            out[i] = value;
            return true;
        }
        ++i;
    }
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", s.fname, key);
    return false;
}

bool check_required(const ArgSpec& s, PyObject** out) {
    for (int i = 0; i < s.required; ++i)
        if (!out[i]) return missing(s, out);
    return true;
}

}  // namespace

bool parse_args(const ArgSpec& s, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                PyObject** out) {
    const Py_ssize_t total = static_cast<Py_ssize_t>(s.names.size());
    for (Py_ssize_t i = 0; i < total && i < kMaxArgs; ++i) out[i] = nullptr;
    if (nargs > total) return too_many(s, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
    if (kwnames) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k)
            if (!place_keyword(s, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], nargs, out))
                return false;
    }
    return check_required(s, out);
}

bool parse_args_tuple(const ArgSpec& s, PyObject* args, PyObject* kwargs, PyObject** out) {
    const Py_ssize_t total = static_cast<Py_ssize_t>(s.names.size());
    for (Py_ssize_t i = 0; i < total && i < kMaxArgs; ++i) out[i] = nullptr;
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (nargs > total) return too_many(s, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = PyTuple_GET_ITEM(args, i);
    if (kwargs) {
        // The kwargs dict of a call is private to that call; no other thread
        // can see it, so iterating it needs no critical section.
        Py_ssize_t it = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &it, &key, &value))
            if (!place_keyword(s, key, value, nargs, out)) return false;
    }
    return check_required(s, out);
}

}  // namespace brindle
