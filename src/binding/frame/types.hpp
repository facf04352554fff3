// Type objects of the module, each built from its PyType_Spec on first use and
// cached for the life of the process. Each returns a borrowed reference, or
// nullptr with an exception set.
#pragma once

#include <Python.h>

namespace brindle {

PyObject* row_reader_type();
PyObject* cell_store_type();
PyObject* sheet_writer_type();
PyObject* key_iter_type();

// The module functions, in registration order, ending with a null entry.
extern PyMethodDef module_functions[];

}  // namespace brindle
