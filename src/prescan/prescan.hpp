// The quick look at a worksheet before a load: the elements around
// <sheetData>, the rows with attributes of their own and the styles of a
// few cells, without reading any cell value.
#pragma once

#include <Python.h>

namespace brindle {

// The module function's body; arguments already extracted (borrowed).
[[nodiscard]] PyObject* prescan_sheet(PyObject* source, PyObject* want_rows, PyObject* corners, PyObject* helpers);

}  // namespace brindle
