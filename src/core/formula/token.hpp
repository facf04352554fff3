// Tokens of a cell formula, with the host tokenizer's types and subtypes.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace brindle {

enum class TokType : std::uint8_t {
    Literal,  // a whole formula that does not start with "="
    Operand,
    Func,   // "NAME(" and its ")"
    Array,  // braces
    Paren,  // plain parentheses
    Sep,
    OpPrefix,
    OpInfix,
    OpPostfix,
    Whitespace,
};

enum class TokSub : std::uint8_t {
    None,
    // clang-format off
    Text, Number, Logical, Error, Range,  // operands
    Open, Close,                          // Func, Array, Paren
    Arg, Row,                             // Sep
    // clang-format on
};

struct Token {
    std::string value;  // as in the formula; a whitespace run keeps its first character
    TokType type;
    TokSub subtype = TokSub::None;

    friend bool operator==(const Token&, const Token&) = default;
};

[[nodiscard]] constexpr std::string_view type_name(TokType t) noexcept {
    constexpr std::string_view names[] = {"Literal", "Operand", "Func", "Array", "Paren",
                                          "Sep", "OpPrefix", "OpInfix", "OpPostfix", "Whitespace"};
    return names[static_cast<unsigned>(t)];
}

[[nodiscard]] constexpr std::string_view subtype_name(TokSub s) noexcept {
    constexpr std::string_view names[] = {"None", "Text", "Number", "Logical", "Error",
                                          "Range", "Open", "Close", "Arg", "Row"};
    return names[static_cast<unsigned>(s)];
}

}  // namespace brindle
