// prescan_sheet(source, want_rows, corners, helpers) -> dict
#pragma once

#include <Python.h>

#include <frame/pyref.hpp>
#include <frame/result.hpp>

namespace brindle::prescan {

// Arguments are borrowed; returns a new dict.
[[nodiscard]] PyResult<PyRef> prescan_sheet(PyObject* source, PyObject* want_rows, PyObject* corners, PyObject* helpers);

}  // namespace brindle::prescan
