// The fast attribute scan for small start tags that a caller recognised
// itself (the cell and formula tags of a worksheet). It accepts only the plain
// form (letters-only names, `="..."` values without references, control or
// non-ASCII bytes, single-space separators) and never pulls bytes; anything
// else answers "not taken" and the caller reads the tag through `next`.
#pragma once

#include <xml/chars.hpp>
#include <xml/search.hpp>
#include <xml/window.hpp>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace brindle {

// clang-format off
enum class FastStatus : std::uint8_t { Start = 0, Empty = 1, NotTaken = 2 };
// clang-format on

struct FastScan {
    std::size_t pos;  // after '>' or "/>"; meaningless when not taken
    FastStatus status;
};

inline constexpr int kFastMaxAttrs = 8;

// A byte the fast scan takes as it is inside an attribute value: printable
// ASCII other than '&' and '<' (the bytes scan_span flags lead elsewhere).
[[nodiscard]] constexpr bool plain_attr_byte(std::uint8_t b) noexcept {
    return b >= 0x20 && b < 0x80 && b != '&' && b != '<';
}

// Scans from `start` (the byte after the element name). The collector is
// called as collect(name, value_start, value_end) and may refuse.
// plain_attr_byte as a table, with the closing quote apart: 0 plain, 1 '"',
// 2 anything else.
inline constexpr auto kAttrByteClass = [] {
    struct T {
        std::uint8_t v[256];
    } t{};
    for (int c = 0; c < 256; ++c) t.v[c] = plain_attr_byte(std::uint8_t(c)) ? 0 : 2;
    t.v[std::uint8_t('"')] = 1;
    return t;
}();

template <class Collector>
[[nodiscard]] FastScan fast_attrs(const std::uint8_t* p, std::size_t filled, std::size_t start, Collector& collect) {
    constexpr FastScan kNo{0, FastStatus::NotTaken};
    Span names[kFastMaxAttrs];
    int count = 0;
    bool spaced = false;
    std::size_t i = start;
    for (;;) {
        if (i >= filled) return kNo;
        std::uint8_t c = p[i];
        if (c == '>') return {i + 1, FastStatus::Start};
        if (c == '/') {
            if (i + 1 < filled && p[i + 1] == '>') return {i + 2, FastStatus::Empty};
            return kNo;
        }
        if (c == ' ') {
            while (i < filled && p[i] == ' ') ++i;
            spaced = true;
            continue;
        }
        if (!spaced) return kNo;
        const std::size_t n0 = i;
        while (i < filled && is_letter(p[i])) ++i;
        const std::size_t n1 = i;
        if (n1 == n0 || i + 1 >= filled || p[i] != '=' || p[i + 1] != '"') return kNo;
        std::string_view name(reinterpret_cast<const char*>(p) + n0, n1 - n0);
        if (name == "xmlns" || count == kFastMaxAttrs) return kNo;
        for (int k = 0; k < count; ++k) {
            if (names[k].size() == name.size() && std::memcmp(p + names[k].start, name.data(), name.size()) == 0)
                return kNo;
        }
        names[count++] = {n0, n1};
        const std::size_t v0 = i + 2;
        std::size_t v1 = v0;
        // PERF: cell references, style ids and types are a few bytes long;
        // one pass finds the closing quote and checks the bytes on the way,
        // where the vectorised scan would cost more than the bytes it reads.
        const std::size_t short_end = filled - v0 < 32 ? filled : v0 + 32;
        while (v1 < short_end && kAttrByteClass.v[p[v1]] == 0) ++v1;
        if (v1 < short_end && p[v1] != '"') return kNo;
        if (v1 == short_end) {
            v1 = find_byte(p, v0, filled, '"');
            if (v1 == filled) return kNo;
            SpanFlags f = scan_span(p + v0, v1 - v0);
            if (f.bad_ctrl || f.tab_lf || f.cr || f.amp || f.lt || f.high) return kNo;
        }
        if (!collect(name, v0, v1)) return kNo;
        i = v1 + 1;
        spaced = false;
    }
}

template <ByteSource Src, class Collector>
[[nodiscard]] FastScan fast_attrs(const Window<Src>& w, std::size_t start, Collector& collect) {
    return fast_attrs(w.buf.data(), w.filled(), start, collect);
}

// A value span as seen by a collector.
struct FastValue {
    Span span;
    bool present = false;
    void set(std::size_t a, std::size_t b) noexcept {
        span = {a, b};
        present = true;
    }
};

// The cell tag: `r`, `s` and `t` are kept, any other attribute is ignored.
struct CellTagCollector {
    FastValue r, s, t;
    void reset() noexcept { *this = {}; }
    bool operator()(std::string_view name, std::size_t a, std::size_t b) noexcept {
        if (name.size() == 1) {
            if (name[0] == 'r') r.set(a, b);
            else if (name[0] == 's') s.set(a, b);
            else if (name[0] == 't') t.set(a, b);
        } else if (name == "cm" || name == "vm") {
            // Metadata indexes: rare, and only the general path decides
            // whether the read keeps them.
            return false;
        }
        return true;
    }
};

// The formula tag: only `t`, `ref` and `si`; anything else takes the general path.
struct FormulaTagCollector {
    FastValue t, ref, si;
    void reset() noexcept { *this = {}; }
    bool operator()(std::string_view name, std::size_t a, std::size_t b) noexcept {
        if (name == "t") t.set(a, b);
        else if (name == "ref") ref.set(a, b);
        else if (name == "si") si.set(a, b);
        else return false;
        return true;
    }
};

}  // namespace brindle
