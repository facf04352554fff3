// The error value of formula tokenizing and translation. Plain C++: the
// worksheet reader turns it into the host's exception or a fallback.
#pragma once

#include <cstdint>
#include <expected>
#include <string>

namespace brindle {

enum class FormulaErrorKind : std::uint8_t {
    Tokenizer,   // the host tokenizer rejects the formula; `message` is its text
    Translator,  // a moved reference leaves the sheet; `message` is the host's text
    PopEmpty,    // a closing bracket with nothing open (the host's IndexError)
    NeedPython,  // the host's result depends on rules not reproduced here
};

struct FormulaError {
    FormulaErrorKind kind;
    std::string message;  // empty for PopEmpty and NeedPython

    friend bool operator==(const FormulaError&, const FormulaError&) = default;
};

template <class T>
using FormulaResult = std::expected<T, FormulaError>;

[[nodiscard, gnu::cold, gnu::noinline]] inline std::unexpected<FormulaError> need_python() {
    return std::unexpected(FormulaError{FormulaErrorKind::NeedPython, {}});
}

// The one message of the translator, shared by every out-of-range reference.
inline constexpr const char* kOutOfRange = "Formula out of range";

[[nodiscard, gnu::cold, gnu::noinline]] inline std::unexpected<FormulaError> out_of_range() {
    return std::unexpected(FormulaError{FormulaErrorKind::Translator, kOutOfRange});
}

}  // namespace brindle
