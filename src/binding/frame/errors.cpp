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

namespace {

constexpr const char* kKindNames[] = {"malformed", "unsupported", "limit"};

// Sets the `kind` attribute; -1 with an exception set on failure.
int set_kind(PyObject* exc, FallbackKind kind) {
    PyRef name = PyRef::steal(PyUnicode_InternFromString(kKindNames[static_cast<int>(kind)]));
    if (!name) return -1;
    return PyObject_SetAttrString(exc, "kind", name.get());
}

// Formatted by the interpreter: raising must not allocate in C++, where
// running out of memory would throw past the boundary.
PyObject* raise_formatted(FallbackKind kind, const char* format, const char* reason) {
    PyRef message = PyRef::steal(PyUnicode_FromFormat(format, reason));
    if (!message) return nullptr;
    return raise_fallback(kind, message.get());
}

}  // namespace

PyObject* raise_fallback(FallbackKind kind, PyObject* message) {
    PyObject* type = native_fallback_type();
    if (!type) return nullptr;
    // Raised as the interpreter raises any exception (with the exception
    // being handled as its context), then given its kind.
    PyErr_SetObject(type, message);
    PyRef exc = PyRef::steal(PyErr_GetRaisedException());
    if (!exc) return nullptr;
    if (set_kind(exc.get(), kind) < 0) return nullptr;
    PyErr_SetRaisedException(exc.release());
    return nullptr;
}

PyObject* raise_malformed(const char* reason) {
    return raise_formatted(FallbackKind::Malformed, "malformed: %s", reason);
}

PyObject* raise_unsupported(const char* reason) {
    return raise_formatted(FallbackKind::Unsupported, "unsupported: %s", reason);
}

PyObject* raise_limit(const char* reason) { return raise_formatted(FallbackKind::Limit, "%s", reason); }

PyObject* raise_declined(const char* message) {
    return raise_formatted(FallbackKind::Unsupported, "%s", message);
}

PyResult<PyRef> new_fallback(FallbackKind kind, PyObject* message) {
    PyObject* type = native_fallback_type();
    if (!type) return py_err();
    PyRef exc = BR_TRY(owned(PyObject_CallOneArg(type, message)));
    if (set_kind(exc.get(), kind) < 0) return py_err();
    return exc;
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
        case XmlErrorKind::Malformed: return raise_malformed(e.reason);
        case XmlErrorKind::Unsupported: return raise_unsupported(e.reason);
        case XmlErrorKind::Limit: return raise_limit(e.reason);
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
