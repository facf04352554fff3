// Python-visible errors: the NativeFallback class and the one place where an
// internal error value becomes a Python exception.
#pragma once

#include <Python.h>

#include <frame/pyref.hpp>
#include <frame/result.hpp>
#include <xml/error.hpp>

#include <cstdint>
#include <type_traits>

namespace brindle {

// The NativeFallback class (borrowed from its once-cell), or nullptr with an
// exception set if it could not be created.
PyObject* native_fallback_type();

// What a NativeFallback says to the host, as its `kind` attribute: the input
// is not well-formed ("malformed") or not read natively ("unsupported"), and
// the host reads it again in pure Python; or it is past what a workbook can
// hold ("limit"), and the host refuses the file rather than read it again.
// The host branches on the kind, never on the message.
enum class FallbackKind : std::uint8_t { Malformed,
                                         Unsupported,
                                         Limit };

// Raises NativeFallback(message) of `kind` (`message` borrowed); the builders
// below are the usual way in. All return nullptr so callers can `return`.
[[gnu::cold]] PyObject* raise_fallback(FallbackKind kind, PyObject* message);
// One builder per kind. Messages are part of what the host sees, so their
// forms stay fixed: "malformed: <reason>", "unsupported: <reason>", and a
// limit's reason alone.
[[gnu::cold]] PyObject* raise_malformed(const char* reason);
[[gnu::cold]] PyObject* raise_unsupported(const char* reason);
[[gnu::cold]] PyObject* raise_limit(const char* reason);
// An unsupported input declined by the binding's own checks, whose messages
// have always been bare (no "unsupported: ").
[[gnu::cold]] PyObject* raise_declined(const char* message);

// A NativeFallback(message) of `kind`, not raised: for a caller that sets its
// context first.
[[nodiscard]] PyResult<PyRef> new_fallback(FallbackKind kind, PyObject* message);

// KeyError(key) exactly as dict raises it: a tuple key stays one argument.
[[gnu::cold]] void set_key_error(PyObject* key);

// The host exception that a byte source or helper captured; restored as is.
struct HeldException {
    PyRef exc;
    // Takes the exception currently set in the thread state.
    void capture() { exc = PyRef::steal(PyErr_GetRaisedException()); }
    void restore() { PyErr_SetRaisedException(exc.release()); }
};

// Converts an XmlError into the Python exception the caller sees: a
// NativeFallback of the error's kind, or, for Source, the held host
// exception unchanged. Always returns nullptr.
[[gnu::cold]] PyObject* fallback_err(const XmlError& e, HeldException* held);

// fallback_err for code that returns a PyResult: the XML error raised (or the
// held exception restored), then passed on as "a Python exception is set".
[[nodiscard, gnu::cold]] inline std::unexpected<BindError> xml_failure(const XmlError& e,
                                                                       HeldException* held) {
    fallback_err(e, held);
    return py_err();
}

// A new reference from a C API call that returns nullptr with an exception
// set on failure, as a result: `PyRef t = BR_TRY(owned(PyTuple_Pack(...)));`
[[nodiscard]] inline PyResult<PyRef> owned(PyObject* p) noexcept {
    if (!p) [[unlikely]]
        return py_err();
    return PyRef::steal(p);
}

// A PyResult handed back to core code (an XmlResult) that called into
// Python: the exception moves into `held` and the core code sees an XML
// Source error, which xml_failure(e, &held) turns back into it.
template <class T>
[[nodiscard]] XmlResult<T> hold_error(PyResult<T>&& r, HeldException& held) {
    if (r) [[likely]] {
        if constexpr (std::is_void_v<T>) return {};
        else return std::move(*r);
    }
    if (r.error().kind == BindError::Kind::Xml) return std::unexpected(r.error().xml);
    held.capture();
    return std::unexpected(XmlError::source());
}

// For code that may discard a failure and take another way: clears the
// exception set in this thread and answers true when it is an ordinary
// one (an `Exception`); KeyboardInterrupt, SystemExit and the like stay set
// (false), for the caller to pass on as they are.
[[nodiscard]] inline bool clear_ordinary_error() noexcept {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
    PyErr_Clear();
    return true;
}

// Raises what a BindError stands for; a PyException error without an
// exception set becomes SystemError rather than passing as success.
[[gnu::cold]] void raise_error(const BindError& e) noexcept;

}  // namespace brindle
