// The whole <sheetData> of a normal worksheet: rows in ascending order, each
// with its cells in column order, plus an empty row for every row that has
// only a dimension.
#include <writer/writer.hpp>

#include <frame/types.hpp>
#include <writer/cell_ref.hpp>

#include <algorithm>
#include <new>
#include <vector>

namespace brindle {

namespace {

struct KeyedCell {
    std::int64_t row, column;
    PyRef cell;
};

[[nodiscard]] PyResult<PyRef> call_method(PyObject* obj, PyObject* name, PyObject* arg) {
    PyRef r = PyRef::steal(arg ? PyObject_CallMethodOneArg(obj, name, arg)
                               : PyObject_CallMethodNoArgs(obj, name));
    if (!r) return py_err();
    return r;
}

// The row dimension of `row` (dims.get(row)), or an empty PyRef for None.
[[nodiscard]] PyResult<PyRef> dimension_of(PyObject* dims, PyObject* get, PyObject* row) {
    PyRef d = BR_TRY(call_method(dims, get, row));
    if (d.get() == Py_None) return PyRef();
    return d;
}

}  // namespace

// The rows of dims.keys() ascending and without repeats; nullopt when a key
// is not exactly an int of 64 bits (the keys are then read to the end only
// when `read_all`).
PyResult<std::optional<std::vector<std::int64_t>>> Writer::dimension_rows(PyObject* dims,
                                                                          bool read_all) {
    PyRef ks = BR_TRY(call_method(dims, n_keys_.get(), nullptr));
    PyRef it = PyRef::steal(PyObject_GetIter(ks.get()));
    if (!it) return py_err();
    std::vector<std::int64_t> rows;
    bool plain = true;
    while (PyRef k = PyRef::steal(PyIter_Next(it.get()))) {
        const auto n = exact_int(k.get());
        if (!n) {
            plain = false;
            if (!read_all) break;
        }
        if (plain) rows.push_back(*n);
    }
    if (PyErr_Occurred()) return py_err();
    if (!plain) return std::nullopt;
    std::sort(rows.begin(), rows.end());
    rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
    return rows;
}

PyResult<void> Writer::write_sheet_data(PyObject* rows_fallback) {
    PyRef cells = PyRef::steal(PyObject_GetAttr(ws_.get(), n_cells_.get()));
    if (!cells) return py_err();
    PyRef dims = PyRef::steal(PyObject_GetAttr(ws_.get(), n_row_dimensions_.get()));
    if (!dims) return py_err();
    BR_TRY_VOID(check_dates());
    buf_.append("<sheetData>");
    bool done = BR_TRY(store_rows(cells.get(), dims.get()));
    if (!done && PyDict_Check(cells.get())) done = BR_TRY(dict_rows(cells.get(), dims.get()));
    if (!done) BR_TRY_VOID(fallback_rows(rows_fallback, dims.get()));
    buf_.append("</sheetData>");
    return flush();
}

PyResult<bool> Writer::dict_rows(PyObject* cells, PyObject* dims) {
    std::vector<KeyedCell> keyed;
    bool plain = true;
    bool out_of_memory = false;
    // Only the dictionary's own items are read inside the critical section
    // and no Python code runs there, so no other thread can change the
    // dictionary half way through. Nothing may leave the section but by
    // its end, an allocation failure included.
    Py_BEGIN_CRITICAL_SECTION(cells);
    try {
        keyed.reserve(static_cast<std::size_t>(PyDict_GET_SIZE(cells)));
        Py_ssize_t pos = 0;
        PyObject *key, *cell;
        while (PyDict_Next(cells, &pos, &key, &cell)) {
            if (!PyTuple_Check(key) || PyTuple_GET_SIZE(key) != 2) {
                plain = false;
                break;
            }
            const auto row = exact_int(PyTuple_GET_ITEM(key, 0));
            const auto column = exact_int(PyTuple_GET_ITEM(key, 1));
            if (!row || !column) {
                plain = false;
                break;
            }
            keyed.push_back({*row, *column, PyRef::borrow(cell)});
        }
    } catch (const std::bad_alloc&) {
        out_of_memory = true;
    }
    Py_END_CRITICAL_SECTION();
    if (out_of_memory) throw std::bad_alloc();
    if (!plain) return false;
    const auto dim_rows = BR_TRY(dimension_rows(dims, false));
    if (!dim_rows) return false;
    std::sort(keyed.begin(), keyed.end(), [](const KeyedCell& a, const KeyedCell& b) {
        return a.row != b.row ? a.row < b.row : a.column < b.column;
    });

    std::size_t i = 0, j = 0;
    const std::size_t n = keyed.size(), m = dim_rows->size();
    std::string row_text;
    while (i < n || j < m) {
        std::int64_t row = i < n ? keyed[i].row : (*dim_rows)[j];
        if (j < m) row = std::min(row, (*dim_rows)[j]);
        while (j < m && (*dim_rows)[j] == row) ++j;
        PyRef row_obj = PyRef::steal(PyLong_FromLongLong(row));
        if (!row_obj) return py_err();
        PyRef dim = BR_TRY(dimension_of(dims, n_get_.get(), row_obj.get()));
        row_text.clear();
        append_decimal(row_text, row);
        BR_TRY_VOID(write_row_start(row_text, dim.get()));
        for (; i < n && keyed[i].row == row; ++i) BR_TRY_VOID(write_one(keyed[i].cell.get()));
        BR_TRY_VOID(row_end());
    }
    return true;
}

PyResult<void> Writer::fallback_rows(PyObject* rows_fallback, PyObject* dims) {
    PyRef rows = PyRef::steal(PyObject_CallNoArgs(rows_fallback));
    if (!rows) return py_err();
    PyRef it = PyRef::steal(PyObject_GetIter(rows.get()));
    if (!it) return py_err();
    while (PyRef item = PyRef::steal(PyIter_Next(it.get()))) {
        if (!PyTuple_Check(item.get())) {
            PyErr_Format(PyExc_TypeError, "rows_fallback item must be tuple, not %.200s",
                         Py_TYPE(item.get())->tp_name);
            return py_err();
        }
        if (PyTuple_GET_SIZE(item.get()) != 2) {
            PyErr_Format(PyExc_TypeError,
                         "rows_fallback item must be a 2-tuple, not a %zd-tuple",
                         PyTuple_GET_SIZE(item.get()));
            return py_err();
        }
        PyObject* row = PyTuple_GET_ITEM(item.get(), 0);
        PyObject* row_cells = PyTuple_GET_ITEM(item.get(), 1);
        PyRef text = PyRef::steal(PyObject_Str(row));
        if (!text) return py_err();
        Py_ssize_t len = 0;
        const char* p = PyUnicode_AsUTF8AndSize(text.get(), &len);
        if (!p) return py_err();
        PyRef dim = BR_TRY(dimension_of(dims, n_get_.get(), row));
        BR_TRY_VOID(write_row_start({p, static_cast<std::size_t>(len)}, dim.get()));
        PyRef cells_it = PyRef::steal(PyObject_GetIter(row_cells));
        if (!cells_it) return py_err();
        while (PyRef cell = PyRef::steal(PyIter_Next(cells_it.get())))
            BR_TRY_VOID(write_one(cell.get()));
        if (PyErr_Occurred()) return py_err();
        BR_TRY_VOID(row_end());
    }
    if (PyErr_Occurred()) return py_err();
    return {};
}

}  // namespace brindle
