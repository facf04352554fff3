// The module function bind_cells (full-mode loading of one worksheet).
#pragma once

#include <Python.h>

#include <frame/pyref.hpp>
#include <frame/result.hpp>

namespace brindle {

[[nodiscard]] PyResult<PyRef> bind_cells(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                         PyObject* kwnames);

}  // namespace brindle
