// Whitespace trimming with the rules of Python's str.strip(), on UTF-8 text.
#pragma once

#include <string_view>

namespace brindle {

// Exactly the code points for which Python's str.isspace() is true: the
// Unicode White_Space property plus the four ASCII information separators
// (U+001C to U+001F) that Python adds through its bidirectional classes.
[[nodiscard]] constexpr bool py_isspace(char32_t c) noexcept {
    if (c < 0x80) return (c >= 0x09 && c <= 0x0D) || (c >= 0x1C && c <= 0x20);
    switch (c) {
            // clang-format off
        case 0x85: case 0xA0: case 0x1680: case 0x2028: case 0x2029: case 0x202F:
        case 0x205F: case 0x3000:
            // clang-format on
            return true;
        default:
            return c >= 0x2000 && c <= 0x200A;
    }
}

// The sub-slice of UTF-8 `text` without the leading and trailing code points
// that Python's str.strip() removes. Never allocates. Bytes that do not form
// a whitespace code point, valid UTF-8 or not, end the trim.
[[nodiscard]] std::string_view py_strip(std::string_view text) noexcept;

}  // namespace brindle
