// The shared-string table of a workbook, read into the list the host keeps.
#pragma once

#include <Python.h>

#include <frame/pyref.hpp>
#include <frame/result.hpp>

namespace brindle {

// read_string_table(source, helpers) -> list: one entry per main-namespace
// <si> item directly inside the root. Items the engine cannot vouch for go
// to helpers["si_content"]; XML errors leave as NativeFallback.
[[nodiscard]] PyResult<PyRef> read_string_table(PyObject* source, PyObject* helpers);

}  // namespace brindle
