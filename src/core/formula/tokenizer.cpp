#include <formula/tokenizer.hpp>

#include <array>
#include <cstddef>
#include <cstdint>

namespace brindle {
namespace {

using u8 = std::uint8_t;

// Tried in this order: the first one the formula continues with wins.
constexpr std::string_view kErrorLiterals[] = {"#NULL!", "#DIV/0!", "#VALUE!", "#REF!",
                                               "#NAME?", "#NUM!", "#N/A", "#GETTING_DATA"};

// Characters that end a pending operand before they are dispatched.
constexpr auto kEnders = [] {
    std::array<bool, 256> t{};
    for (char c : std::string_view(",;}) +-*/^&=><%")) t[static_cast<u8>(c)] = true;
    return t;
}();

constexpr bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

// Strict UTF-8 (no overlong forms, surrogates or values past U+10FFFF): the
// text a host string can hold. Returns the length of the sequence at s[i], 0
// when it is not one.
std::size_t utf8_len(std::string_view s, std::size_t i) noexcept {
    const u8 b = static_cast<u8>(s[i]);
    if (b < 0x80) return 1;
    std::size_t n;
    u8 lo = 0x80, hi = 0xBF;
    if (b >= 0xC2 && b <= 0xDF) {
        n = 2;
    } else if (b >= 0xE0 && b <= 0xEF) {
        n = 3;
        if (b == 0xE0) lo = 0xA0;
        if (b == 0xED) hi = 0x9F;
    } else if (b >= 0xF0 && b <= 0xF4) {
        n = 4;
        if (b == 0xF0) lo = 0x90;
        if (b == 0xF4) hi = 0x8F;
    } else {
        return 0;
    }
    if (s.size() - i < n) return 0;
    const u8 b1 = static_cast<u8>(s[i + 1]);
    if (b1 < lo || b1 > hi) return 0;
    for (std::size_t k = 2; k < n; ++k)
        if ((static_cast<u8>(s[i + k]) & 0xC0) != 0x80) return 0;
    return n;
}

bool valid_utf8(std::string_view s) noexcept {
    for (std::size_t i = 0; i < s.size();) {
        if (static_cast<u8>(s[i]) < 0x80) {
            ++i;
            continue;
        }
        const std::size_t n = utf8_len(s, i);
        if (n == 0) return false;
        i += n;
    }
    return true;
}

// Messages count positions in code points, as the host's strings do.
std::string code_point_index(std::string_view s, std::size_t byte_pos) {
    std::size_t n = 0;
    for (std::size_t i = 0; i < byte_pos; ++i)
        if ((static_cast<u8>(s[i]) & 0xC0) != 0x80) ++n;
    return std::to_string(n);
}

[[gnu::cold, gnu::noinline]] std::unexpected<FormulaError> tok_error(std::string message) {
    return std::unexpected(FormulaError{FormulaErrorKind::Tokenizer, std::move(message)});
}

[[gnu::cold, gnu::noinline]] std::unexpected<FormulaError> pop_empty() {
    return std::unexpected(FormulaError{FormulaErrorKind::PopEmpty, {}});
}

// Python's `re.match("[1-9](\.[0-9]+)?[Ee]$", text)`: the mantissa of a
// number in scientific notation, so that a following sign continues it.
bool is_sci_mantissa(std::string_view s) noexcept {
    if (!s.empty() && s.back() == '\n') s.remove_suffix(1);  // "$" allows one final line feed
    if (s.size() < 2 || s[0] < '1' || s[0] > '9') return false;
    std::size_t i = 1;
    if (s[i] == '.') {
        const std::size_t start = ++i;
        while (i < s.size() && is_digit(s[i])) ++i;
        if (i == start) return false;
    }
    return i + 1 == s.size() && (s[i] == 'E' || s[i] == 'e');
}

class Tokenizer {
public:
    explicit Tokenizer(std::string_view f) : f_(f) {}

    FormulaResult<std::vector<Token>> run() {
        while (pos_ < f_.size()) {
            const char c = f_[pos_];
            if ((c == '+' || c == '-') && !pending_.empty() && is_sci_mantissa(pending_)) {
                add_piece(pos_, 1);
                ++pos_;
                continue;
            }
            if (kEnders[static_cast<u8>(c)]) {
                auto saved = save_token();
                if (!saved) return std::unexpected(std::move(saved).error());
            }
            auto step = dispatch(c);
            if (!step) return std::unexpected(std::move(step).error());
        }
        auto saved = save_token();
        if (!saved) return std::unexpected(std::move(saved).error());
        return std::move(out_);
    }

private:
    std::string_view f_;
    std::size_t pos_ = 1;
    std::vector<Token> out_;
    std::vector<std::size_t> open_;  // indexes in out_ of brackets not yet closed
    std::string pending_;            // the pieces of the pending operand, joined
    std::size_t last_piece_ = 0;     // where the last piece starts in pending_

    void add_piece(std::size_t from, std::size_t len) {
        last_piece_ = pending_.size();
        pending_.append(f_.substr(from, len));
    }

    void push(std::string_view value, TokType type, TokSub sub = TokSub::None) {
        out_.push_back(Token{std::string(value), type, sub});
    }

    FormulaResult<void> save_token() {
        if (pending_.empty()) return {};
        auto tok = make_operand(pending_);
        if (!tok) return std::unexpected(std::move(tok).error());
        out_.push_back(std::move(*tok));
        pending_.clear();
        return {};
    }

    // The pending operand may only end in a piece that is part of `allowed`
    // (none at all when `allowed` is 0).
    FormulaResult<void> check_pending(char allowed) const {
        if (pending_.empty()) return {};
        if (allowed != 0 && pending_.size() - last_piece_ == 1 && pending_.back() == allowed) return {};
        return tok_error("Unexpected character at position " + code_point_index(f_, pos_) + " in '" +
                         std::string(f_) + "'");
    }

    // The index of the quote closing the run opened at pos_; a doubled
    // quote belongs to the text.
    std::size_t closing_quote(char q) const {
        std::size_t i = pos_ + 1;
        while (true) {
            i = f_.find(q, i);
            if (i == std::string_view::npos) return i;
            if (i + 1 < f_.size() && f_[i + 1] == q) {
                i += 2;
                continue;
            }
            return i;
        }
    }

    FormulaResult<void> quoted(char q) {
        if (auto ok = check_pending(':'); !ok) return ok;
        const std::size_t end = closing_quote(q);
        if (end == std::string_view::npos)
            return tok_error(std::string("Reached end of formula while parsing ") +
                             (q == '"' ? "string" : "link") + " in " + std::string(f_));
        const std::size_t len = end + 1 - pos_;
        if (q == '"') {
            // A string is saved at once, ahead of any pending operand.
            auto tok = make_operand(f_.substr(pos_, len));
            if (!tok) return std::unexpected(std::move(tok).error());
            out_.push_back(std::move(*tok));
        } else {
            add_piece(pos_, len);
        }
        pos_ = end + 1;
        return {};
    }

    FormulaResult<void> bracketed() {
        std::size_t depth = 0;
        for (std::size_t i = pos_; i < f_.size(); ++i) {
            if (f_[i] == '[') {
                ++depth;
            } else if (f_[i] == ']') {
                if (--depth == 0) {
                    add_piece(pos_, i + 1 - pos_);
                    pos_ = i + 1;
                    return {};
                }
            }
        }
        return tok_error("Encountered unmatched '[' in " + std::string(f_));
    }

    FormulaResult<void> error_literal() {
        if (auto ok = check_pending('!'); !ok) return ok;
        const std::string_view rest = f_.substr(pos_);
        for (std::string_view lit : kErrorLiterals) {
            if (!rest.starts_with(lit)) continue;
            pending_.append(lit);
            auto tok = make_operand(pending_);
            if (!tok) return std::unexpected(std::move(tok).error());
            out_.push_back(std::move(*tok));
            pending_.clear();
            pos_ += lit.size();
            return {};
        }
        return tok_error("Invalid error code at position " + code_point_index(f_, pos_) + " in '" +
                         std::string(f_) + "'");
    }

    void op(char c) {
        const std::string_view two = f_.substr(pos_, 2);
        if (two == ">=" || two == "<=" || two == "<>") {
            push(two, TokType::OpInfix);
            pos_ += 2;
            return;
        }
        TokType type = TokType::OpInfix;
        if (c == '%') {
            type = TokType::OpPostfix;
        } else if (c == '+' || c == '-') {
            type = TokType::OpPrefix;
            for (auto it = out_.rbegin(); it != out_.rend(); ++it) {
                if (it->type == TokType::Whitespace) continue;
                if (it->subtype == TokSub::Close || it->type == TokType::OpPostfix ||
                    it->type == TokType::Operand)
                    type = TokType::OpInfix;
                break;
            }
        }
        push(f_.substr(pos_, 1), type);
        ++pos_;
    }

    void open_bracket(TokType type, std::string value) {
        open_.push_back(out_.size());
        out_.push_back(Token{std::move(value), type, TokSub::Open});
        ++pos_;
    }

    FormulaResult<void> close_bracket(char c) {
        if (open_.empty()) return pop_empty();
        const TokType type = out_[open_.back()].type;
        open_.pop_back();
        if (c != (type == TokType::Array ? '}' : ')'))
            return tok_error("Mismatched ( and { pair in '" + std::string(f_) + "'");
        push(f_.substr(pos_, 1), type, TokSub::Close);
        ++pos_;
        return {};
    }

    FormulaResult<void> dispatch(char c) {
        switch (c) {
            case '"':
            case '\'':
                return quoted(c);
            case '[':
                return bracketed();
            case '#':
                return error_literal();
            case ' ':
            case '\n':
                push(f_.substr(pos_, 1), TokType::Whitespace);
                while (pos_ < f_.size() && (f_[pos_] == ' ' || f_[pos_] == '\n')) ++pos_;
                return {};
                // clang-format off
            case '+': case '-': case '*': case '/': case '^': case '&': case '=': case '>': case '<':
            // clang-format on
            case '%':
                op(c);
                return {};
            case '{':
                if (auto ok = check_pending(0); !ok) return ok;
                open_bracket(TokType::Array, "{");
                return {};
            case '(':
                if (pending_.empty()) {
                    open_bracket(TokType::Paren, "(");
                } else {
                    std::string name = std::move(pending_);
                    pending_.clear();
                    name += '(';
                    open_bracket(TokType::Func, std::move(name));
                }
                return {};
            case ')':
            case '}':
                return close_bracket(c);
            case ';':
                push(";", TokType::Sep, TokSub::Row);
                ++pos_;
                return {};
            case ',':
                if (open_.empty() || out_[open_.back()].type == TokType::Paren)
                    push(",", TokType::OpInfix);
                else
                    push(",", TokType::Sep, TokSub::Arg);
                ++pos_;
                return {};
            default: {
                const std::size_t n = utf8_len(f_, pos_);  // valid: checked up front
                add_piece(pos_, n);
                pos_ += n;
                return {};
            }
        }
    }
};

constexpr bool is_ascii_space(char c) noexcept {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

// Letters that float() can accept after it maps Unicode digits and spaces
// to ASCII: any other ASCII character makes the text a non-number whatever
// its non-ASCII characters are.
constexpr auto kFloatAlphabet = [] {
    std::array<bool, 128> t{};
    for (char c : std::string_view("0123456789+-._eEiInNfFtTyYaA \t\n\v\f\r")) t[static_cast<u8>(c)] = true;
    return t;
}();

// A run of digits in which single underscores may stand between digits;
// returns the number of digits, advancing `i` past the run.
std::size_t digit_run(std::string_view s, std::size_t& i) noexcept {
    std::size_t digits = 0;
    while (i < s.size() && is_digit(s[i])) {
        ++i;
        ++digits;
        if (i + 1 < s.size() && s[i] == '_' && is_digit(s[i + 1])) ++i;
    }
    return digits;
}

bool iequals(std::string_view a, std::string_view lower) noexcept {
    if (a.size() != lower.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if ((static_cast<u8>(a[i]) | 0x20u) != static_cast<u8>(lower[i])) return false;
    return true;
}

}  // namespace

bool py_float_accepts_ascii(std::string_view s) noexcept {
    // float() trims the C-locale spaces only: U+001C..U+001F, which
    // str.strip() removes, make the text a non-number.
    while (!s.empty() && is_ascii_space(s.front())) s.remove_prefix(1);
    while (!s.empty() && is_ascii_space(s.back())) s.remove_suffix(1);
    if (!s.empty() && (s[0] == '+' || s[0] == '-')) s.remove_prefix(1);
    if (s.empty()) return false;
    if (iequals(s, "inf") || iequals(s, "infinity") || iequals(s, "nan")) return true;
    std::size_t i = 0;
    std::size_t digits = digit_run(s, i);
    if (i < s.size() && s[i] == '.') {
        ++i;
        digits += digit_run(s, i);
    }
    if (digits == 0) return false;
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
        ++i;
        if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
        if (digit_run(s, i) == 0) return false;
    }
    return i == s.size();
}

FormulaResult<Token> make_operand(std::string_view text) {
    TokSub sub;
    if (text.starts_with('"')) {
        sub = TokSub::Text;
    } else if (text.starts_with('#')) {
        sub = TokSub::Error;
    } else if (text == "TRUE" || text == "FALSE") {
        sub = TokSub::Logical;
    } else {
        bool non_ascii = false;
        bool foreign = false;  // an ASCII character no number can hold
        for (char c : text) {
            const u8 b = static_cast<u8>(c);
            if (b >= 0x80)
                non_ascii = true;
            else if (!kFloatAlphabet[b])
                foreign = true;
        }
        if (non_ascii && !foreign) return need_python();
        sub = !foreign && py_float_accepts_ascii(text) ? TokSub::Number : TokSub::Range;
    }
    return Token{std::string(text), TokType::Operand, sub};
}

FormulaResult<std::vector<Token>> tokenize(std::string_view formula) {
    if (!valid_utf8(formula)) return need_python();
    if (formula.empty()) return std::vector<Token>{};
    if (formula[0] != '=') return std::vector<Token>{Token{std::string(formula), TokType::Literal}};
    return Tokenizer(formula).run();
}

}  // namespace brindle
