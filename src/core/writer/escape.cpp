#include <writer/escape.hpp>

#include <array>
#include <charconv>
#include <cstdint>

namespace brindle {

namespace {

// Byte classes; a byte is special in a mode when its bit for that mode is set.
enum : std::uint8_t {
    kTextEt = 1,    // & < > CR
    kTextLxml = 2,  // & < > CR, and every byte >= 0x80
    kAttrEt = 4,    // & < > " TAB LF CR
    kAttrLxml = 8,  // as kAttrEt, and every byte >= 0x80
};

constexpr std::array<std::uint8_t, 256> make_classes() {
    std::array<std::uint8_t, 256> t{};
    for (unsigned char c : {'&', '<', '>'}) t[c] = kTextEt | kTextLxml | kAttrEt | kAttrLxml;
    t['\r'] = kTextEt | kTextLxml | kAttrEt | kAttrLxml;
    for (unsigned char c : {'"', '\t', '\n'}) t[c] = kAttrEt | kAttrLxml;
    for (int c = 0x80; c < 256; ++c) t[c] = kTextLxml | kAttrLxml;
    return t;
}
constexpr auto kClass = make_classes();

// Decodes one code point of valid UTF-8 at p; advances p.
char32_t decode(const unsigned char*& p) noexcept {
    const unsigned char b = *p++;
    if (b < 0x80) return b;
    if (b < 0xE0) {
        char32_t c = (b & 0x1Fu) << 6 | (p[0] & 0x3Fu);
        p += 1;
        return c;
    }
    if (b < 0xF0) {
        char32_t c = (b & 0x0Fu) << 12 | (p[0] & 0x3Fu) << 6 | (p[1] & 0x3Fu);
        p += 2;
        return c;
    }
    char32_t c = (b & 0x07u) << 18 | (p[0] & 0x3Fu) << 12 | (p[1] & 0x3Fu) << 6 | (p[2] & 0x3Fu);
    p += 3;
    return c;
}

void char_ref(std::string& out, char32_t c) {
    char buf[16] = {'&', '#'};
    auto r = std::to_chars(buf + 2, buf + sizeof buf - 1, static_cast<std::uint32_t>(c));
    *r.ptr++ = ';';
    out.append(buf, static_cast<std::size_t>(r.ptr - buf));
}

// The replacement of a special byte; nullptr when it is not replaced.
const char* replacement(unsigned char c, bool attr, bool lxml) noexcept {
    switch (c) {
        case '&': return "&amp;";
        case '<': return "&lt;";
        case '>': return "&gt;";
        case '"': return attr ? "&quot;" : nullptr;
        case '\t': return attr ? (lxml ? "&#9;" : "&#09;") : nullptr;
        case '\n': return attr ? "&#10;" : nullptr;
        // Raw in text, a reader would take it for a line feed.
        case '\r': return "&#13;";
        default: return nullptr;
    }
}

// Copies the runs between special bytes, replacing each special byte or
// (lxml) non-ASCII character.
template <std::uint8_t Mask>
void escape_runs(std::string& out, std::string_view text) {
    constexpr bool attr = Mask == kAttrEt || Mask == kAttrLxml;
    constexpr bool lxml = Mask == kTextLxml || Mask == kAttrLxml;
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const auto* end = p + text.size();
    while (p < end) {
        const auto* run = p;
        while (p < end && !(kClass[*p] & Mask)) ++p;
        out.append(reinterpret_cast<const char*>(run), static_cast<std::size_t>(p - run));
        if (p == end) break;
        if (*p >= 0x80) {
            char_ref(out, decode(p));
            continue;
        }
        out.append(replacement(*p, attr, lxml));
        ++p;
    }
}

template <std::uint8_t Mask>
bool has_special(std::string_view text) noexcept {
    for (unsigned char c : text)
        if (kClass[c] & Mask) return true;
    return false;
}

}  // namespace

void esc_attr(std::string& out, std::string_view text, bool lxml) {
    if (lxml)
        escape_runs<kAttrLxml>(out, text);
    else
        escape_runs<kAttrEt>(out, text);
}

// Characters XML 1.0 forbids: C0 controls other than TAB, LF and CR, and
// the non-characters U+FFFE and U+FFFF. The lxml serialiser refuses them
// with an error, so text holding one is left to the host's writer, which
// then gives the host's result in either mode.
bool has_forbidden_char(std::string_view s) noexcept {
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    const std::size_t n = s.size();
    for (std::size_t i = 0; i < n; ++i) {
        const unsigned char c = p[i];
        if (c < 0x20) {
            if (c != '\t' && c != '\n' && c != '\r') return true;
        } else if (c == 0xEF && i + 2 < n && p[i + 1] == 0xBF && (p[i + 2] & 0xFE) == 0xBE) {
            return true;
        }
    }
    return false;
}

bool attr_needs_escape(std::string_view text, bool lxml) noexcept {
    return lxml ? has_special<kAttrLxml>(text) : has_special<kAttrEt>(text);
}

bool text_needs_escape(std::string_view text, bool lxml) noexcept {
    return lxml ? has_special<kTextLxml>(text) : has_special<kTextEt>(text);
}

void esc_text(std::string& out, std::string_view text, bool lxml) {
    // Most cell text needs no escaping at all: one scan, one copy.
    if (!text_needs_escape(text, lxml)) {
        out.append(text);
        return;
    }
    if (lxml)
        escape_runs<kTextLxml>(out, text);
    else
        escape_runs<kTextEt>(out, text);
}

}  // namespace brindle
