// prescan_sheet(source, want_rows, corners, helpers) -> dict
#pragma once

#include <Python.h>

namespace brindle::prescan {

// Arguments are borrowed; returns a new dict, or nullptr with an exception set.
PyObject* prescan_sheet(PyObject* source, PyObject* want_rows, PyObject* corners, PyObject* helpers);

}  // namespace brindle::prescan
