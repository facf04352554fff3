// The one error convention of the binding layer.
//
//   PyResult<PyRef> f(PyObject* o) {
//       PyRef x = PyRef::steal(PyObject_Str(o));
//       if (!x) return py_err();            // a Python exception is set
//       if (odd) return unsupported("why"); // NativeFallback("unsupported: why") at the boundary
//       BR_TRY(g());                         // passes on the error of a PyResult or an XmlResult
//       return x;
//   }
//
// An error is either "a Python exception is set" (PyErrSet) or an XML error,
// which the boundary (frame/entry.hpp) turns into a NativeFallback of the
// same kind (malformed, unsupported, limit) through fallback_err. An XML
// Source error means that the host exception is held by whoever captured it
// (a byte source, a sink): convert it where that holder is known, with
// `xml_failure(e, &held)`, which restores the held exception.
#pragma once

#include <xml/error.hpp>

#include <cstdint>
#include <expected>

namespace brindle {

// Tag: "a Python exception is set in this thread".
struct PyErrSet {};

// The error value of binding-layer code.
struct BindError {
    enum class Kind : std::uint8_t {
        PyException,  // already set in the thread state
        Xml,          // not raised yet: `xml` says which NativeFallback
    };
    Kind kind;
    XmlError xml;

    constexpr BindError(PyErrSet) noexcept : kind(Kind::PyException), xml(XmlError::source()) {}
    constexpr BindError(const XmlError& e) noexcept : kind(Kind::Xml), xml(e) {}
};

// std::expected<T, BindError> that must not be dropped.
template <class T>
class [[nodiscard]] PyResult : public std::expected<T, BindError> {
public:
    using std::expected<T, BindError>::expected;
};

[[nodiscard]] inline std::unexpected<BindError> py_err() noexcept {
    return std::unexpected(BindError(PyErrSet{}));
}

}  // namespace brindle
