// The error value of the XML input stack. Plain C++: the binding layer turns
// it into a Python exception at the function boundary.
#pragma once

#include <cstdint>
#include <expected>

namespace brindle {

enum class XmlErrorKind : std::uint8_t {
    Malformed,    // not well-formed, or invalid by a rule we check
    Unsupported,  // well-formed, but we do not reproduce the host's treatment
    Source,       // host code failed; the exception is held by the byte source
    Limit,        // beyond what a workbook can hold: the file is refused, not read again
};

struct XmlError {
    XmlErrorKind kind;
    const char* reason;  // static text; empty for Source

    static constexpr XmlError malformed(const char* r) { return {XmlErrorKind::Malformed, r}; }
    static constexpr XmlError unsupported(const char* r) { return {XmlErrorKind::Unsupported, r}; }
    static constexpr XmlError source() { return {XmlErrorKind::Source, ""}; }
    static constexpr XmlError limit(const char* r) { return {XmlErrorKind::Limit, r}; }

    friend constexpr bool operator==(const XmlError& a, const XmlError& b) {
        if (a.kind != b.kind) return false;
        const char* x = a.reason;
        const char* y = b.reason;
        while (*x && *x == *y) ++x, ++y;
        return *x == *y;
    }
};

template <class T>
using XmlResult = std::expected<T, XmlError>;

// Cold by construction: building the error sits off the hot path.
[[nodiscard, gnu::cold, gnu::noinline]] inline std::unexpected<XmlError> malformed(const char* r) {
    return std::unexpected(XmlError::malformed(r));
}
[[nodiscard, gnu::cold, gnu::noinline]] inline std::unexpected<XmlError> unsupported(const char* r) {
    return std::unexpected(XmlError::unsupported(r));
}

}  // namespace brindle

// Propagates the error of an expression of type std::expected<T, E>; yields
// its value otherwise (a statement expression, GCC and Clang).
#define BR_TRY(expr)                                              \
    ({                                                            \
        auto&& br_try_r_ = (expr);                                \
        if (!br_try_r_) [[unlikely]]                              \
            return std::unexpected(std::move(br_try_r_).error()); \
        std::move(br_try_r_).value();                             \
    })

// For std::expected<void, E>.
#define BR_TRY_VOID(expr)                                         \
    do {                                                          \
        auto&& br_try_r_ = (expr);                                \
        if (!br_try_r_) [[unlikely]]                              \
            return std::unexpected(std::move(br_try_r_).error()); \
    } while (0)
