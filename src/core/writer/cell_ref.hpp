// Cell reference text: column letters and row digits.
#pragma once

#include <charconv>
#include <cstdint>
#include <string>

namespace brindle {

// The last column with a three-letter name (ZZZ).
inline constexpr std::int64_t kMaxColumn = 18278;

// Appends the bijective base-26 name of `column` (1 is A, 27 is AA);
// 1 <= column <= kMaxColumn.
inline void append_column_letters(std::string& out, std::int64_t column) {
    char buf[3];
    int n = 0;
    while (column > 0) {
        --column;
        buf[n++] = static_cast<char>('A' + column % 26);
        column /= 26;
    }
    while (n > 0) out.push_back(buf[--n]);
}

inline void append_decimal(std::string& out, std::int64_t n) {
    char buf[24];
    auto r = std::to_chars(buf, buf + sizeof buf, n);
    out.append(buf, static_cast<std::size_t>(r.ptr - buf));
}

}  // namespace brindle
