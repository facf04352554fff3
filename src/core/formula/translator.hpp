// Moving the relative references of a shared formula to another cell, with
// the host translator's text and errors.
#pragma once

#include <formula/error.hpp>
#include <formula/token.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace brindle {

// A 1-based cell position.
struct CellPos {
    std::int64_t row;
    std::int64_t col;
};

// One piece of a compiled formula. Text pieces point into the translator's
// text arena; row and column pieces hold the master's number, to which the
// destination's offset is added.
struct Seg {
    enum class Kind : std::uint8_t { Text,
                                     Row,
                                     Col };
    Kind kind;
    std::uint32_t len;   // Text: length in the arena
    std::int64_t value;  // Text: offset in the arena; Row / Col: the number
};

// Immutable once made: any number of threads may translate with one
// translator at the same time.
class Translator {
public:
    // Tokenizes `formula` (the master's text) and compiles its references
    // relative to the master cell at `origin`. Tokenizer errors come back
    // unchanged.
    [[nodiscard]] static FormulaResult<Translator> make(std::string_view formula, CellPos origin);

    // Appends the formula as it reads in cell `dest` (no move without one).
    // On error `out` may hold part of the formula; callers discard it. Only
    // appends to `out`: a reused buffer makes the per-cell path allocation-free.
    [[nodiscard]] FormulaResult<void> translate_into(std::optional<CellPos> dest, std::string& out) const;

    [[nodiscard]] FormulaResult<std::string> translate(std::optional<CellPos> dest) const;

    // Whether the formula can be moved to `dest`: the error translate_into
    // would give, decided from the reference bounds alone.
    [[nodiscard]] FormulaResult<void> check(std::optional<CellPos> dest) const;

    [[nodiscard]] const std::vector<Token>& tokens() const noexcept { return tokens_; }

private:
    std::vector<Token> tokens_;
    std::vector<Seg> segs_;
    std::string text_;  // the text pieces, back to back
    CellPos origin_{};
    std::size_t max_len_ = 0;  // bound on the rendered length
    // Bounds of the relative numbers, so that check() needs no walk; empty
    // bounds (no relative row or column) are min > max.
    std::int64_t min_row_ = INT64_MAX, min_col_ = INT64_MAX, max_col_ = INT64_MIN;

    void push_text(std::string_view s);
    void push_num(Seg::Kind kind, std::int64_t n);
    void compile_range(std::string_view text);
    void compile_row(std::string_view part);
    void compile_col(std::string_view part);
};

}  // namespace brindle
