#include <frame/errors.hpp>
#include <frame/entry.hpp>
#include <frame/once.hpp>

#include <exception>
#include <new>
#include <stdexcept>


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
        // Formatted by the interpreter: raising must not allocate in C++,
        // where running out of memory would throw past the boundary.
        case XmlErrorKind::Malformed:
            if (PyObject* t = native_fallback_type()) PyErr_Format(t, "malformed: %s", e.reason);
            return nullptr;
        case XmlErrorKind::Unsupported:
            if (PyObject* t = native_fallback_type()) PyErr_Format(t, "unsupported: %s", e.reason);
            return nullptr;
        case XmlErrorKind::Limit:
            // The plain reason, which the host knows: it refuses the file
            // instead of reading it again.
            if (PyObject* t = native_fallback_type()) PyErr_SetString(t, e.reason);
            return nullptr;
    }
    return nullptr;
}

void raise_current_cpp_exception() noexcept {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error&) {
        // A size past what a container can hold: the request was too big.
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_Format(PyExc_SystemError, "internal error: %s", e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "internal error: unknown C++ exception");
    }
}

void raise_error(const BindError& e) noexcept {
    if (e.kind == BindError::Kind::Xml) {
        fallback_err(e.xml, nullptr);
    } else if (!PyErr_Occurred()) {
        PyErr_SetString(PyExc_SystemError, "error returned without an exception set");
    }
}

}  // namespace brindle
