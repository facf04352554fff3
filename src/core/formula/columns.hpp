// Column letters: the bijective base-26 names A = 1 ... Z = 26, AA = 27 ...
// ZZZ = 18278.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace brindle {

inline constexpr std::int64_t kMaxColumn = 18278;  // "ZZZ"

// The number of one to three ASCII letters, either case; 0 for anything else.
[[nodiscard]] constexpr std::int64_t column_number(std::string_view letters) noexcept {
    if (letters.empty() || letters.size() > 3) return 0;
    std::int64_t n = 0;
    for (char c : letters) {
        const unsigned u = static_cast<unsigned char>(c) | 0x20u;  // ASCII lower case
        if (u < 'a' || u > 'z') return 0;
        n = n * 26 + (u - 'a' + 1);
    }
    return n;
}

// Writes the capital letters of column `n` (1 ... kMaxColumn) at `out`;
// returns their count. The caller checks the range.
constexpr std::size_t column_letters(std::int64_t n, char* out) noexcept {
    char rev[3];
    std::size_t k = 0;
    while (n > 0 && k < 3) {
        const std::int64_t r = (n - 1) % 26;
        rev[k++] = static_cast<char>('A' + r);
        n = (n - 1) / 26;
    }
    for (std::size_t i = 0; i < k; ++i) out[i] = rev[k - 1 - i];
    return k;
}

inline void append_column_letters(std::string& out, std::int64_t n) {
    char buf[3];
    out.append(buf, column_letters(n, buf));
}

}  // namespace brindle
