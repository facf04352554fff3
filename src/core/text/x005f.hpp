// The _xHHHH_ escapes of workbook strings, both ways, on UTF-8 bytes.
//
// Strings carry characters XML cannot (C0 controls other than TAB, LF and
// CR; U+FFFE, U+FFFF) as _xHHHH_, four hex digits of a UTF-16 code unit;
// text that only looks like an escape has its underscore written _x005F_.
// A carriage return is left to the XML escaping, as a character reference. The host's codec
// (brindle.utils.escapes) follows the same rules, so both give the same
// text:
//  - decoding reads every well-formed escape left to right, hex digits in
//    either case; an escaped surrogate pair is one character, a lone
//    escaped surrogate (no character) and every malformed sequence stay as
//    written;
//  - encoding escapes those characters and each underscore that would
//    otherwise start an escape, so decoding gives back the text.
// The escapes are ASCII and UTF-8 is self-synchronising, so working on bytes
// gives the same result as working on characters.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace brindle {

namespace escapes_detail {

[[nodiscard]] constexpr int hex_digit(char c) noexcept {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The code unit of a well-formed escape at s[i]; -1 when there is none.
[[nodiscard]] constexpr long escape_at(std::string_view s, std::size_t i) noexcept {
    if (s.size() - i < 7 || s[i] != '_' || s[i + 1] != 'x' || s[i + 6] != '_') return -1;
    long v = 0;
    for (std::size_t k = 2; k < 6; ++k) {
        const int d = hex_digit(s[i + k]);
        if (d < 0) return -1;
        v = v << 4 | d;
    }
    return v;
}

inline std::size_t put_utf8(char* d, std::uint32_t c) noexcept {
    if (c < 0x80) {
        d[0] = static_cast<char>(c);
        return 1;
    }
    if (c < 0x800) {
        d[0] = static_cast<char>(0xC0 | c >> 6);
        d[1] = static_cast<char>(0x80 | (c & 0x3F));
        return 2;
    }
    if (c < 0x10000) {
        d[0] = static_cast<char>(0xE0 | c >> 12);
        d[1] = static_cast<char>(0x80 | (c >> 6 & 0x3F));
        d[2] = static_cast<char>(0x80 | (c & 0x3F));
        return 3;
    }
    d[0] = static_cast<char>(0xF0 | c >> 18);
    d[1] = static_cast<char>(0x80 | (c >> 12 & 0x3F));
    d[2] = static_cast<char>(0x80 | (c >> 6 & 0x3F));
    d[3] = static_cast<char>(0x80 | (c & 0x3F));
    return 4;
}

// The length of the UTF-8 sequence at s[i] when it is a character written
// as an escape (C0 controls other than TAB, LF and CR, U+FFFE, U+FFFF);
// else 0.
[[nodiscard]] constexpr std::size_t escaped_char_at(std::string_view s, std::size_t i) noexcept {
    const auto c = static_cast<unsigned char>(s[i]);
    if (c < 0x20) return c == '\t' || c == '\n' || c == '\r' ? 0 : 1;
    if (c == 0xEF && s.size() - i >= 3 && static_cast<unsigned char>(s[i + 1]) == 0xBF &&
        (static_cast<unsigned char>(s[i + 2]) & 0xFE) == 0xBE)
        return 3;
    return 0;
}

}  // namespace escapes_detail

// Decodes the escapes of `s` in place; the text is only touched when it
// holds "_x". An escape of 7 bytes gives at most 3, a pair of 14 gives 4, so
// the write position never passes the read position.
inline void decode_escapes(std::string& s) noexcept {
    using namespace escapes_detail;
    std::size_t r = s.find("_x");
    if (r == std::string::npos) return;
    const std::string_view v(s);
    char* d = s.data();
    std::size_t w = r;
    const std::size_t n = s.size();
    while (r < n) {
        const long c = d[r] == '_' ? escape_at(v, r) : -1;
        if (c < 0) {
            d[w++] = d[r++];
            continue;
        }
        if (c >= 0xD800 && c <= 0xDBFF) {
            const long low = r + 7 < n ? escape_at(v, r + 7) : -1;
            if (low >= 0xDC00 && low <= 0xDFFF) {
                const auto cp = static_cast<std::uint32_t>(0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00));
                w += put_utf8(d + w, cp);
                r += 14;
                continue;
            }
        }
        if (c >= 0xD800 && c <= 0xDFFF) {
            for (int k = 0; k < 7; ++k) d[w++] = d[r++];
            continue;
        }
        w += put_utf8(d + w, static_cast<std::uint32_t>(c));
        r += 7;
    }
    s.resize(w);
}

// Whether `s` must be encoded before it is written as a string: it holds a
// character written as an escape, or "_x". One pass over bytes that are
// almost never special.
[[nodiscard]] inline bool needs_escapes(std::string_view s) noexcept {
    const std::size_t n = s.size();
    for (std::size_t i = 0; i < n; ++i) {
        const auto c = static_cast<unsigned char>(s[i]);
        if (c < 0x20) {
            if (c != '\t' && c != '\n' && c != '\r') return true;
        } else if (c == '_') {
            if (i + 1 < n && s[i + 1] == 'x') return true;
        } else if (c == 0xEF && escapes_detail::escaped_char_at(s, i)) {
            return true;
        }
    }
    return false;
}

// Appends `s` to `out` with the escapes a string is written with.
inline void encode_escapes(std::string& out, std::string_view s) {
    using namespace escapes_detail;
    static constexpr char kHex[] = "0123456789ABCDEF";
    const std::size_t n = s.size();
    std::size_t run = 0;
    auto put = [&out](std::uint32_t u) {
        const char e[7] = {'_', 'x', kHex[u >> 12 & 15], kHex[u >> 8 & 15], kHex[u >> 4 & 15], kHex[u & 15], '_'};
        out.append(e, 7);
    };
    for (std::size_t i = 0; i < n;) {
        if (const std::size_t len = escaped_char_at(s, i)) {
            out.append(s.data() + run, i - run);
            put(len == 1 ? static_cast<unsigned char>(s[i]) : (s[i + 2] & 1 ? 0xFFFFu : 0xFFFEu));
            i += len;
            run = i;
            continue;
        }
        // An underscore that, with what follows once written, would read as
        // the start of an escape: "x", four hex digits, then "_" or a
        // character that is written as an escape (which begins with "_").
        if (s[i] == '_' && n - i >= 7 && s[i + 1] == 'x' && hex_digit(s[i + 2]) >= 0 &&
            hex_digit(s[i + 3]) >= 0 && hex_digit(s[i + 4]) >= 0 && hex_digit(s[i + 5]) >= 0 &&
            (s[i + 6] == '_' || escaped_char_at(s, i + 6))) {
            out.append(s.data() + run, i - run);
            out.append("_x005F_");
            ++i;
            run = i;
            continue;
        }
        ++i;
    }
    out.append(s.data() + run, n - run);
}

}  // namespace brindle
