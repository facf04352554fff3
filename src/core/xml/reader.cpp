// The parts of the reader that do not depend on the byte source.
#include <xml/reader.hpp>

namespace brindle::detail {

namespace {

inline std::size_t skip_ws(const std::uint8_t* p, std::size_t i, std::size_t n) noexcept {
    while (i < n && is_ws(p[i])) ++i;
    return i;
}

inline bool eq(const std::uint8_t* p, std::size_t n, std::string_view s) noexcept {
    return n == s.size() && std::memcmp(p, s.data(), n) == 0;
}

}  // namespace

XmlResult<void> check_xml_decl(const std::uint8_t* p, std::size_t n) noexcept {
    // clang-format off
    enum Prev { None, Version, Encoding, Standalone } prev = None;
    // clang-format on
    std::size_t i = 0;
    for (;;) {
        std::size_t ws0 = i;
        i = skip_ws(p, i, n);
        if (i == n) break;
        if (i == ws0) return malformed("bad decl");
        std::size_t n0 = i;
        while (i < n && is_letter(p[i])) ++i;
        std::size_t n1 = i;
        i = skip_ws(p, i, n);
        if (i == n || p[i] != '=') return malformed("bad decl");
        i = skip_ws(p, i + 1, n);
        if (i == n || (p[i] != '"' && p[i] != '\'')) return malformed("bad decl");
        std::size_t v0 = i + 1;
        std::size_t v1 = find_byte(p, v0, n, p[i]);
        if (v1 == n) return malformed("bad decl");
        i = v1 + 1;
        const std::uint8_t* name = p + n0;
        std::size_t nlen = n1 - n0;
        const std::uint8_t* val = p + v0;
        std::size_t vlen = v1 - v0;
        if (prev == None) {
            if (!eq(name, nlen, "version")) return malformed("bad decl");
            if (!eq(val, vlen, "1.0")) return unsupported("xml version");
            prev = Version;
        } else if (prev == Version && eq(name, nlen, "encoding")) {
            char low[5];
            if (vlen != 5) return unsupported("encoding");
            for (std::size_t k = 0; k < 5; ++k) {
                std::uint8_t c = val[k];
                low[k] = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
            }
            if (std::memcmp(low, "utf-8", 5) != 0) return unsupported("encoding");
            prev = Encoding;
        } else if ((prev == Version || prev == Encoding) && eq(name, nlen, "standalone")) {
            if (!eq(val, vlen, "yes") && !eq(val, vlen, "no")) return malformed("bad standalone");
            prev = Standalone;
        } else {
            return malformed("bad decl");
        }
    }
    if (prev == None) return malformed("bad decl");
    return {};
}

XmlResult<void> check_pi(const std::uint8_t* p, std::size_t n) noexcept {
    std::size_t t = 0;
    while (t < n && is_name_char(p[t])) ++t;
    if (t == 0 || !is_name_start(p[0])) return malformed("bad pi");
    if (t == 3 && (p[0] | 0x20) == 'x' && (p[1] | 0x20) == 'm' && (p[2] | 0x20) == 'l')
        return malformed("misplaced xml declaration");
    if (std::memchr(p, ':', t)) return malformed("colon in pi target");
    if (t < n && !is_ws(p[t])) return malformed("bad pi");
    return validate_chars(p, n);
}

XmlResult<bool> check_attr_value(const std::uint8_t* p, std::size_t n) noexcept {
    SpanFlags f = scan_span(p, n);
    if (f.lt) return malformed("< in attribute");
    if (f.bad_ctrl) return malformed("invalid character");
    if (f.high) BR_TRY_VOID(validate_utf8(p, n));
    if (f.amp) BR_TRY_VOID(validate_refs(p, n));
    return f.amp || f.tab_lf || f.cr;
}

XmlResult<bool> check_text(const std::uint8_t* p, std::size_t n) noexcept {
    SpanFlags f = scan_span(p, n);
    if (f.bad_ctrl) return malformed("invalid character");
    if (f.high) BR_TRY_VOID(validate_utf8(p, n));
    if (f.amp) BR_TRY_VOID(validate_refs(p, n));
    if (f.gt && contains(p, n, "]]>", 3)) return malformed("]]> in text");
    return f.amp || f.cr;
}

XmlResult<void> check_comment(const std::uint8_t* p, std::size_t n) noexcept {
    if (contains(p, n, "--", 2) || (n > 0 && p[n - 1] == '-')) return malformed("-- in comment");
    return validate_chars(p, n);
}

}  // namespace brindle::detail
