// Rows of a write-only worksheet, and the hand-over of text to the host.
#include <writer/writer.hpp>

#include <text/element_text.hpp>
#include <writer/cell_ref.hpp>
#include <writer/escape.hpp>

#include <new>
#include <vector>

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

PyResult<void> Writer::write_only_row_start(std::int64_t row_idx) {
    PyRef dims = PyRef::steal(PyObject_GetAttr(ws_.get(), n_row_dimensions_.get()));
    if (!dims) return py_err();
    PyRef idx = PyRef::steal(PyLong_FromLongLong(row_idx));
    if (!idx) return py_err();
    PyRef dim = PyRef::steal(PyObject_CallMethodOneArg(dims.get(), n_get_.get(), idx.get()));
    if (!dim) return py_err();
    std::string row_text;
    append_decimal(row_text, row_idx);
    BR_TRY_VOID(write_row_start(row_text, dim.get() == Py_None ? nullptr : dim.get()));
    return {};
}

PyResult<void> Writer::write_row(PyObject* cells, std::int64_t row_idx) {
    BR_TRY_VOID(check_dates());
    BR_TRY_VOID(write_only_row_start(row_idx));
    PyRef it = PyRef::steal(PyObject_GetIter(cells));
    if (!it) return py_err();
    while (PyRef cell = PyRef::steal(PyIter_Next(it.get()))) BR_TRY_VOID(write_one(cell.get()));
    if (PyErr_Occurred()) return py_err();
    buf_.append("</row>");
    return flush_if_full();
}

}  // namespace brindle

namespace brindle {

// The values of a write-only row as the host's append would turn them into
// cells (exact ints, floats, bools and strs, None skipped, dates of a type
// whose style the worksheet already knows), written without making cells;
// nullopt, having written nothing, when any item needs the host.
PyResult<std::optional<std::pair<std::int64_t, std::int64_t>>> Writer::write_plain_row(
    PyObject* values, std::int64_t row_idx, PyObject* date_styles, PyObject* error_codes,
    bool& declined) {
    declined = true;
    // Kept by the writer so that rows reuse their storage; emptied (and the
    // references released) whatever way the call ends.
    std::vector<PyRef>& items = plain_values_;
    std::vector<PlainItem>& row = plain_items_;
    struct Release {
        std::vector<PyRef>& a;
        std::vector<PlainItem>& b;
        ~Release() {
            a.clear();
            b.clear();
        }
    } release{items, row};
    if (PyTuple_CheckExact(values)) {
        const Py_ssize_t n = PyTuple_GET_SIZE(values);
        items.reserve(static_cast<std::size_t>(n));
        for (Py_ssize_t i = 0; i < n; ++i) items.push_back(PyRef::borrow(PyTuple_GET_ITEM(values, i)));
    } else if (PyList_CheckExact(values)) {
        // Another thread may change the list: its items are taken at once.
        bool oom = false;
        Py_BEGIN_CRITICAL_SECTION(values);
        const Py_ssize_t n = PyList_GET_SIZE(values);
        try {
            items.reserve(static_cast<std::size_t>(n));
            for (Py_ssize_t i = 0; i < n; ++i)
                items.push_back(PyRef::borrow(PyList_GET_ITEM(values, i)));
        } catch (const std::bad_alloc&) {
            oom = true;
        }
        Py_END_CRITICAL_SECTION();
        if (oom) throw std::bad_alloc();  // outside the critical section
    } else {
        return std::nullopt;
    }
    if (items.size() > static_cast<std::size_t>(kMaxColumn) || !PyDict_CheckExact(date_styles) ||
        !PyFrozenSet_CheckExact(error_codes))
        return std::nullopt;
    BR_TRY_VOID(check_dates());

    row.reserve(items.size());
    std::int64_t column = 0;
    for (PyRef& v : items) {
        ++column;
        PyObject* value = v.get();
        if (value == Py_None) continue;
        PlainItem it;
        it.column = column;
        PyTypeObject* tp = Py_TYPE(value);
        if (tp == &PyLong_Type || tp == &PyFloat_Type) {
            it.dtype = "n";
        } else if (tp == &PyBool_Type) {
            it.dtype = "b";
        } else if (tp == &PyUnicode_Type) {
            // The host refuses a formula with characters XML cannot hold;
            // its error is the host's to raise. Strings carry them as escapes.
            it.c = classify(value);
            if (it.c.kind() != Classified::Kind::Text) return std::nullopt;
            const std::string_view t = it.c.text();
            // A text whose element could pass the readers' limit once
            // escaped (at most seven characters for one) is measured and
            // refused by the host, naming the cell.
            if (t.size() > kMaxText / 7) return std::nullopt;
            if (t.size() > 1 && t[0] == '=') {
                if (has_forbidden_char(t)) return std::nullopt;
                it.dtype = "f";
            } else {
                const int e = PySet_Contains(error_codes, value);
                if (e < 0) return py_err();
                it.dtype = e ? "e" : "s";
            }
        } else {
            // A date of a type whose style the worksheet has: converted here
            // when the host's helper would give a serial number.
            if (!native_dates_) return std::nullopt;
            PyObject* style = nullptr;
            const int found =
                PyDict_GetItemRef(date_styles, reinterpret_cast<PyObject*>(tp), &style);
            if (found < 0) return py_err();
            if (found == 0) return std::nullopt;
            it.style = PyRef::steal(style);
            const auto serial = native_serial(value);
            if (!serial) return std::nullopt;
            it.dtype = "d";
            it.c = Classified::number(*serial);
        }
        if (it.dtype != "s" && it.dtype != "f" && it.dtype != "e" && it.dtype != "d") {
            it.c = classify(value);
            if (it.c.kind() != Classified::Kind::Number) return std::nullopt;
        }
        it.value = std::move(v);
        row.push_back(std::move(it));
    }

    declined = false;
    BR_TRY_VOID(write_only_row_start(row_idx));
    for (PlainItem& it : row) {
        std::optional<std::string_view> style_attr;
        std::optional<std::string_view> type_attr = it.dtype;
        if (it.dtype == "d") type_attr = "n";
        if (it.dtype == "s") type_attr = kDtNames[kDtInlineStr];
        if (it.dtype == "f") type_attr.reset();
        if (it.style) {
            const StyleProbe probe = BR_TRY(probe_style(it.style.get()));
            if (probe.styled)
                style_attr = BR_TRY(style_text(it.style.get(), probe.keyed ? &probe.key : nullptr));
        }
        const bool written = BR_TRY(
            emit(row_idx, it.column, it.dtype, type_attr, it.c, style_attr, Py_None));
        if (!written) {
            // Every item was checked above; nothing here is left to the host.
            PyErr_SetString(PyExc_SystemError, "plain row item not written");
            return py_err();
        }
    }
    buf_.append("</row>");
    BR_TRY_VOID(flush_if_full());
    if (row.empty()) return std::nullopt;
    return std::pair{row.front().column, row.back().column};
}

}  // namespace brindle
