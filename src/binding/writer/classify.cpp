#include <writer/classify.hpp>

#include <cmath>

namespace brindle {

Classified classify(PyObject* value) noexcept {
    if (value == Py_None) return Classified::none();
    if (PyUnicode_CheckExact(value)) {
        Py_ssize_t len = 0;
        const char* s = PyUnicode_AsUTF8AndSize(value, &len);
        if (!s) {
            PyErr_Clear();
            return Classified::unsupported();
        }
        return Classified::text({s, static_cast<std::size_t>(len)});
    }
    // The exact bool type has exactly two instances.
    if (value == Py_True) return Classified::number("1");
    if (value == Py_False) return Classified::number("0");
    if (PyLong_CheckExact(value)) {
        if (auto n = exact_int(value)) return Classified::number(g16_int(*n));
        return Classified::unsupported();
    }
    if (PyFloat_CheckExact(value)) {
        const double x = PyFloat_AS_DOUBLE(value);
        if (!std::isfinite(x)) return Classified::number("");
        return Classified::number(g16_float(x));
    }
    return Classified::unsupported();
}

}  // namespace brindle
