// RowReader: the streaming reader of read-only worksheets.
#include <Python.h>

#include <lib/args.hpp>
#include <lib/borrow.hpp>
#include <lib/errors.hpp>
#include <lib/once.hpp>
#include <lib/pyref.hpp>
#include <lib/types.hpp>

namespace brindle {
namespace {

struct RowReaderObject {
    PyObject_HEAD
    BorrowFlag flag;
    PyRef actions;
};

RowReaderObject* as_reader(PyObject* self) { return reinterpret_cast<RowReaderObject*>(self); }

PyObject* reader_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
    PyObject* a[3];
    if (!parse_args_tuple({"RowReader", {"source", "parser", "helpers"}, 3}, args, kwargs, a))
        return nullptr;
    return raise_fallback(kNotAvailable);
}

int reader_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    return as_reader(self)->actions.visit(visit, arg);
}

int reader_clear(PyObject* self) {
    as_reader(self)->actions.reset();
    return 0;
}

void reader_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    reader_clear(self);
    as_reader(self)->~RowReaderObject();
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyObject* next_row(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    PyObject* a[7];
    if (!parse_args({"RowReader.next_row",
                     {"ws", "min_col", "max_col", "values_only", "cell_cls", "filler", "extra_none"},
                     6},
                    args, nargs, kw, a))
        return nullptr;
    Exclusive hold(as_reader(self)->flag);
    if (!hold.ok()) return nullptr;
    return raise_fallback(kNotAvailable);
}

PyObject* next_raw(PyObject* self, PyObject*) {
    Exclusive hold(as_reader(self)->flag);
    if (!hold.ok()) return nullptr;
    return raise_fallback(kNotAvailable);
}

PyObject* get_actions(PyObject* self, void*) {
    PyObject* a = as_reader(self)->actions.get();
    return a ? Py_NewRef(a) : PyList_New(0);
}

PyMethodDef reader_methods[] = {
    {"next_row", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(next_row)),
     METH_FASTCALL | METH_KEYWORDS,
     "next_row($self, ws, min_col, max_col, values_only, cell_cls, filler, extra_none=None)\n--\n\n"
     "Mirrors ReadOnlyWorksheet._get_row for the next row in the source.\n"
     "Returns None at the end, else (idx, tuple_of_cells_or_values)."},
    {"next_raw", next_raw, METH_NOARGS,
     "next_raw($self)\n--\n\n"
     "Next raw row: (idx, [(row, column, value, data_type, style_id), ...])\n"
     "or None at the end of the document."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef reader_getset[] = {
    {"actions", get_actions, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot reader_slots[] = {
    {Py_tp_doc, const_cast<char*>("RowReader(source, parser, helpers)\n--\n\n"
                                  "Streaming row reader used by ReadOnlyWorksheet.")},
    {Py_tp_new, reinterpret_cast<void*>(reader_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(reader_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(reader_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(reader_clear)},
    {Py_tp_methods, reader_methods},
    {Py_tp_getset, reader_getset},
    {0, nullptr},
};

PyType_Spec reader_spec = {
    "RowReader",
    sizeof(RowReaderObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    reader_slots,
};

OnceObject reader_type_cell;

}  // namespace

PyObject* row_reader_type() {
    return reader_type_cell.get([] { return PyType_FromSpec(&reader_spec); });
}

}  // namespace brindle
