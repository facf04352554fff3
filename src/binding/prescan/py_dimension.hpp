// find_dimension(source) -> (snippet bytes, namespaces) or None.
#pragma once

#include <Python.h>

#include <lib/pyref.hpp>
#include <lib/result.hpp>

namespace brindle {

[[nodiscard]] PyResult<PyRef> find_dimension(PyObject* source);

}  // namespace brindle
