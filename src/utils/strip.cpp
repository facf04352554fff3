#include <utils/strip.hpp>

#include <cstddef>

namespace brindle {

namespace {

// Python's str.isspace set.
constexpr bool is_space(char32_t c) noexcept {
    if (c < 0x80) return (c >= 0x09 && c <= 0x0D) || (c >= 0x1C && c <= 0x20);
    return c == 0x85 || c == 0xA0 || c == 0x1680 || (c >= 0x2000 && c <= 0x200A) ||
           c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

// The code point of valid UTF-8 starting at s[i], and its length.
char32_t decode_at(std::string_view s, std::size_t i, std::size_t& len) noexcept {
    const auto b = static_cast<unsigned char>(s[i]);
    auto cont = [&](std::size_t k) { return static_cast<unsigned char>(s[i + k]) & 0x3Fu; };
    if (b < 0x80) return len = 1, b;
    if (b < 0xE0) return len = 2, (b & 0x1Fu) << 6 | cont(1);
    if (b < 0xF0) return len = 3, (b & 0x0Fu) << 12 | cont(1) << 6 | cont(2);
    return len = 4, (b & 0x07u) << 18 | cont(1) << 12 | cont(2) << 6 | cont(3);
}

}  // namespace

std::string_view py_strip(std::string_view text) noexcept {
    std::size_t begin = 0, end = text.size(), len = 0;
    while (begin < end && is_space(decode_at(text, begin, len))) begin += len;
    while (end > begin) {
        std::size_t start = end - 1;
        while (start > begin && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) --start;
        if (!is_space(decode_at(text, start, len))) break;
        end = start;
    }
    return text.substr(begin, end - begin);
}

}  // namespace brindle
