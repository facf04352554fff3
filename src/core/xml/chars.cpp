#include <xml/chars.hpp>

#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace brindle {

namespace {

// Per-byte flags for the scalar part of scan_span: one lookup and one OR
// per byte, no branches.
// clang-format off
enum : std::uint8_t { kFAmp = 1, kFCr = 2, kFTabLf = 4, kFLt = 8, kFGt = 16, kFHighB = 32, kFBad = 64 };
// clang-format on
struct SpanTable {
    std::uint8_t v[256];
};
consteval SpanTable make_span_table() {
    SpanTable t{};
    for (int c = 0; c < 256; ++c) {
        std::uint8_t f = 0;
        if (c == '&') f = kFAmp;
        else if (c == '\r') f = kFCr;
        else if (c == '\t' || c == '\n') f = kFTabLf;
        else if (c == '<') f = kFLt;
        else if (c == '>') f = kFGt;
        else if (c >= 0x80) f = kFHighB;
        else if (c < 0x20) f = kFBad;
        t.v[c] = f;
    }
    return t;
}
constexpr SpanTable kSpanTable = make_span_table();

inline void scan_scalar(const std::uint8_t* p, std::size_t n, SpanFlags& f) noexcept {
    unsigned acc = 0;
    for (std::size_t i = 0; i < n; ++i) acc |= kSpanTable.v[p[i]];
    f.amp |= (acc & kFAmp) != 0;
    f.cr |= (acc & kFCr) != 0;
    f.tab_lf |= (acc & kFTabLf) != 0;
    f.lt |= (acc & kFLt) != 0;
    f.gt |= (acc & kFGt) != 0;
    f.high |= (acc & kFHighB) != 0;
    f.bad_ctrl |= (acc & kFBad) != 0;
}

}  // namespace

SpanFlags scan_span(const std::uint8_t* p, std::size_t n) noexcept {
    SpanFlags f;
    std::size_t i = 0;
#if defined(__SSE2__)
    // PERF: a signed compare against 0x20 flags control bytes and high bytes in
    // one instruction; the common block of plain ASCII text costs four compares.
    const __m128i k20 = _mm_set1_epi8(0x20);
    const __m128i kAmp = _mm_set1_epi8('&');
    const __m128i kLt = _mm_set1_epi8('<');
    const __m128i kGt = _mm_set1_epi8('>');
    const __m128i kCr = _mm_set1_epi8('\r');
    const __m128i kTab = _mm_set1_epi8('\t');
    const __m128i kLf = _mm_set1_epi8('\n');
    unsigned acc_high = 0, acc_amp = 0, acc_lt = 0, acc_gt = 0, acc_cr = 0, acc_tl = 0, acc_bad = 0;
    for (; i + 16 <= n; i += 16) {
        __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
        unsigned low = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmplt_epi8(x, k20)));
        unsigned special = static_cast<unsigned>(_mm_movemask_epi8(
            _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(x, kAmp), _mm_cmpeq_epi8(x, kLt)), _mm_cmpeq_epi8(x, kGt))));
        if ((low | special) == 0) [[likely]]
            continue;
        unsigned high = static_cast<unsigned>(_mm_movemask_epi8(x));
        acc_high |= high;
        unsigned ctrl = low & ~high;
        if (ctrl) {
            unsigned cr = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(x, kCr)));
            unsigned tl = static_cast<unsigned>(
                _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(x, kTab), _mm_cmpeq_epi8(x, kLf))));
            acc_cr |= cr;
            acc_tl |= tl;
            acc_bad |= ctrl & ~(cr | tl);
        }
        if (special) {
            acc_amp |= static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(x, kAmp)));
            acc_lt |= static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(x, kLt)));
            acc_gt |= static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(x, kGt)));
        }
    }
    f.high = acc_high != 0;
    f.amp = acc_amp != 0;
    f.lt = acc_lt != 0;
    f.gt = acc_gt != 0;
    f.cr = acc_cr != 0;
    f.tab_lf = acc_tl != 0;
    f.bad_ctrl = acc_bad != 0;
#endif
    scan_scalar(p + i, n - i, f);
    return f;
}

XmlResult<void> validate_utf8(const std::uint8_t* p, std::size_t n) noexcept {
    bool nonchar = false;
    std::size_t i = 0;
    while (i < n) {
        std::uint8_t c = p[i];
        if (c < 0x80) {
            ++i;
#if defined(__SSE2__)
            // PERF: mostly-ASCII text with a few accents skips whole blocks.
            while (i + 16 <= n &&
                   _mm_movemask_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i))) == 0)
                i += 16;
#endif
            continue;
        }
        if (c >= 0xC2 && c <= 0xDF) {
            if (i + 1 >= n || (p[i + 1] & 0xC0) != 0x80) return malformed("invalid utf-8");
            i += 2;
        } else if (c >= 0xE0 && c <= 0xEF) {
            if (i + 2 >= n) return malformed("invalid utf-8");
            std::uint8_t c1 = p[i + 1], c2 = p[i + 2];
            // E0 needs A0..BF (no overlongs); ED needs 80..9F (no surrogates).
            std::uint8_t lo = c == 0xE0 ? 0xA0 : 0x80;
            std::uint8_t hi = c == 0xED ? 0x9F : 0xBF;
            if (c1 < lo || c1 > hi || (c2 & 0xC0) != 0x80) return malformed("invalid utf-8");
            if (c == 0xEF && c1 == 0xBF && (c2 == 0xBE || c2 == 0xBF)) nonchar = true;
            i += 3;
        } else if (c >= 0xF0 && c <= 0xF4) {
            if (i + 3 >= n) return malformed("invalid utf-8");
            std::uint8_t c1 = p[i + 1];
            std::uint8_t lo = c == 0xF0 ? 0x90 : 0x80;
            std::uint8_t hi = c == 0xF4 ? 0x8F : 0xBF;
            if (c1 < lo || c1 > hi || (p[i + 2] & 0xC0) != 0x80 || (p[i + 3] & 0xC0) != 0x80)
                return malformed("invalid utf-8");
            i += 4;
        } else {
            return malformed("invalid utf-8");
        }
    }
    // Validity of the whole span is judged before the noncharacters.
    if (nonchar) return malformed("invalid character");
    return {};
}

XmlResult<void> validate_chars(const std::uint8_t* p, std::size_t n) noexcept {
    SpanFlags f = scan_span(p, n);
    if (f.bad_ctrl) return malformed("invalid character");
    if (f.high) return validate_utf8(p, n);
    return {};
}

XmlResult<void> validate_refs(const std::uint8_t* p, std::size_t n) noexcept {
    const std::uint8_t* end = p + n;
    const std::uint8_t* at = p;
    while (at < end) {
        auto* amp = static_cast<const std::uint8_t*>(std::memchr(at, '&', static_cast<std::size_t>(end - at)));
        if (!amp) break;
        auto* semi = static_cast<const std::uint8_t*>(
            std::memchr(amp + 1, ';', static_cast<std::size_t>(end - amp - 1)));
        if (!semi) return malformed("bad reference");
        BR_TRY(resolve_ref({reinterpret_cast<const char*>(amp + 1), static_cast<std::size_t>(semi - amp - 1)}));
        at = semi + 1;
    }
    return {};
}

XmlResult<char32_t> resolve_ref(std::string_view name) noexcept {
    if (name.size() >= 2 && name[0] == '#') {
        bool hex = name[1] == 'x';
        std::string_view digits = name.substr(hex ? 2 : 1);
        if (digits.empty() || digits.size() > 10) return malformed("bad char ref");
        std::uint64_t v = 0;
        for (char ch : digits) {
            unsigned d;
            if (ch >= '0' && ch <= '9') d = static_cast<unsigned>(ch - '0');
            else if (hex && ch >= 'a' && ch <= 'f') d = static_cast<unsigned>(ch - 'a' + 10);
            else if (hex && ch >= 'A' && ch <= 'F') d = static_cast<unsigned>(ch - 'A' + 10);
            else return malformed("bad char ref");
            v = v * (hex ? 16 : 10) + d;  // at most 10 digits: no 64-bit overflow
        }
        if (v > 0xFFFFFFFFu) return malformed("bad char ref");
        bool ok = v == 0x9 || v == 0xA || v == 0xD || (v >= 0x20 && v <= 0xD7FF) ||
                  (v >= 0xE000 && v <= 0xFFFD) || (v >= 0x10000 && v <= 0x10FFFF);
        if (!ok) return malformed("invalid char ref");
        return static_cast<char32_t>(v);
    }
    if (name == "lt") return U'<';
    if (name == "gt") return U'>';
    if (name == "amp") return U'&';
    if (name == "apos") return U'\'';
    if (name == "quot") return U'"';
    return malformed("undefined entity");
}

void append_utf8(std::string& out, char32_t cp) {
    char b[4];
    std::size_t n;
    if (cp < 0x80) {
        b[0] = static_cast<char>(cp);
        n = 1;
    } else if (cp < 0x800) {
        b[0] = static_cast<char>(0xC0 | (cp >> 6));
        b[1] = static_cast<char>(0x80 | (cp & 0x3F));
        n = 2;
    } else if (cp < 0x10000) {
        b[0] = static_cast<char>(0xE0 | (cp >> 12));
        b[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        b[2] = static_cast<char>(0x80 | (cp & 0x3F));
        n = 3;
    } else {
        b[0] = static_cast<char>(0xF0 | (cp >> 18));
        b[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        b[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        b[3] = static_cast<char>(0x80 | (cp & 0x3F));
        n = 4;
    }
    out.append(b, n);
}

namespace {

// Index of the first byte in [i, n) that is one of the rewrite triggers.
inline std::size_t next_special(std::string_view s, std::size_t i, bool attr, bool refs) noexcept {
    for (; i < s.size(); ++i) {
        char c = s[i];
        if (c == '\r' || (refs && c == '&') || (attr && (c == '\t' || c == '\n'))) return i;
    }
    return i;
}

// Replaces the reference starting at s[i] == '&'; returns the index after ';'.
inline std::size_t put_ref(std::string_view s, std::size_t i, std::string& out) {
    std::size_t semi = s.find(';', i + 1);
    // Validated input always has the ';' and a defined name.
    auto cp = resolve_ref(s.substr(i + 1, semi - i - 1));
    append_utf8(out, cp ? *cp : U'\uFFFD');
    return semi + 1;
}

}  // namespace

std::string_view decode_attr(std::string_view raw, std::string& scratch) {
    std::size_t i = next_special(raw, 0, true, true);
    if (i == raw.size()) return raw;
    scratch.clear();
    std::size_t run = 0;
    while (i < raw.size()) {
        scratch.append(raw.data() + run, i - run);
        char c = raw[i];
        if (c == '&') {
            i = put_ref(raw, i, scratch);
        } else {
            scratch.push_back(' ');
            if (c == '\r' && i + 1 < raw.size() && raw[i + 1] == '\n') ++i;
            ++i;
        }
        run = i;
        i = next_special(raw, i, true, true);
    }
    scratch.append(raw.data() + run, raw.size() - run);
    return scratch;
}

std::string_view decode_text(std::string_view raw, bool cdata, std::string& scratch) {
    std::size_t i = next_special(raw, 0, false, !cdata);
    if (i == raw.size()) return raw;
    scratch.clear();
    std::size_t run = 0;
    while (i < raw.size()) {
        scratch.append(raw.data() + run, i - run);
        if (raw[i] == '&') {
            i = put_ref(raw, i, scratch);
        } else {
            scratch.push_back('\n');
            if (i + 1 < raw.size() && raw[i + 1] == '\n') ++i;
            ++i;
        }
        run = i;
        i = next_special(raw, i, false, !cdata);
    }
    scratch.append(raw.data() + run, raw.size() - run);
    return scratch;
}

}  // namespace brindle
