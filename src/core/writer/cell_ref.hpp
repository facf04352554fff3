// Cell reference text: column letters (formula/columns.hpp) and row digits.
#pragma once

#include <charconv>
#include <cstdint>
#include <formula/columns.hpp>
#include <string>

namespace brindle {

inline void append_decimal(std::string& out, std::int64_t n) {
    char buf[24];
    auto r = std::to_chars(buf, buf + sizeof buf, n);
    out.append(buf, static_cast<std::size_t>(r.ptr - buf));
}

}  // namespace brindle
