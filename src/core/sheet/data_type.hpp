// A cell's data type: the text of its `t` attribute and the small code that
// parsed cells, store records and the writer carry in its place. Codes from
// kDtCount up are free for types outside this list (the store numbers its
// custom types from there).
#pragma once

#include <cstdint>
#include <string_view>

namespace brindle {

// clang-format off
enum DtCode : std::uint8_t { kDtN, kDtS, kDtF, kDtB, kDtE, kDtD, kDtInlineStr, kDtCount };
// clang-format on

// Indexed by DtCode; each a literal, so data() is NUL-terminated.
inline constexpr std::string_view kDtNames[kDtCount] = {"n", "s", "f", "b", "e", "d", "inlineStr"};

}  // namespace brindle
