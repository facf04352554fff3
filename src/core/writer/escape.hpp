// XML escaping of attribute values and element content, byte for byte as
// the host's two serialisers write them. `lxml` true matches the lxml
// incremental writer (ASCII output, every non-ASCII character as a decimal
// reference); false matches ElementTree (UTF-8 output) with the host's one
// amendment: a carriage return in content is a reference there too, since
// an XML reader turns a raw one into a line feed.
//
// Input is valid UTF-8. Characters XML forbids are not checked here: the
// callers refuse such values before any of their text is written.
#pragma once

#include <string>
#include <string_view>

namespace brindle {

// Appends `text` escaped for a double-quoted attribute value.
void esc_attr(std::string& out, std::string_view text, bool lxml);

// Appends `text` escaped as element content.
void esc_text(std::string& out, std::string_view text, bool lxml);

// Whether `s` holds a character XML 1.0 forbids (C0 controls other than
// TAB, LF and CR; U+FFFE, U+FFFF).
[[nodiscard]] bool has_forbidden_char(std::string_view s) noexcept;

// Whether esc_attr / esc_text would change `text` (false: it is written as it is).
[[nodiscard]] bool attr_needs_escape(std::string_view text, bool lxml) noexcept;
[[nodiscard]] bool text_needs_escape(std::string_view text, bool lxml) noexcept;

}  // namespace brindle
