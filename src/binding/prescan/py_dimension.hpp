// find_dimension(source) -> (snippet bytes, namespaces) or None.
#pragma once

#include <Python.h>

#include <frame/pyref.hpp>
#include <frame/result.hpp>

namespace brindle {

[[nodiscard]] PyResult<PyRef> find_dimension(PyObject* source);

}  // namespace brindle
