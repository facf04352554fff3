// Splitting a cell formula into tokens exactly as the host tokenizer does,
// including its error messages.
#pragma once

#include <formula/error.hpp>
#include <formula/token.hpp>

#include <string_view>
#include <vector>

namespace brindle {

// The tokens of `formula` (UTF-8). Tokenizer errors carry the host's message,
// with positions counted in code points; text that is not valid UTF-8 (which
// no host string can hold) is NeedPython.
[[nodiscard]] FormulaResult<std::vector<Token>> tokenize(std::string_view formula);

// The operand token for `text`, with the subtype the host gives it: Text,
// Error, Logical, or Number / Range by whether Python's float() accepts the
// text. NeedPython when that depends on Unicode digit or space rules.
[[nodiscard]] FormulaResult<Token> make_operand(std::string_view text);

// Whether Python's float() accepts `text`, for text without non-ASCII bytes.
[[nodiscard]] bool py_float_accepts_ascii(std::string_view text) noexcept;

}  // namespace brindle
