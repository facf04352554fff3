#include <frame/args.hpp>

#include <string>

namespace brindle {

namespace {

constexpr int kMaxArgs = 16;

[[gnu::cold]] std::unexpected<BindError> too_many(const ArgSpec& s, Py_ssize_t given) {
    const int total = static_cast<int>(s.names.size());
    std::string takes = s.required == total
                            ? std::to_string(total)
                            : "from " + std::to_string(s.required) + " to " + std::to_string(total);
    PyErr_Format(PyExc_TypeError, "%s() takes %s positional argument%s but %zd %s given", s.fname,
                 takes.c_str(), total == 1 && s.required == total ? "" : "s", given,
                 given == 1 ? "was" : "were");
    return py_err();
}

[[gnu::cold]] std::unexpected<BindError> missing(const ArgSpec& s, PyObject** out) {
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
    return py_err();
}

// Places one keyword argument; TypeError on a bad one.
PyResult<void> place_keyword(const ArgSpec& s, PyObject* key, PyObject* value, Py_ssize_t nargs,
                             PyObject** out) {
    if (!PyUnicode_Check(key)) {
        PyErr_Format(PyExc_TypeError, "%s() keywords must be strings", s.fname);
        return py_err();
    }
    int i = 0;
    for (const char* name : s.names) {
        if (PyUnicode_EqualToUTF8(key, name)) {
            if (i < nargs || out[i]) {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", s.fname,
                             name);
                return py_err();
            }
            out[i] = value;
            return {};
        }
        ++i;
    }
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", s.fname, key);
    return py_err();
}

PyResult<void> check_required(const ArgSpec& s, PyObject** out) {
    for (int i = 0; i < s.required; ++i)
        if (!out[i]) return missing(s, out);
    return {};
}

}  // namespace

PyResult<void> parse_args(const ArgSpec& s, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                          PyObject** out) {
    const Py_ssize_t total = static_cast<Py_ssize_t>(s.names.size());
    for (Py_ssize_t i = 0; i < total && i < kMaxArgs; ++i) out[i] = nullptr;
    if (nargs > total) return too_many(s, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
    if (kwnames) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k)
            BR_TRY(place_keyword(s, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], nargs, out));
    }
    return check_required(s, out);
}

PyResult<void> parse_args_tuple(const ArgSpec& s, PyObject* args, PyObject* kwargs, PyObject** out) {
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
            BR_TRY(place_keyword(s, key, value, nargs, out));
    }
    return check_required(s, out);
}

std::unexpected<BindError> must_be(const char* subject, const char* want, PyObject* got) {
    PyErr_Format(PyExc_TypeError, "%s must be %s, not %.200s", subject, want, Py_TYPE(got)->tp_name);
    return py_err();
}

std::unexpected<BindError> arg_must_be(const char* fname, const char* arg, const char* want,
                                       PyObject* got) {
    PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be %s, not %.200s", fname, arg, want,
                 Py_TYPE(got)->tp_name);
    return py_err();
}

PyResult<void> check_helpers(const char* fname, PyObject* helpers) {
    if (!PyDict_Check(helpers)) [[unlikely]]
        return arg_must_be(fname, "helpers", "dict", helpers);
    return {};
}

PyResult<std::optional<std::int64_t>> index_int64(PyObject* v) {
    // Calls __index__ for a non-int, with operator.index's errors.
    int overflow = 0;
    const long long x = PyLong_AsLongLongAndOverflow(v, &overflow);
    if (overflow != 0) return std::nullopt;
    if (x == -1 && PyErr_Occurred()) return py_err();
    return std::int64_t(x);
}

std::optional<std::int64_t> exact_int(PyObject* obj) noexcept {
    if (!PyLong_CheckExact(obj)) return std::nullopt;
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
    if (overflow != 0) return std::nullopt;
    return static_cast<std::int64_t>(v);
}

PyResult<std::int64_t> int64_arg(PyObject* v) {
    const std::optional<std::int64_t> x = BR_TRY(index_int64(v));
    if (!x) [[unlikely]] {
        PyErr_SetString(PyExc_OverflowError, "int too big to convert");
        return py_err();
    }
    return *x;
}

}  // namespace brindle
