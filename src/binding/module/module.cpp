// The entry point of brindle._brindle: multi-phase initialisation, no module
// state, everything added by the one execution step.
#include <Python.h>

#include <frame/errors.hpp>
#include <frame/types.hpp>

namespace brindle {
namespace {

int add_type(PyObject* module, const char* name, PyObject* type) {
    if (!type) return -1;
    return PyModule_AddObjectRef(module, name, type);
}

int module_exec(PyObject* module) {
    if (!PyModule_Check(module)) {
        PyErr_SetString(PyExc_TypeError, "_brindle must be initialised as a module");
        return -1;
    }
    PyObject* fallback = native_fallback_type();
    if (!fallback || PyModule_AddObjectRef(module, "NativeFallback", fallback) < 0) return -1;
    if (PyModule_AddFunctions(module, module_functions) < 0) return -1;
    if (add_type(module, "RowReader", row_reader_type()) < 0) return -1;
    if (add_type(module, "CellStore", cell_store_type()) < 0) return -1;
    if (add_type(module, "SheetWriter", sheet_writer_type()) < 0) return -1;
    return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_brindle",
    "",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace brindle

PyMODINIT_FUNC PyInit__brindle() { return PyModuleDef_Init(&brindle::module_def); }
