// Writer construction: everything per-cell writing needs, resolved once.
#include <writer/writer.hpp>

#include <frame/args.hpp>

namespace brindle {

namespace {

[[nodiscard]] PyResult<PyRef> intern(const char* s) {
    PyRef r = PyRef::steal(PyUnicode_InternFromString(s));
    if (!r) return py_err();
    return r;
}

[[nodiscard]] PyResult<PyRef> getattr(PyObject* obj, const char* name) {
    PyRef r = PyRef::steal(PyObject_GetAttrString(obj, name));
    if (!r) return py_err();
    return r;
}

// An exact dictionary lookup: no __missing__, no attribute access.
[[nodiscard]] PyResult<PyRef> helper(PyObject* helpers, const char* key) {
    PyRef k = PyRef::steal(PyUnicode_FromString(key));
    if (!k) return py_err();
    PyObject* found = nullptr;
    const int r = PyDict_GetItemRef(helpers, k.get(), &found);
    if (r < 0) return py_err();
    if (r == 0) {
        PyErr_Format(PyExc_TypeError, "missing helper %s", key);
        return py_err();
    }
    return PyRef::steal(found);
}

[[nodiscard]] PyResult<std::int64_t> int_attr(PyObject* obj, const char* name) {
    PyRef v = BR_TRY(getattr(obj, name));
    return int64_arg(v.get());
}

}  // namespace

PyResult<void> Writer::init(PyObject* ws, PyObject* write, bool lxml, PyObject* helpers) {
    buf_.reserve(kInitialCapacity);
    lxml_ = lxml;
    ws_ = PyRef::borrow(ws);
    write_ = PyRef::borrow(write);
    n_value_ = BR_TRY(intern("_value"));
    n_style_ = BR_TRY(intern("_style"));
    n_comment_ = BR_TRY(intern("_comment"));
    n_data_type_ = BR_TRY(intern("data_type"));
    n_hyperlink_ = BR_TRY(intern("hyperlink"));
    n_row_ = BR_TRY(intern("row"));
    n_column_ = BR_TRY(intern("column"));
    n_add_ = BR_TRY(intern("add"));
    n_append_ = BR_TRY(intern("append"));
    n_update_ = BR_TRY(intern("update"));
    n_get_ = BR_TRY(intern("get"));
    n_row_dimensions_ = BR_TRY(intern("row_dimensions"));
    n_cells_ = BR_TRY(intern("_cells"));
    n_keys_ = BR_TRY(intern("keys"));
    n_epoch_ = BR_TRY(intern("epoch"));
    n_iso_dates_ = BR_TRY(intern("iso_dates"));
    n_parent_ = BR_TRY(intern("parent"));
    n_as_read_ = BR_TRY(intern("_as_read"));
    field_names_ = {n_comment_.get(), n_value_.get(), n_style_.get(), n_data_type_.get(),
                    n_row_.get(), n_column_.get(), n_hyperlink_.get(), n_as_read_.get()};
    {
        PyRef wb = BR_TRY(getattr(ws, "parent"));
        cell_styles_ = BR_TRY(getattr(wb.get(), "_cell_styles"));
    }
    style_array_cls_ = BR_TRY(helper(helpers, "StyleArray"));
    hyperlinks_ = BR_TRY(getattr(ws, "_hyperlinks"));
    {
        PyRef keep = PyRef::steal(PyObject_GetAttrString(ws, "_keep_results"));
        if (!keep) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return py_err();
            PyErr_Clear();  // a sheet that was never loaded keeps nothing as read
        } else {
            const int t = PyObject_IsTrue(keep.get());
            if (t < 0) return py_err();
            keep_results_ = t != 0;
        }
    }
    add_comment_ = BR_TRY(helper(helpers, "add_comment"));
    write_cell_ = BR_TRY(helper(helpers, "write_cell"));
    date_value_ = BR_TRY(helper(helpers, "date_value"));
    date_value_raw_ = BR_TRY(helper(helpers, "date_value_raw"));
    BR_TRY_VOID(init_epoch());
    {
        // Dates are converted here only for the host's own date helper,
        // whose arithmetic is known; any other helper is asked every time.
        PyRef cell_mod = PyRef::steal(PyImport_ImportModule("brindle.writer.cell"));
        if (!cell_mod) return py_err();
        PyRef own = PyRef::steal(PyObject_GetAttrString(cell_mod.get(), "date_value"));
        if (!own) return py_err();
        host_date_helper_ = own.get() == date_value_.get();
    }
    {
        PyRef wb = BR_TRY(getattr(ws, "parent"));
        PyRef iso = BR_TRY(getattr(wb.get(), "iso_dates"));
        const int t = PyObject_IsTrue(iso.get());
        if (t < 0) return py_err();
        iso_dates_ = t != 0;
    }
    safe_string_ = BR_TRY(helper(helpers, "safe_string"));
    return {};
}

// Only a naive datetime.datetime (not a subclass) is converted natively;
// stored dates of any other epoch go through the host.
PyResult<void> Writer::init_epoch() {
    PyRef wb = BR_TRY(getattr(ws_.get(), "parent"));
    PyRef epoch = BR_TRY(getattr(wb.get(), "epoch"));
    PyRef datetime_mod = PyRef::steal(PyImport_ImportModule("datetime"));
    if (!datetime_mod) return py_err();
    PyRef host_dates = PyRef::steal(PyImport_ImportModule("brindle.utils.datetime"));
    if (!host_dates) return py_err();
    PyRef windows = BR_TRY(getattr(host_dates.get(), "WINDOWS_EPOCH"));
    PyRef datetime_cls = BR_TRY(getattr(datetime_mod.get(), "datetime"));
    datetime_cls_ = datetime_cls.clone();
    date_cls_ = BR_TRY(getattr(datetime_mod.get(), "date"));
    epoch_obj_ = epoch.clone();
    if (reinterpret_cast<PyObject*>(Py_TYPE(epoch.get())) != datetime_cls.get()) return {};
    PyRef tz = BR_TRY(getattr(epoch.get(), "tzinfo"));
    if (tz.get() != Py_None) return {};
    std::int64_t f[7];
    const char* names[7] = {"year", "month", "day", "hour", "minute", "second", "microsecond"};
    for (int i = 0; i < 7; ++i) f[i] = BR_TRY(int_attr(epoch.get(), names[i]));
    const int eq = PyObject_RichCompareBool(epoch.get(), windows.get(), Py_EQ);
    if (eq < 0) return py_err();
    epoch_ = Epoch::make(f[0], f[1], f[2], f[3], f[4], f[5], f[6], eq != 0);
    return {};
}

PyResult<void> Writer::check_dates() {
    native_dates_ = false;
    if (!epoch_ || iso_dates_ || !epoch_obj_ || !host_date_helper_) return {};
    // The host's helper reads these afresh for every date; a workbook whose
    // settings changed since the writer was made, or that no longer answers
    // for them, leaves its dates to the helper (which then decides, or
    // raises, as it would have).
    PyRef wb = PyRef::steal(PyObject_GetAttr(ws_.get(), n_parent_.get()));
    PyRef epoch = wb ? PyRef::steal(PyObject_GetAttr(wb.get(), n_epoch_.get())) : PyRef();
    PyRef iso = epoch ? PyRef::steal(PyObject_GetAttr(wb.get(), n_iso_dates_.get())) : PyRef();
    int iso_on = -1;
    if (iso) iso_on = PyObject_IsTrue(iso.get());
    if (iso_on < 0) {
        if (!clear_ordinary_error()) return py_err();
        return {};
    }
    native_dates_ = epoch.get() == epoch_obj_.get() && iso_on == 0;
    return {};
}

int Writer::traverse(visitproc visit, void* arg) const {
    for (const PyRef* r : {&ws_, &write_, &cell_styles_, &style_array_cls_, &hyperlinks_,
                           &add_comment_, &write_cell_, &date_value_, &date_value_raw_,
                           &safe_string_, &epoch_obj_, &date_cls_, &datetime_cls_})
        if (int e = r->visit(visit, arg)) return e;
    for (const auto& [key, entry] : style_cache_)
        if (int e = entry.id.visit(visit, arg)) return e;
    return layout_.traverse(visit, arg);
}

void Writer::clear() noexcept {
    for (PyRef* r : {&ws_, &write_, &cell_styles_, &style_array_cls_, &hyperlinks_, &add_comment_,
                     &write_cell_, &date_value_, &date_value_raw_, &safe_string_, &epoch_obj_,
                     &date_cls_, &datetime_cls_})
        r->reset();
    native_dates_ = false;
    layout_.clear();
    // Moved out first: dropping an id may run arbitrary code, which must
    // not find the map half destroyed.
    auto cache = std::move(style_cache_);
    style_cache_.clear();
    cache.clear();
}

}  // namespace brindle
