// Cell references of the plain form "A1" to "ZZZ999999999", read without
// the host. Anything else (lowercase, "$", leading zeros, ten digits) is left
// to the host's own conversion, which knows its rules and its errors.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace brindle {

struct Coordinate {
    std::int64_t row;
    std::int64_t col;
    friend constexpr bool operator==(const Coordinate&, const Coordinate&) = default;
};

inline constexpr std::int64_t kMaxColumn = 18278;  // "ZZZ"

[[nodiscard]] constexpr std::optional<Coordinate> fast_coordinate(std::string_view s) noexcept {
    std::size_t i = 0;
    std::int64_t col = 0;
    while (i < s.size() && i < 4 && s[i] >= 'A' && s[i] <= 'Z') col = col * 26 + (s[i++] - 'A' + 1);
    if (i == 0 || i > 3 || col > kMaxColumn) return std::nullopt;
    const std::size_t d0 = i;
    if (i == s.size() || s[i] == '0') return std::nullopt;
    std::int64_t row = 0;
    for (; i < s.size(); ++i) {
        const char c = s[i];
        if (c < '0' || c > '9' || i - d0 == 9) return std::nullopt;
        row = row * 10 + (c - '0');
    }
    return Coordinate{row, col};
}

}  // namespace brindle
