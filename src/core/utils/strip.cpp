#include <utils/strip.hpp>

#include <cstddef>
#include <cstdint>

namespace brindle {
namespace {

using u8 = std::uint8_t;

constexpr bool is_cont(u8 b) noexcept { return (b & 0xC0) == 0x80; }

// The code point of the sequence at p[0..n), or a value that is never
// whitespace when the bytes are not one well-formed sequence. Every
// whitespace code point lies below U+10000, so sequences longer than three
// bytes need no decoding.
char32_t decode(const u8* p, std::size_t n) noexcept {
    constexpr char32_t kNone = 0xFFFFFFFF;
    char32_t c;
    switch (n) {
        case 1:
            return p[0] < 0x80 ? p[0] : kNone;
        case 2:
            if ((p[0] & 0xE0) != 0xC0 || !is_cont(p[1])) return kNone;
            c = (char32_t(p[0] & 0x1F) << 6) | (p[1] & 0x3F);
            return c >= 0x80 ? c : kNone;  // an overlong form is not a character
        case 3:
            if ((p[0] & 0xF0) != 0xE0 || !is_cont(p[1]) || !is_cont(p[2])) return kNone;
            c = (char32_t(p[0] & 0x0F) << 12) | (char32_t(p[1] & 0x3F) << 6) | (p[2] & 0x3F);
            return c >= 0x800 ? c : kNone;
        default:
            return kNone;
    }
}

std::size_t seq_len(u8 lead) noexcept {
    if (lead < 0x80) return 1;
    if ((lead & 0xE0) == 0xC0) return 2;
    if ((lead & 0xF0) == 0xE0) return 3;
    return 0;  // four-byte lead, continuation or invalid byte: never whitespace
}

}  // namespace

std::string_view py_strip(std::string_view text) noexcept {
    const auto* p = reinterpret_cast<const u8*>(text.data());
    std::size_t lo = 0;
    std::size_t hi = text.size();
    while (lo < hi) {
        std::size_t n = seq_len(p[lo]);
        if (n == 0 || n > hi - lo || !py_isspace(decode(p + lo, n))) break;
        lo += n;
    }
    while (hi > lo) {
        // Step back over at most two continuation bytes to the lead byte.
        std::size_t start = hi - 1;
        while (start > lo && hi - start < 3 && is_cont(p[start])) --start;
        std::size_t n = hi - start;
        if (seq_len(p[start]) != n || !py_isspace(decode(p + start, n))) break;
        hi = start;
    }
    return text.substr(lo, hi - lo);
}

}  // namespace brindle
