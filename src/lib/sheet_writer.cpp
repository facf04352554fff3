// SheetWriter: writes the <sheetData> of a worksheet.
#include <Python.h>

#include <lib/args.hpp>
#include <lib/borrow.hpp>
#include <lib/entry.hpp>
#include <lib/errors.hpp>
#include <lib/once.hpp>
#include <lib/pyref.hpp>
#include <lib/types.hpp>
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

// No C++ exception may reach the interpreter; the only one our code can
// throw is an allocation failure of a buffer.
template <class F>
PyObject* guarded(F&& f) {
    try {
        return f();
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

[[gnu::cold]] PyObject* wrong_type(const char* arg, const char* want, PyObject* got) {
    PyErr_Format(PyExc_TypeError, "SheetWriter() argument '%s' must be %s, not %.200s", arg, want,
                 Py_TYPE(got)->tp_name);
    return nullptr;
}

PyObject* writer_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    PyObject* a[4];
    if (!parse_args_tuple({"SheetWriter", {"ws", "write", "lxml", "helpers"}, 4}, args, kwargs, a))
        return nullptr;
    if (!PyBool_Check(a[2])) return wrong_type("lxml", "bool", a[2]);
    if (!PyDict_Check(a[3])) return wrong_type("helpers", "dict", a[3]);
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    // Built in place at once: the collector may visit the object while
    // construction runs host code.
    SheetWriterObject* obj = as_writer(self);
    new (&obj->flag) BorrowFlag();
    new (&obj->w) Writer();
    PyObject* result = guarded([&]() -> PyObject* {
        if (!obj->w.init(a[0], a[1], a[2] == Py_True, a[3])) return nullptr;
        return self;
    });
    if (!result) Py_DECREF(self);
    return result;
}

int writer_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    return as_writer(self)->w.traverse(visit, arg);
}

int writer_clear(PyObject* self) {
    as_writer(self)->w.clear();
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

[[nodiscard]] PyResult<std::int64_t> row_index_arg(PyObject* obj) {
    const long long n = PyLong_AsLongLong(obj);
    if (n == -1 && PyErr_Occurred()) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyRef exc = PyRef::steal(PyErr_GetRaisedException());
            PyErr_Format(PyExc_TypeError, "SheetWriter.write_row() argument 'row_idx': %S",
                         exc.get());
        }
        return py_err();
    }
    return n;
}

PyObject* write_row(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    PyObject* a[2];
    if (!parse_args({"SheetWriter.write_row", {"cells", "row_idx"}, 2}, args, nargs, kw, a))
        return nullptr;
    Exclusive hold(as_writer(self)->flag);
    if (!hold.ok()) return nullptr;
    return guarded([&]() -> PyObject* {
        const auto row = row_index_arg(a[1]);
        if (!row) return nullptr;
        if (!as_writer(self)->w.write_row(a[0], *row)) return nullptr;
        Py_RETURN_NONE;
    });
}

PyResult<PyRef> write_sheet_data(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kw) {
    PyObject* a[1];
    BR_TRY_VOID(parse_args({"SheetWriter.write_sheet_data", {"rows_fallback"}, 1}, args, nargs, kw, a));
    Exclusive hold(as_writer(self)->flag);
    if (!hold.ok()) return py_err();
    BR_TRY_VOID(as_writer(self)->w.write_sheet_data(a[0]));
    return PyRef::borrow(Py_None);
}

PyObject* flush(PyObject* self, PyObject*) {
    Exclusive hold(as_writer(self)->flag);
    if (!hold.ok()) return nullptr;
    return guarded([&]() -> PyObject* {
        if (!as_writer(self)->w.flush()) return nullptr;
        Py_RETURN_NONE;
    });
}

template <auto F>
PyCFunction fastcall() {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(F));
}

PyMethodDef writer_methods[] = {
    {"write_row", fastcall<write_row>(), METH_FASTCALL | METH_KEYWORDS,
     "write_row($self, cells, row_idx)\n--\n\n"
     "Write one `<row>` from an iterable of cells (write-only worksheets)."},
    {"write_sheet_data", py_method<write_sheet_data>(), METH_FASTCALL | METH_KEYWORDS,
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
