#include <lib/errors.hpp>
#include <lib/once.hpp>

#include <string>

namespace brindle {

namespace {
OnceObject fallback_cell;
}

PyObject* native_fallback_type() {
    return fallback_cell.get([] {
        return PyErr_NewExceptionWithDoc(
            "_brindle.NativeFallback",
            "The native engine cannot reproduce corvid's behaviour for this input; "
            "the pure Python implementation must be used.",
            nullptr, nullptr);
    });
}

PyObject* raise_fallback(const char* msg) {
    if (PyObject* t = native_fallback_type()) PyErr_SetString(t, msg);
    return nullptr;
}

void set_key_error(PyObject* key) {
    PyRef args = PyRef::steal(PyTuple_Pack(1, key));
    if (args) PyErr_SetObject(PyExc_KeyError, args.get());
}

PyObject* fallback_err(const XmlError& e, HeldException* held) {
    switch (e.kind) {
        case XmlErrorKind::Source:
            if (held && held->exc) {
                held->restore();
            } else if (!PyErr_Occurred()) {
                // Would be a broken invariant; never let it pass as success.
                PyErr_SetString(PyExc_SystemError, "byte source failed without an exception");
            }
            return nullptr;
        case XmlErrorKind::Malformed:
            return raise_fallback((std::string("malformed: ") + e.reason).c_str());
        case XmlErrorKind::Unsupported:
            return raise_fallback((std::string("unsupported: ") + e.reason).c_str());
    }
    return nullptr;
}

}  // namespace brindle
