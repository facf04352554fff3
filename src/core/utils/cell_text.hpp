// The number and coordinate texts that the worksheet reader converts itself.
// Everything else goes to the host's own int / float / coordinate helpers, so
// that odd inputs give exactly the host's result or exception.
#pragma once

#include <formula/columns.hpp>

#include <charconv>
#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>

namespace brindle {

// 1 to 18 ASCII digits after an optional "-": always fits in 64 bits, and
// Python's int() can give nothing else for it ("-0" is 0).
[[nodiscard]] constexpr std::optional<std::int64_t> short_decimal(std::string_view s) noexcept {
    bool neg = !s.empty() && s[0] == '-';
    if (neg) s.remove_prefix(1);
    if (s.empty() || s.size() > 18) return std::nullopt;
    std::int64_t v = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return std::nullopt;
        v = v * 10 + (c - '0');
    }
    return neg ? -v : v;
}

// Whether `s` holds none of '.', 'e', 'E': such a number text is an integer
// text for the host, everything else a float text.
[[nodiscard]] constexpr bool integer_text(std::string_view s) noexcept {
    // PERF: a plain loop; find_first_of searches the set once per byte.
    for (char c : s)
        if (c == '.' || c == 'e' || c == 'E') return false;
    return true;
}

// The plain decimal syntax: [+-] digits [. digits] [(e|E) [+-] digits], with
// at least one digit around the point. Nothing else: no spaces, no "_",
// no inf / nan, so the native parse and Python's float() cannot disagree.
[[nodiscard]] constexpr bool decimal_syntax(std::string_view s) noexcept {
    std::size_t i = 0, n = s.size();
    auto digits = [&] {
        std::size_t k = i;
        while (i < n && s[i] >= '0' && s[i] <= '9') ++i;
        return i - k;
    };
    if (i < n && (s[i] == '+' || s[i] == '-')) ++i;
    std::size_t mant = digits();
    if (i < n && s[i] == '.') {
        ++i;
        mant += digits();
    }
    if (mant == 0) return false;
    if (i < n && (s[i] == 'e' || s[i] == 'E')) {
        ++i;
        if (i < n && (s[i] == '+' || s[i] == '-')) ++i;
        if (digits() == 0) return false;
    }
    return i == n;
}

// The correctly rounded double of a text in decimal syntax; nothing when the
// value overflows or underflows (the host then decides: inf, or 0.0).
[[nodiscard]] inline std::optional<double> parse_decimal(std::string_view s) noexcept {
    if (!decimal_syntax(s)) return std::nullopt;
    bool neg = false;
    if (s[0] == '+' || s[0] == '-') {
        neg = s[0] == '-';
        s.remove_prefix(1);
    }
    double v = 0;
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v, std::chars_format::general);
    if (ec != std::errc() || end != s.data() + s.size()) return std::nullopt;
    return neg ? -v : v;
}

// A number cell's text read in one pass, for the forms spreadsheet
// programs write: [-] digits [. digits] [(e|E) [+-] digits].
struct ParsedNumber {
    enum class Kind : std::uint8_t {
        Int,    // an integer text of at most 18 digits: `i`
        Float,  // a float text, correctly rounded: `f`
        Other,  // anything else: the general rules decide
    };
    Kind kind = Kind::Other;
    std::int64_t i = 0;
    double f = 0;
};

[[nodiscard]] inline ParsedNumber parse_number(std::string_view s) noexcept {
    static constexpr double kPow10[] = {1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7,
                                        1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                        1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
    const std::size_t n = s.size();
    std::size_t i = 0;
    const bool neg = n > 0 && s[0] == '-';
    i += neg;
    std::uint64_t w = 0;
    bool wide = false;  // more digits than w holds exactly
    const std::size_t int0 = i;
    for (; i < n && s[i] >= '0' && s[i] <= '9'; ++i) {
        if (w < UINT64_C(100000000000000000)) w = w * 10 + std::uint64_t(s[i] - '0');
        else wide = true;
    }
    const std::size_t int_digits = i - int0;
    if (i == n) {
        if (int_digits == 0 || int_digits > 18) return {};
        const auto v = static_cast<std::int64_t>(w);
        return {ParsedNumber::Kind::Int, neg ? -v : v, 0};
    }
    int frac = 0;
    std::size_t frac_digits = 0;
    if (s[i] == '.') {
        for (++i; i < n && s[i] >= '0' && s[i] <= '9'; ++i, ++frac_digits) {
            if (w < UINT64_C(100000000000000000)) {
                w = w * 10 + std::uint64_t(s[i] - '0');
                ++frac;
            } else {
                wide = true;
            }
        }
    }
    if (int_digits + frac_digits == 0) return {};
    int exp = 0;
    bool exp_wide = false;
    if (i < n && (s[i] == 'e' || s[i] == 'E')) {
        ++i;
        bool eneg = false;
        if (i < n && (s[i] == '+' || s[i] == '-')) eneg = s[i++] == '-';
        const std::size_t e0 = i;
        for (; i < n && s[i] >= '0' && s[i] <= '9'; ++i) {
            if (exp < 10000) exp = exp * 10 + (s[i] - '0');
            else exp_wide = true;
        }
        if (i == e0) return {};
        if (eneg) exp = -exp;
    }
    if (i != n) return {};
    const int e10 = exp - frac;
    // PERF: digits that fit in 53 bits with an exact power of ten round
    // correctly in one IEEE operation; the library parse takes the rest.
    if (!wide && !exp_wide && w <= (UINT64_C(1) << 53) && e10 >= -22 && e10 <= 22) {
        // clang-format off
        const double v = w == 0 ? 0.0 : e10 >= 0 ? double(w) * kPow10[e10] : double(w) / kPow10[-e10];
        // clang-format on
        return {ParsedNumber::Kind::Float, 0, neg ? -v : v};
    }
    if (std::optional<double> d = parse_decimal(s)) return {ParsedNumber::Kind::Float, 0, *d};
    return {};
}

// A cell reference in its canonical form: one to three capital letters, then
// one to nine digits without a leading zero, column at most ZZZ. Anything
// else is the host's coordinate_to_tuple to judge.
[[nodiscard]] constexpr std::optional<std::pair<std::int64_t, std::int64_t>> fast_coordinate(
    std::string_view s) noexcept {
    std::size_t i = 0;
    std::int64_t col = 0;
    while (i < s.size() && i < 4 && s[i] >= 'A' && s[i] <= 'Z') col = col * 26 + (s[i++] - 'A' + 1);
    if (i == 0 || i > 3 || col > kMaxColumn) return std::nullopt;
    std::string_view d = s.substr(i);
    if (d.empty() || d.size() > 9 || d[0] == '0') return std::nullopt;
    std::int64_t row = 0;
    for (char c : d) {
        if (c < '0' || c > '9') return std::nullopt;
        row = row * 10 + (c - '0');
    }
    return std::pair{row, col};
}

}  // namespace brindle
