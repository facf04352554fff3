// prescan_sheet(source, want_rows, corners, helpers) -> dict
#pragma once

#include <Python.h>

#include <lib/pyref.hpp>
#include <lib/result.hpp>

namespace brindle::prescan {

// Arguments are borrowed; returns a new dict.
[[nodiscard]] PyResult<PyRef> prescan_sheet(PyObject* source, PyObject* want_rows, PyObject* corners, PyObject* helpers);

}  // namespace brindle::prescan
