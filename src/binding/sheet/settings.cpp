#include <sheet/settings.hpp>

#include <frame/args.hpp>

namespace brindle {
namespace {

PyResult<PyRef> attr(PyObject* o, const char* name) {
    PyRef v = PyRef::steal(PyObject_GetAttrString(o, name));
    if (!v) return py_err();
    return v;
}

PyResult<bool> truth(PyObject* o) {
    int t = PyObject_IsTrue(o);
    if (t < 0) return py_err();
    return t != 0;
}

PyResult<std::int64_t> int_attr(PyObject* o, const char* name) {
    PyRef v = BR_TRY(attr(o, name));
    return int64_arg(v.get());
}

// The native form of a naive datetime epoch; nothing for any other object,
// whose dates the host's from_excel converts.
PyResult<std::optional<Epoch>> native_epoch(PyObject* parser) {
    PyRef dt_mod = PyRef::steal(PyImport_ImportModule("datetime"));
    if (!dt_mod) return py_err();
    PyRef host_mod = PyRef::steal(PyImport_ImportModule("brindle.utils.datetime"));
    if (!host_mod) return py_err();
    PyRef windows = BR_TRY(attr(host_mod.get(), "WINDOWS_EPOCH"));
    PyRef dt_type = BR_TRY(attr(dt_mod.get(), "datetime"));
    PyRef epoch = BR_TRY(attr(parser, "epoch"));
    if (reinterpret_cast<PyObject*>(Py_TYPE(epoch.get())) != dt_type.get()) return std::nullopt;
    PyRef tz = BR_TRY(attr(epoch.get(), "tzinfo"));
    if (tz.get() != Py_None) return std::nullopt;
    std::int64_t f[7];
    const char* names[7] = {"year", "month", "day", "hour", "minute", "second", "microsecond"};
    for (int k = 0; k < 7; ++k) f[k] = BR_TRY(int_attr(epoch.get(), names[k]));
    int eq = PyObject_RichCompareBool(epoch.get(), windows.get(), Py_EQ);
    if (eq < 0) return py_err();
    return Epoch::make(f[0], f[1], f[2], f[3], f[4], f[5], f[6], eq == 1);
}

}  // namespace

PyResult<IntSet> int_set(PyObject* iterable) {
    PyRef it = PyRef::steal(PyObject_GetIter(iterable));
    if (!it) return py_err();
    IntSet out;
    for (;;) {
        PyRef item = PyRef::steal(PyIter_Next(it.get()));
        if (!item) break;
        if (PyBool_Check(item.get()) || !PyLong_Check(item.get())) continue;
        // An int past 64 bits cannot match any position: left out.
        const std::optional<std::int64_t> v = BR_TRY(index_int64(item.get()));
        if (v) out.insert(*v);
    }
    if (PyErr_Occurred()) return py_err();
    return out;
}

namespace {

// The int set of an attribute that parsers of older callers lack: absent,
// it is empty.
PyResult<IntSet> optional_int_set(PyObject* parser, const char* name) {
    PyRef v = PyRef::steal(PyObject_GetAttrString(parser, name));
    if (!v) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return py_err();
        PyErr_Clear();
        return IntSet{};
    }
    return int_set(v.get());
}

}  // namespace

PyResult<Settings> Settings::from_parser(PyObject* parser) {
    Settings s;
    s.epoch = BR_TRY(native_epoch(parser));
    s.epoch_obj = BR_TRY(attr(parser, "epoch"));
    {
        // Parsers of older callers lack the attribute, and one whose
        // attribute fails is read as such a parser: any Exception means
        // false, while an interrupt or an exit still stops the read.
        PyRef fav = PyRef::steal(PyObject_GetAttrString(parser, "formula_and_value"));
        if (!fav) {
            if (!PyErr_ExceptionMatches(PyExc_Exception)) return py_err();
            PyErr_Clear();
        } else s.formula_and_value = BR_TRY(truth(fav.get()));
    }
    {
        PyRef ss = BR_TRY(attr(parser, "shared_strings"));
        if (PyList_CheckExact(ss.get())) s.shared_strings_len = std::uint64_t(PyList_GET_SIZE(ss.get()));
    }
    s.shared_strings = BR_TRY(attr(parser, "shared_strings"));
    {
        PyRef v = BR_TRY(attr(parser, "data_only"));
        s.data_only = BR_TRY(truth(v.get()));
    }
    {
        PyRef v = BR_TRY(attr(parser, "rich_text"));
        s.rich_text = BR_TRY(truth(v.get()));
    }
    {
        PyRef v = BR_TRY(attr(parser, "date_formats"));
        s.date_formats = BR_TRY(int_set(v.get()));
    }
    {
        PyRef v = BR_TRY(attr(parser, "timedelta_formats"));
        s.timedelta_formats = BR_TRY(int_set(v.get()));
    }
    s.time_formats = BR_TRY(optional_int_set(parser, "time_formats"));
    s.index_formats();
    return s;
}

void Settings::index_formats() {
    // Stylesheets hold a few hundred cell formats at most; ids past the
    // table still answer through the sets.
    constexpr std::int64_t kTableIds = 4096;
    format_table.assign(kTableIds, 0);
    for (std::int64_t id : date_formats)
        if (id >= 0 && id < kTableIds) format_table[std::size_t(id)] |= kDateFormat;
    for (std::int64_t id : timedelta_formats)
        if (id >= 0 && id < kTableIds) format_table[std::size_t(id)] |= kTimedeltaFormat;
    for (std::int64_t id : time_formats)
        if (id >= 0 && id < kTableIds) format_table[std::size_t(id)] |= kTimeFormat;
}

}  // namespace brindle
