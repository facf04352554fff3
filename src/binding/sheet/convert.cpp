// Native cell values to Python objects, built only when the host asks.
#include <sheet/parser.hpp>

#include <frame/once.hpp>
#include <sheet/date_obj.hpp>

#include <datetime.h>

namespace brindle {
namespace {

OnceObject capsule_cell;

// The interpreter's datetime C API, imported once for the process.
const PyDateTime_CAPI* datetime_api() {
    PyObject* cap = capsule_cell.get([]() -> PyObject* {
        PyRef mod = PyRef::steal(PyImport_ImportModule("datetime"));
        if (!mod) return nullptr;
        return PyObject_GetAttrString(mod.get(), "datetime_CAPI");
    });
    if (!cap) return nullptr;
    auto* api = static_cast<PyDateTime_CAPI*>(PyCapsule_GetPointer(cap, PyDateTime_CAPSULE_NAME));
    (void)PyDateTimeAPI;  // the header's own per-file pointer; the once-cell replaces it
    return api;
}

}  // namespace

PyResult<PyRef> date_to_py(const DateParts& d) {
    const PyDateTime_CAPI* api = datetime_api();
    if (!api) return py_err();
    if (d.kind == DateParts::Kind::Time)
        return owned(api->Time_FromTime(d.hour, d.minute, d.second, int(d.microsecond), Py_None,
                                        api->TimeType));
    if (d.kind == DateParts::Kind::DateTime)
        return owned(api->DateTime_FromDateAndTime(d.year, d.month, d.day, d.hour, d.minute,
                                                   d.second, int(d.microsecond), Py_None,
                                                   api->DateTimeType));
    PyErr_SetString(PyExc_SystemError, "date serial validated at load is out of range");
    return py_err();
}

PyResult<PyRef> SheetParser::val_to_py(Val& v) {
    switch (v.kind) {
        case Val::Kind::Empty:
            return PyRef::borrow(Py_None);
        case Val::Kind::Int:
            return owned(PyLong_FromLongLong(v.i));
        case Val::Kind::Float:
            return owned(PyFloat_FromDouble(v.f));
        case Val::Kind::Bool:
            return PyRef::borrow(v.i != 0 ? Py_True : Py_False);
        case Val::Kind::SharedString: {
            PyObject* ss = settings_.shared_strings.get();
            if (PyList_CheckExact(ss)) return owned(PyList_GetItemRef(ss, Py_ssize_t(v.index)));
            PyRef idx = BR_TRY(owned(PyLong_FromUnsignedLong(v.index)));
            return owned(PyObject_GetItem(ss, idx.get()));
        }
        case Val::Kind::Text: {
            PyResult<PyRef> s = owned(PyUnicode_FromStringAndSize(v.text.data(), Py_ssize_t(v.text.size())));
            std::string().swap(v.text);
            return s;
        }
        case Val::Kind::SharedFormula:
            return shared_to_py(v);
        case Val::Kind::DateInt:
            return date_to_py(from_excel_int(v.i, *settings_.epoch));
        case Val::Kind::DateFloat:
            return date_to_py(from_excel_float(v.f, *settings_.epoch));
        case Val::Kind::Py:
            return v.py.clone();
    }
    PyErr_SetString(PyExc_SystemError, "cell value of an unknown kind");
    return py_err();
}

PyResult<PyRef> SheetParser::shared_to_py(const Val& v) {
    const SharedMaster& m = shared_[v.index];
    if (!m.native) {
        PyErr_SetString(PyExc_SystemError, "shared formula value of a host master");
        return py_err();
    }
    formula_buf_.clear();
    std::optional<CellPos> dest;
    if (v.has_coord) dest = CellPos{v.i, v.col};
    if (auto ok = m.native->translate_into(dest, formula_buf_); !ok) {
        // check() passed at load, so this cannot happen; never pass it as success.
        PyErr_SetString(PyExc_SystemError, "shared formula failed after its check");
        return py_err();
    }
    return owned(PyUnicode_FromStringAndSize(formula_buf_.data(), Py_ssize_t(formula_buf_.size())));
}

PyRef SheetParser::dtype_to_py(const DType& d) const {
    return d.code < kDtCount ? dt_[d.code].clone() : d.py.clone();
}

PyResult<PyRef> SheetParser::style_to_py(const StyleId& s) {
    return s.py ? s.py.clone() : owned(PyLong_FromLongLong(s.id));
}

}  // namespace brindle
