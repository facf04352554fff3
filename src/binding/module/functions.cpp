// The module functions. Each parses its arguments with the interpreter's
// wording and hands the work to its subsystem.
#include <Python.h>

#include <frame/args.hpp>
#include <prescan/py_dimension.hpp>
#include <frame/entry.hpp>
#include <frame/errors.hpp>
#include <frame/types.hpp>
#include <prescan/prescan.hpp>
#include <store/bind.hpp>
#include <text/strings.hpp>

namespace brindle {
namespace {

PyResult<PyRef> read_string_table_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kw) {
    PyObject* a[2];
    BR_TRY(parse_args({"read_string_table", {"source", "helpers"}, 2}, args, nargs, kw, a));
    return read_string_table(a[0], a[1]);
}

PyResult<PyRef> find_dimension_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kw) {
    PyObject* a[1];
    BR_TRY(parse_args({"find_dimension", {"source"}, 1}, args, nargs, kw, a));
    return find_dimension(a[0]);
}

PyResult<PyRef> prescan_sheet_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    PyObject* a[4];
    BR_TRY(parse_args({"prescan_sheet", {"source", "want_rows", "corners", "helpers"}, 4}, args,
                      nargs, kw, a));
    return prescan::prescan_sheet(a[0], a[1], a[2], a[3]);
}

}  // namespace

PyMethodDef module_functions[] = {
    {"read_string_table", py_method<read_string_table_fn>(), METH_FASTCALL | METH_KEYWORDS,
     "read_string_table(source, helpers)\n--\n\nread_string_table(source, helpers) -> list"},
    {"bind_cells", py_method<bind_cells>(), METH_FASTCALL | METH_KEYWORDS,
     "bind_cells(source, parser, ws, store, cell_styles, cell_cls, helpers, actions)\n--\n\n"
     "Read all cells of a worksheet (full / editable mode) into `store`.\n"
     "\n"
     "Mirrors `WorksheetReader.bind_cells` + `WorkSheetParser.parse`. Cells are\n"
     "kept in compact form in the `CellStore` and become `Cell` objects only\n"
     "when accessed. Other elements are appended to `actions` as\n"
     "`(\"element\", bytes, namespaces)` and warnings as `(\"warn\", message)`\n"
     "for the caller to replay in document order."},
    {"find_dimension", py_method<find_dimension_fn>(), METH_FASTCALL | METH_KEYWORDS,
     "find_dimension(source)\n--\n\n"
     "Find the `dimension` element like `WorkSheetParser.parse_dimensions`.\n"
     "Returns (snippet, namespaces) or None."},
    {"prescan_sheet", py_method<prescan_sheet_fn>(), METH_FASTCALL | METH_KEYWORDS,
     "prescan_sheet(source, want_rows, corners, helpers)\n--\n\n"
     "prescan_sheet(source, want_rows, corners, helpers) -> dict"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace brindle
