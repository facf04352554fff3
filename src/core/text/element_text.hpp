// The plain text of an element as the host's object model sees it: the
// character data before its first child element. Both readers here consume
// events through the element's end and refuse elements that belong to the
// enclosing dispatcher, so that no such element is swallowed inside text.
#pragma once

#include <xml/namespaces.hpp>
#include <xml/reader.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace brindle {

// The shared-string table's dispatcher owns every main-namespace <si>.
inline bool forbid_si(std::uint32_t ns, std::string_view local) noexcept { return ns == kNsMain && local == "si"; }

// No cell holds more than 32,767 characters; the text of one element past
// this many characters is no workbook's, and is refused before it can take
// memory and time (the host gives the same error, see kTextTooLong).
inline constexpr std::size_t kMaxText = std::size_t{1} << 20;
inline constexpr const char* kTextTooLong = "text longer than 1048576 characters";

namespace detail {
[[nodiscard, gnu::cold, gnu::noinline]] inline std::unexpected<XmlError> nested_dispatch() {
    return unsupported("nested element handled by dispatcher");
}
[[nodiscard, gnu::cold, gnu::noinline]] inline std::unexpected<XmlError> unexpected_eof() {
    return malformed("unexpected eof");
}
[[nodiscard, gnu::cold, gnu::noinline]] inline std::unexpected<XmlError> text_too_long() {
    return std::unexpected(XmlError::limit(kTextTooLong));
}
// Characters (not continuation bytes) of UTF-8 text.
[[nodiscard]] inline std::size_t utf8_length(std::string_view s) noexcept {
    std::size_t n = 0;
    for (unsigned char c : s) n += (c & 0xC0) != 0x80;
    return n;
}
}  // namespace detail

// Skips the element of the current start event, checking every nested start.
template <ByteSource Src, class Forbid>
[[nodiscard]] XmlResult<void> skip_checked(Reader<Src>& r, Forbid&& forbid) {
    const std::size_t depth = r.depth();
    if (r.last_kind() == Event::EmptyTag) {
        BR_TRY(r.next());
        return {};
    }
    for (;;) {
        Event ev = BR_TRY(r.next());
        switch (ev) {
            case Event::StartTag:
            case Event::EmptyTag:
                if (forbid(r.elem_ns, r.view(r.elem_local))) return detail::nested_dispatch();
                break;
            case Event::EndTag:
                if (r.depth() < depth) return {};
                break;
            case Event::CharData:
                break;
            case Event::EndOfDocument:
                return detail::unexpected_eof();
        }
    }
}

// Appends the element's text to `out`; answers whether there was any
// character data before the first child (an element without any has absent
// text, not empty text).
template <ByteSource Src, class Forbid>
[[nodiscard]] XmlResult<bool> element_text_into(Reader<Src>& r, std::string& out, Forbid&& forbid) {
    const std::size_t depth = r.depth();
    if (r.last_kind() == Event::EmptyTag) {
        BR_TRY(r.next());
        return false;
    }
    bool present = false;
    bool child_seen = false;
    std::string scratch;
    for (;;) {
        Event ev = BR_TRY(r.next());
        switch (ev) {
            case Event::CharData:
                if (!child_seen) {
                    // Decoding only allocates when the text has something to rewrite.
                    if (r.text_needs_work) out.append(r.text_str(scratch));
                    else out.append(r.view(r.text_span));
                    present = true;
                    // Bytes bound characters from above: counted only past the limit.
                    if (out.size() > kMaxText && detail::utf8_length(out) > kMaxText) [[unlikely]]
                        return detail::text_too_long();
                }
                break;
            case Event::StartTag:
            case Event::EmptyTag:
                if (forbid(r.elem_ns, r.view(r.elem_local))) return detail::nested_dispatch();
                child_seen = true;
                break;
            case Event::EndTag:
                if (r.depth() < depth) return present;
                break;
            case Event::EndOfDocument:
                return detail::unexpected_eof();
        }
    }
}

template <ByteSource Src, class Forbid>
[[nodiscard]] XmlResult<std::optional<std::string>> element_text_checked(Reader<Src>& r, Forbid&& forbid) {
    std::string text;
    bool present = BR_TRY(element_text_into(r, text, forbid));
    if (!present) return std::nullopt;
    return std::optional<std::string>(std::move(text));
}

}  // namespace brindle
