#pragma once
#include <string_view>
namespace brindle {
// The sub-slice of UTF-8 `text` without the leading and trailing code points
// that Python's str.strip() removes.
std::string_view py_strip(std::string_view text) noexcept;
}  // namespace brindle
