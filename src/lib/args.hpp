// Argument parsing for the module's functions and methods, with the
// interpreter's own wording for Python functions ("f() missing 1 required
// positional argument: 'x'", ...), so that callers cannot tell the engine's
// signatures from pure-Python ones.
#pragma once

#include <Python.h>

#include <initializer_list>

namespace brindle {

struct ArgSpec {
    const char* fname;  // as shown before "()", e.g. "RowReader.next_row"
    std::initializer_list<const char*> names;
    int required;  // the first `required` names have no default
};

// Vectorcall form. Fills out[i] with a borrowed reference or nullptr (not
// given, has a default). Returns false with TypeError set on a bad call.
[[nodiscard]] bool parse_args(const ArgSpec& sig, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames, PyObject** out);

// tp_new / tp_init form (args tuple, kwargs dict or nullptr).
[[nodiscard]] bool parse_args_tuple(const ArgSpec& sig, PyObject* args, PyObject* kwargs,
                                    PyObject** out);

}  // namespace brindle
