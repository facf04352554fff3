// Number text exactly as C's "%.16g" writes it, which is how the host turns
// every numeric cell value into text, except next to the largest double,
// where 16 digits would read back as infinity and "%.17g" is written instead.
// Correctly rounded (std::to_chars), no locale, no allocation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace brindle {

// Longest text: "-1.234567890123457e-308" is 23 bytes.
inline constexpr std::size_t kNumberTextMax = 32;

// A number's text in inline storage; cheap to copy (the view is rebuilt from
// the array, never kept across a copy).
class NumberText {
public:
    std::string_view view() const noexcept { return {buf_, len_}; }

private:
    friend NumberText g16_int(std::int64_t) noexcept;
    friend NumberText g16_float(double) noexcept;
    friend NumberText format_g16(double) noexcept;
    char buf_[kNumberTextMax];
    std::uint8_t len_ = 0;
};

// Integers up to 2**53 in magnitude exactly; beyond, the nearest double's
// "%.16g" text, as the host's float formatting of such an int gives.
[[nodiscard]] NumberText g16_int(std::int64_t n) noexcept;

// Finite doubles; integral values below 1e16 skip the general formatter.
[[nodiscard]] NumberText g16_float(double x) noexcept;

// Finite doubles: "%.16g", or "%.17g" where that is the shortest text
// that reads back as a finite number.
[[nodiscard]] NumberText format_g16(double x) noexcept;

}  // namespace brindle
