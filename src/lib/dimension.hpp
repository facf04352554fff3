// find_dimension(source) -> (snippet bytes, namespaces) or None.
#pragma once

#include <Python.h>

namespace brindle {

PyObject* find_dimension(PyObject* source);

}  // namespace brindle
