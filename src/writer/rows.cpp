// Rows of a write-only worksheet, and the hand-over of text to the host.
#include <writer/writer.hpp>

#include <writer/cell_ref.hpp>

namespace brindle {

PyResult<void> Writer::flush() {
    if (buf_.empty()) return {};
    const auto len = static_cast<Py_ssize_t>(buf_.size());
    PyRef text = PyRef::steal(lxml_ ? PyBytes_FromStringAndSize(buf_.data(), len)
                                    : PyUnicode_DecodeUTF8(buf_.data(), len, "strict"));
    if (!text) return py_err();
    PyRef r = PyRef::steal(PyObject_CallOneArg(write_.get(), text.get()));
    if (!r) return py_err();
    buf_.clear();  // keeps the capacity
    return {};
}

PyResult<void> Writer::write_row(PyObject* cells, std::int64_t row_idx) {
    BR_TRY_VOID(check_dates());
    PyRef dims = PyRef::steal(PyObject_GetAttr(ws_.get(), n_row_dimensions_.get()));
    if (!dims) return py_err();
    PyRef idx = PyRef::steal(PyLong_FromLongLong(row_idx));
    if (!idx) return py_err();
    PyRef dim = PyRef::steal(PyObject_CallMethodOneArg(dims.get(), n_get_.get(), idx.get()));
    if (!dim) return py_err();
    std::string row_text;
    append_decimal(row_text, row_idx);
    BR_TRY_VOID(write_row_start(row_text, dim.get() == Py_None ? nullptr : dim.get()));
    PyRef it = PyRef::steal(PyObject_GetIter(cells));
    if (!it) return py_err();
    while (PyRef cell = PyRef::steal(PyIter_Next(it.get()))) BR_TRY_VOID(write_one(cell.get()));
    if (PyErr_Occurred()) return py_err();
    buf_.append("</row>");
    return flush_if_full();
}

}  // namespace brindle
