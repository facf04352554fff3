// Arguments of the module's functions and methods, checked with the
// interpreter's own wording for Python functions ("f() missing 1 required
// positional argument: 'x'", ...), so that callers cannot tell the engine's
// signatures from pure-Python ones.
//
//   PyResult<PyRef> f(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
//       PyObject* a[2];
//       BR_TRY(parse_args({"f", {"source", "helpers"}, 2}, args, nargs, kw, a));
//       BR_TRY(check_helpers("f", a[1]));
//       if (!PyBool_Check(a[0])) return arg_must_be("f", "source", "bool", a[0]);
//       std::int64_t n = BR_TRY(int64_arg(a[0]));
//       ...
//   }
#pragma once

#include <Python.h>

#include <frame/result.hpp>

#include <cstdint>
#include <initializer_list>
#include <optional>

namespace brindle {

struct ArgSpec {
    const char* fname;  // as shown before "()", e.g. "RowReader.next_row"
    std::initializer_list<const char*> names;
    int required;  // the first `required` names have no default
};

// Vectorcall form (METH_FASTCALL | METH_KEYWORDS). Fills out[i] with a
// borrowed reference, or nullptr when not given (it has a default).
[[nodiscard]] PyResult<void> parse_args(const ArgSpec& sig, PyObject* const* args,
                                        Py_ssize_t nargs, PyObject* kwnames, PyObject** out);

// The same for tp_new / tp_init (args tuple, kwargs dict or nullptr).
[[nodiscard]] PyResult<void> parse_args_tuple(const ArgSpec& sig, PyObject* args,
                                              PyObject* kwargs, PyObject** out);

// TypeError "{subject} must be {want}, not {type name of got}".
[[nodiscard, gnu::cold]] std::unexpected<BindError> must_be(const char* subject, const char* want,
                                                            PyObject* got);

// TypeError "{fname}() argument '{arg}' must be {want}, not {type name of got}".
[[nodiscard, gnu::cold]] std::unexpected<BindError> arg_must_be(const char* fname, const char* arg,
                                                                const char* want, PyObject* got);

// The `helpers` argument of an entry point is a dict (or subclass):
// "{fname}() argument 'helpers' must be dict, not {type}" otherwise.
[[nodiscard]] PyResult<void> check_helpers(const char* fname, PyObject* helpers);

// operator.index(v) as a 64-bit integer; nullopt, with no exception set, for
// an int outside that range. Errors as operator.index raises them.
[[nodiscard]] PyResult<std::optional<std::int64_t>> index_int64(PyObject* v);

// index_int64 with the interpreter's OverflowError for an int out of range.
[[nodiscard]] PyResult<std::int64_t> int64_arg(PyObject* v);

// The value of an object whose type is exactly int and that fits in 64 bits;
// never raises (nothing else can run for an exact int).
[[nodiscard]] std::optional<std::int64_t> exact_int(PyObject* obj) noexcept;

}  // namespace brindle
