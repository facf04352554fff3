// SheetWriter: writes the <sheetData> of a worksheet.
#include <Python.h>

#include <lib/args.hpp>
#include <lib/borrow.hpp>
#include <lib/errors.hpp>
#include <lib/once.hpp>
#include <lib/pyref.hpp>
#include <lib/types.hpp>

namespace brindle {
namespace {

struct SheetWriterObject {
    PyObject_HEAD
    BorrowFlag flag;
    PyRef write;
};

SheetWriterObject* as_writer(PyObject* self) { return reinterpret_cast<SheetWriterObject*>(self); }

PyObject* writer_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
    PyObject* a[4];
    if (!parse_args_tuple({"SheetWriter", {"ws", "write", "lxml", "helpers"}, 4}, args, kwargs, a))
        return nullptr;
    return raise_fallback(kNotAvailable);
}

int writer_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    return as_writer(self)->write.visit(visit, arg);
}

int writer_clear(PyObject* self) {
    as_writer(self)->write.reset();
    return 0;
}

void writer_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    writer_clear(self);
    as_writer(self)->~SheetWriterObject();
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyObject* write_row(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    PyObject* a[2];
    if (!parse_args({"SheetWriter.write_row", {"cells", "row_idx"}, 2}, args, nargs, kw, a))
        return nullptr;
    Exclusive hold(as_writer(self)->flag);
    if (!hold.ok()) return nullptr;
    return raise_fallback(kNotAvailable);
}

PyObject* write_sheet_data(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    PyObject* a[1];
    if (!parse_args({"SheetWriter.write_sheet_data", {"rows_fallback"}, 1}, args, nargs, kw, a))
        return nullptr;
    Exclusive hold(as_writer(self)->flag);
    if (!hold.ok()) return nullptr;
    return raise_fallback(kNotAvailable);
}

PyObject* flush(PyObject* self, PyObject*) {
    Exclusive hold(as_writer(self)->flag);
    if (!hold.ok()) return nullptr;
    return raise_fallback(kNotAvailable);
}

template <auto F>
PyCFunction fastcall() {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(F));
}

PyMethodDef writer_methods[] = {
    {"write_row", fastcall<write_row>(), METH_FASTCALL | METH_KEYWORDS,
     "write_row($self, cells, row_idx)\n--\n\n"
     "Write one `<row>` from an iterable of cells (write-only worksheets)."},
    {"write_sheet_data", fastcall<write_sheet_data>(), METH_FASTCALL | METH_KEYWORDS,
     "write_sheet_data($self, rows_fallback)\n--\n\n"
     "Write the whole `<sheetData>` element for `ws` (WorksheetWriter.write_rows).\n"
     "`rows_fallback` is `WorksheetWriter.rows` used when cell keys are not\n"
     "plain integer tuples."},
    {"flush", flush, METH_NOARGS, "flush($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot writer_slots[] = {
    {Py_tp_doc, const_cast<char*>("SheetWriter(ws, write, lxml, helpers)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(writer_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(writer_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(writer_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(writer_clear)},
    {Py_tp_methods, writer_methods},
    {0, nullptr},
};

PyType_Spec writer_spec = {
    "SheetWriter",
    sizeof(SheetWriterObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    writer_slots,
};

OnceObject writer_type_cell;

}  // namespace

PyObject* sheet_writer_type() {
    return writer_type_cell.get([] { return PyType_FromSpec(&writer_spec); });
}

}  // namespace brindle
