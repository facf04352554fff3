#include <formula/columns.hpp>
#include <formula/tokenizer.hpp>
#include <formula/translator.hpp>

#include <algorithm>
#include <cstring>

namespace brindle {
namespace {

constexpr bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }
constexpr bool is_alpha(char c) noexcept { return ((static_cast<unsigned char>(c) | 0x20u) - 'a') < 26u; }

// A reference text may carry one final line feed that the host's patterns
// accept and leave out of what they capture.
std::string_view drop_final_lf(std::string_view s) noexcept {
    if (!s.empty() && s.back() == '\n') s.remove_suffix(1);
    return s;
}

// Length of a row part at the start of s: optional "$", a digit 1-9, up to
// six more digits. 0 when there is none.
std::size_t row_part(std::string_view s) noexcept {
    std::size_t i = s.starts_with('$') ? 1 : 0;
    if (i >= s.size() || s[i] < '1' || s[i] > '9') return 0;
    const std::size_t start = i++;
    while (i < s.size() && i - start < 7 && is_digit(s[i])) ++i;
    return i;
}

// Length of a column part at the start of s: optional "$", up to three
// letters (greedy, as the host's pattern is). 0 when there is none.
std::size_t col_part(std::string_view s) noexcept {
    std::size_t i = s.starts_with('$') ? 1 : 0;
    const std::size_t start = i;
    while (i < s.size() && i - start < 3 && is_alpha(s[i])) ++i;
    return i == start ? 0 : i;
}

bool whole(std::string_view s, std::size_t (*part)(std::string_view)) noexcept {
    return !s.empty() && part(s) == s.size();
}

// A row number is below 10^7 plus a difference of two 64-bit values.
constexpr std::size_t kMaxRowDigits = 40;

// Decimal text of a positive value, written backwards into `end`. 128-bit
// division is a library call, so it runs only for the digits above 64 bits.
char* put_decimal(unsigned __int128 v, char* end) noexcept {
    constexpr std::uint64_t kTen19 = 10'000'000'000'000'000'000ull;
    std::uint64_t low;
    if (v > UINT64_MAX) {
        low = static_cast<std::uint64_t>(v % kTen19);
        v /= kTen19;
        for (int i = 0; i < 19; ++i, low /= 10) *--end = static_cast<char>('0' + low % 10);
    }
    low = static_cast<std::uint64_t>(v);
    do {
        *--end = static_cast<char>('0' + low % 10);
        low /= 10;
    } while (low > 0);
    return end;
}

}  // namespace

void Translator::push_text(std::string_view s) {
    if (s.empty()) return;
    if (!segs_.empty() && segs_.back().kind == Seg::Kind::Text) {
        segs_.back().len += static_cast<std::uint32_t>(s.size());
    } else {
        segs_.push_back(Seg{Seg::Kind::Text, static_cast<std::uint32_t>(s.size()),
                            static_cast<std::int64_t>(text_.size())});
    }
    text_.append(s);  // arena pieces of one segment stay contiguous
    max_len_ += s.size();
}

void Translator::push_num(Seg::Kind kind, std::int64_t n) {
    segs_.push_back(Seg{kind, 0, n});
    max_len_ += kind == Seg::Kind::Row ? kMaxRowDigits : 3;
    if (kind == Seg::Kind::Row) {
        min_row_ = std::min(min_row_, n);
    } else {
        min_col_ = std::min(min_col_, n);
        max_col_ = std::max(max_col_, n);
    }
}

void Translator::compile_row(std::string_view part) {
    if (part.starts_with('$')) return push_text(part);
    std::int64_t n = 0;
    for (char c : part) n = n * 10 + (c - '0');  // at most seven digits
    push_num(Seg::Kind::Row, n);
}

void Translator::compile_col(std::string_view part) {
    if (part.starts_with('$')) return push_text(part);
    push_num(Seg::Kind::Col, column_number(part));
}

void Translator::compile_range(std::string_view text) {
    std::string_view prefix, rest = text;
    if (const auto bang = text.rfind('!'); bang != std::string_view::npos) {
        prefix = text.substr(0, bang + 1);
        rest = text.substr(bang + 1);
    }
    const auto colon = rest.find(':');
    if (colon != std::string_view::npos) {
        const std::string_view a = rest.substr(0, colon);
        const std::string_view b = drop_final_lf(rest.substr(colon + 1));
        for (auto part : {row_part, col_part}) {
            if (whole(a, part) && whole(b, part)) {
                push_text(prefix);
                if (part == row_part) {
                    compile_row(a);
                    push_text(":");
                    compile_row(b);
                } else {
                    compile_col(a);
                    push_text(":");
                    compile_col(b);
                }
                return;
            }
        }
        push_text(prefix);
        std::size_t from = 0;
        while (true) {
            const auto next = rest.find(':', from);
            compile_range(rest.substr(from, next == std::string_view::npos ? next : next - from));
            if (next == std::string_view::npos) break;
            push_text(":");
            from = next + 1;
        }
        return;
    }
    const std::string_view ref = drop_final_lf(rest);
    const std::size_t c = col_part(ref);
    if (c != 0 && whole(ref.substr(c), row_part)) {
        push_text(prefix);
        compile_col(ref.substr(0, c));
        compile_row(ref.substr(c));
        return;
    }
    // A name, an error literal, a structured reference...: nothing moves,
    // but the sheet it is qualified with stays.
    push_text(text);
}

FormulaResult<Translator> Translator::make(std::string_view formula, CellPos origin) {
    Translator t;
    t.origin_ = origin;
    auto tokens = tokenize(formula);
    if (!tokens) return std::unexpected(std::move(tokens).error());
    t.tokens_ = std::move(*tokens);
    if (t.tokens_.empty() || t.tokens_[0].type == TokType::Literal) return t;
    t.push_text("=");
    for (const Token& tok : t.tokens_) {
        if (tok.type == TokType::Operand && tok.subtype == TokSub::Range)
            t.compile_range(tok.value);
        else
            t.push_text(tok.value);
    }
    return t;
}

FormulaResult<void> Translator::check(std::optional<CellPos> dest) const {
    if (!dest) return {};  // every master number is itself in range
    const __int128 dr = __int128(dest->row) - origin_.row;
    const __int128 dc = __int128(dest->col) - origin_.col;
    if (min_row_ != INT64_MAX && min_row_ + dr <= 0) return out_of_range();
    if (min_col_ != INT64_MAX && (min_col_ + dc < 1 || max_col_ + dc > kMaxColumn)) return out_of_range();
    return {};
}

FormulaResult<void> Translator::translate_into(std::optional<CellPos> dest, std::string& out) const {
    if (tokens_.empty()) return {};
    if (tokens_[0].type == TokType::Literal) {
        out.append(tokens_[0].value);
        return {};
    }
    // 128 bits: a destination anywhere in the 64-bit plane cannot overflow.
    __int128 dr = 0, dc = 0;
    if (dest) {
        dr = __int128(dest->row) - origin_.row;
        dc = __int128(dest->col) - origin_.col;
    }
    // PERF: one size bump for the whole formula instead of an append per
    // segment; the bound is exact for text and columns, generous for rows.
    bool in_range = true;
    const std::size_t old = out.size();
    out.resize_and_overwrite(old + max_len_, [&](char* buf, std::size_t) {
        char* p = buf + old;
        for (const Seg& s : segs_) {
            switch (s.kind) {
                case Seg::Kind::Text:
                    std::memcpy(p, text_.data() + s.value, s.len);
                    p += s.len;
                    break;
                case Seg::Kind::Row: {
                    const __int128 m = s.value + dr;
                    if (m <= 0) {
                        in_range = false;
                        return static_cast<std::size_t>(p - buf);
                    }
                    char digits[kMaxRowDigits];
                    char* end = digits + sizeof digits;
                    const char* d = put_decimal(static_cast<unsigned __int128>(m), end);
                    std::memcpy(p, d, static_cast<std::size_t>(end - d));
                    p += end - d;
                    break;
                }
                case Seg::Kind::Col: {
                    const __int128 m = s.value + dc;
                    if (m < 1 || m > kMaxColumn) {
                        in_range = false;
                        return static_cast<std::size_t>(p - buf);
                    }
                    p += column_letters(static_cast<std::int64_t>(m), p);
                    break;
                }
            }
        }
        return static_cast<std::size_t>(p - buf);
    });
    if (!in_range) return out_of_range();
    return {};
}

FormulaResult<std::string> Translator::translate(std::optional<CellPos> dest) const {
    std::string out;
    out.reserve(64);
    if (auto ok = translate_into(dest, out); !ok) return std::unexpected(std::move(ok).error());
    return out;
}

}  // namespace brindle
