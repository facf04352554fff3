#include <utils/number_text.hpp>

#include <charconv>
#include <cmath>
#include <system_error>

namespace brindle {

namespace {
constexpr std::int64_t kTwo53 = std::int64_t{1} << 53;
// Below this magnitude the 16-digit text cannot round past the largest double.
constexpr double kLargestG16 = 1.797693134862315e308;
}  // namespace

NumberText format_g16(double x) noexcept {
    NumberText t;
    // to_chars in general form with a precision is defined as printf's %g
    // with that precision, correctly rounded from the exact binary value.
    auto r = std::to_chars(t.buf_, t.buf_ + kNumberTextMax, x, std::chars_format::general, 16);
    // Next to the largest double, 16 digits round up past it and would read
    // back as infinity; 17 always read back as the number itself.
    if (std::fabs(x) > kLargestG16) [[unlikely]] {
        double back = 0;
        const auto parsed = std::from_chars(t.buf_, r.ptr, back);
        if (parsed.ec != std::errc{} || std::isinf(back))
            r = std::to_chars(t.buf_, t.buf_ + kNumberTextMax, x, std::chars_format::general, 17);
    }
    t.len_ = static_cast<std::uint8_t>(r.ptr - t.buf_);
    return t;
}

NumberText g16_int(std::int64_t n) noexcept {
    if (n < -kTwo53 || n > kTwo53) return format_g16(static_cast<double>(n));
    NumberText t;
    auto r = std::to_chars(t.buf_, t.buf_ + kNumberTextMax, n);
    t.len_ = static_cast<std::uint8_t>(r.ptr - t.buf_);
    return t;
}

NumberText g16_float(double x) noexcept {
    // Below 1e16 an integral double has at most 16 digits, so %.16g writes
    // it in full without an exponent: the integer text is the same.
    if (std::fabs(x) < 1e16 && x == std::trunc(x) && !(x == 0.0 && std::signbit(x))) {
        NumberText t;
        auto r = std::to_chars(t.buf_, t.buf_ + kNumberTextMax, static_cast<std::int64_t>(x));
        t.len_ = static_cast<std::uint8_t>(r.ptr - t.buf_);
        return t;
    }
    return format_g16(x);
}

}  // namespace brindle
