// SheetWriter: writes the <sheetData> of a worksheet.
#include <Python.h>

#include <frame/args.hpp>
#include <frame/borrow.hpp>
#include <frame/entry.hpp>
#include <frame/errors.hpp>
#include <frame/gc_object.hpp>
#include <frame/once.hpp>
#include <frame/pyref.hpp>
#include <frame/types.hpp>
#include <writer/writer.hpp>

#include <new>

namespace brindle {
namespace {

struct SheetWriterObject {
    PyObject_HEAD
        BorrowFlag flag;
    Writer w;
};

SheetWriterObject* as_writer(PyObject* self) { return reinterpret_cast<SheetWriterObject*>(self); }

PyResult<PyRef> writer_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    PyObject* a[4];
    BR_TRY(parse_args_tuple({"SheetWriter", {"ws", "write", "lxml", "helpers"}, 4}, args, kwargs, a));
    if (!PyBool_Check(a[2])) return arg_must_be("SheetWriter", "lxml", "bool", a[2]);
    BR_TRY(check_helpers("SheetWriter", a[3]));
    PyRef self = BR_TRY(owned(type->tp_alloc(type, 0)));
    // Built in place at once: the collector may visit the object while
    // construction runs host code.
    SheetWriterObject* obj = as_writer(self.get());
    new (&obj->flag) BorrowFlag();
    new (&obj->w) Writer();
    BR_TRY(obj->w.init(a[0], a[1], a[2] == Py_True, a[3]));
    return self;
}

int writer_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    return as_writer(self)->w.traverse(visit, arg);
}

int writer_clear(PyObject* self) {
    as_writer(self)->w.clear();
    return 0;
}

PyResult<std::int64_t> row_index_arg(PyObject* obj) {
    auto n = int64_arg(obj);
    if (!n && PyErr_ExceptionMatches(PyExc_TypeError)) {
        PyRef exc = PyRef::steal(PyErr_GetRaisedException());
        PyErr_Format(PyExc_TypeError, "SheetWriter.write_row() argument 'row_idx': %S", exc.get());
    }
    return n;
}

PyResult<PyRef> write_row(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    PyObject* a[2];
    BR_TRY(parse_args({"SheetWriter.write_row", {"cells", "row_idx"}, 2}, args, nargs, kw, a));
    Exclusive hold(as_writer(self)->flag);
    if (!hold.ok()) return py_err();
    const std::int64_t row = BR_TRY(row_index_arg(a[1]));
    BR_TRY(as_writer(self)->w.write_row(a[0], row));
    return PyRef::borrow(Py_None);
}

PyResult<PyRef> write_plain_row(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kw) {
    PyObject* a[4];
    BR_TRY(parse_args({"SheetWriter.write_plain_row", {"values", "row_idx", "date_styles", "error_codes"}, 4},
                      args, nargs, kw, a));
    Exclusive hold(as_writer(self)->flag);
    if (!hold.ok()) return py_err();
    const std::int64_t row = BR_TRY(row_index_arg(a[1]));
    bool declined = true;
    const auto span = BR_TRY(as_writer(self)->w.write_plain_row(a[0], row, a[2], a[3], declined));
    if (declined) return PyRef::borrow(Py_False);
    if (!span) return PyRef::borrow(Py_None);
    return owned(Py_BuildValue("(LL)", static_cast<long long>(span->first),
                               static_cast<long long>(span->second)));
}

PyResult<PyRef> write_sheet_data(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kw) {
    PyObject* a[1];
    BR_TRY(parse_args({"SheetWriter.write_sheet_data", {"rows_fallback"}, 1}, args, nargs, kw, a));
    Exclusive hold(as_writer(self)->flag);
    if (!hold.ok()) return py_err();
    BR_TRY(as_writer(self)->w.write_sheet_data(a[0]));
    return PyRef::borrow(Py_None);
}

PyResult<PyRef> flush(PyObject* self, PyObject*) {
    Exclusive hold(as_writer(self)->flag);
    if (!hold.ok()) return py_err();
    BR_TRY(as_writer(self)->w.flush());
    return PyRef::borrow(Py_None);
}

PyMethodDef writer_methods[] = {
    {"write_row", py_method<write_row>(), METH_FASTCALL | METH_KEYWORDS,
     "write_row($self, cells, row_idx)\n--\n\n"
     "Write one `<row>` from an iterable of cells (write-only worksheets)."},
    {"write_plain_row", py_method<write_plain_row>(), METH_FASTCALL | METH_KEYWORDS,
     "write_plain_row($self, values, row_idx, date_styles, error_codes)\n--\n\n"
     "Write one `<row>` of a write-only worksheet straight from a list or tuple\n"
     "of plain values (what `WriteOnlyWorksheet.append` makes cells of: exact\n"
     "int, float, bool and str, None, dates whose type has a style in\n"
     "`date_styles`; `error_codes` is the set of error texts). Returns False,\n"
     "having written nothing, when an item needs a cell; otherwise the first and\n"
     "last columns written, or None for a row without cells."},
    {"write_sheet_data", py_method<write_sheet_data>(), METH_FASTCALL | METH_KEYWORDS,
     "write_sheet_data($self, rows_fallback)\n--\n\n"
     "Write the whole `<sheetData>` element for `ws` (WorksheetWriter.write_rows).\n"
     "`rows_fallback` is `WorksheetWriter.rows` used when cell keys are not\n"
     "plain integer tuples."},
    {"flush", py_method<flush>(), METH_NOARGS, "flush($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot writer_slots[] = {
    {Py_tp_doc, const_cast<char*>("SheetWriter(ws, write, lxml, helpers)\n--\n\n")},
    {Py_tp_new, py_slot<writer_new>()},
    {Py_tp_dealloc, gc_dealloc<SheetWriterObject, writer_clear>()},
    {Py_tp_traverse, reinterpret_cast<void*>(writer_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(writer_clear)},
    {Py_tp_methods, writer_methods},
    {0, nullptr},
};

PyType_Spec writer_spec = {
    "brindle._brindle.SheetWriter",
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
