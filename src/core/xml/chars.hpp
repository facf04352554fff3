// Character-level rules of the XML reader: byte classes, the XML Char check
// on UTF-8 spans, references and the decoding of attribute values and text.
//
// Validation runs when the reader first meets a construct; decoding runs only
// when a consumer asks for the value and relies on validation having passed,
// so it never fails.
#pragma once

#include <xml/error.hpp>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace brindle {

// A half-open range of indices into the byte window.
struct Span {
    std::size_t start = 0;
    std::size_t end = 0;
    constexpr std::size_t size() const noexcept { return end - start; }
    constexpr bool empty() const noexcept { return end == start; }
    friend constexpr bool operator==(const Span&, const Span&) = default;
};

// 256-entry byte classes. One table lookup answers every membership test the
// tokenizer makes on ASCII; bytes at or above 0x80 are in kHigh only.
namespace cc {
inline constexpr std::uint8_t kWs = 1;           // space, TAB, LF, CR
inline constexpr std::uint8_t kNameStart = 2;    // ASCII letter, '_', ':'
inline constexpr std::uint8_t kName = 4;         // kNameStart, digits, '.', '-'
inline constexpr std::uint8_t kLetter = 8;       // ASCII letter
inline constexpr std::uint8_t kHigh = 16;        // 0x80 and above
inline constexpr std::uint8_t kLocalStart = 32;  // ASCII letter, '_'

struct Table {
    std::uint8_t v[256];
};
consteval Table make_table() {
    Table t{};
    for (int c = 0; c < 256; ++c) {
        std::uint8_t f = 0;
        bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
        bool digit = c >= '0' && c <= '9';
        if (c == ' ' || c == '\t' || c == '\n' || c == '\r') f |= kWs;
        if (letter || c == '_' || c == ':') f |= kNameStart;
        if (letter || digit || c == '_' || c == ':' || c == '.' || c == '-') f |= kName;
        if (letter) f |= kLetter;
        if (letter || c == '_') f |= kLocalStart;
        if (c >= 0x80) f |= kHigh;
        t.v[c] = f;
    }
    return t;
}
inline constexpr Table kTable = make_table();
}  // namespace cc

inline constexpr bool is_ws(std::uint8_t c) noexcept { return cc::kTable.v[c] & cc::kWs; }
inline constexpr bool is_name_start(std::uint8_t c) noexcept { return cc::kTable.v[c] & cc::kNameStart; }
inline constexpr bool is_name_char(std::uint8_t c) noexcept { return cc::kTable.v[c] & cc::kName; }
inline constexpr bool is_letter(std::uint8_t c) noexcept { return cc::kTable.v[c] & cc::kLetter; }
inline constexpr bool is_local_start(std::uint8_t c) noexcept { return cc::kTable.v[c] & cc::kLocalStart; }

// What one pass over a span found, beyond its validity.
struct SpanFlags {
    bool amp = false;       // '&'
    bool cr = false;        // CR
    bool tab_lf = false;    // TAB or LF
    bool lt = false;        // '<'
    bool gt = false;        // '>'
    bool high = false;      // a byte at or above 0x80
    bool bad_ctrl = false;  // a control byte other than TAB, LF, CR
};

// One vectorised pass over [p, p+n).
[[nodiscard]] SpanFlags scan_span(const std::uint8_t* p, std::size_t n) noexcept;

// UTF-8 validity, then U+FFFE / U+FFFF, of a span already known to hold no
// forbidden control bytes.
[[nodiscard]] XmlResult<void> validate_utf8(const std::uint8_t* p, std::size_t n) noexcept;

// The XML Char check of a whole span.
[[nodiscard]] XmlResult<void> validate_chars(const std::uint8_t* p, std::size_t n) noexcept;

// Every '&' in the span starts a defined reference closed by a later ';'.
[[nodiscard]] XmlResult<void> validate_refs(const std::uint8_t* p, std::size_t n) noexcept;

// The code point of one reference, given the bytes between '&' and ';'.
[[nodiscard]] XmlResult<char32_t> resolve_ref(std::string_view name) noexcept;

// Appends the UTF-8 encoding of a valid code point.
void append_utf8(std::string& out, char32_t cp);

// Attribute-value normalisation. Returns the span itself when there is
// nothing to rewrite, otherwise the rewritten value held in `scratch`.
// The span must have passed validate_chars and validate_refs.
[[nodiscard]] std::string_view decode_attr(std::string_view raw, std::string& scratch);

// Character data: line ends normalised, references replaced (outside CDATA).
[[nodiscard]] std::string_view decode_text(std::string_view raw, bool cdata, std::string& scratch);

}  // namespace brindle
