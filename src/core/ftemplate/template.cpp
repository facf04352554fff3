#include <ftemplate/template.hpp>

#include <formula/columns.hpp>

#include <charconv>

namespace brindle {
namespace {

bool is_alnum(unsigned char c) noexcept {
    return (c >= '0' && c <= '9') || ((c | 0x20u) >= 'a' && (c | 0x20u) <= 'z');
}
bool is_upper(unsigned char c) noexcept { return c >= 'A' && c <= 'Z'; }
bool is_digit(unsigned char c) noexcept { return c >= '0' && c <= '9'; }

// A cell reference as written in the text.
struct Ref {
    bool col_abs, row_abs;
    std::int64_t col, row;
};

// Recognises a reference at `i` (a "$" or an uppercase letter not glued to
// a name before it); on success `end` is just past it.
bool ref_at(std::string_view s, std::size_t i, Ref& ref, std::size_t& end) noexcept {
    const auto at = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    if (i > 0) {
        const unsigned char p = at(i - 1);
        if (is_alnum(p) || p == '$' || p == '.' || p == '_') return false;
    }
    std::size_t k = i;
    ref.col_abs = k < s.size() && s[k] == '$';
    if (ref.col_abs) ++k;
    std::int64_t col = 0;
    std::size_t letters = 0;
    while (k < s.size() && is_upper(at(k))) {
        if (++letters > 3) return false;
        col = col * 26 + (at(k) - 'A' + 1);
        ++k;
    }
    if (letters == 0) return false;
    ref.row_abs = k < s.size() && s[k] == '$';
    if (ref.row_abs) ++k;
    if (k >= s.size() || !is_digit(at(k)) || s[k] == '0') return false;
    std::int64_t row = 0;
    std::size_t digits = 0;
    while (k < s.size() && is_digit(at(k))) {
        if (++digits > 7) return false;
        row = row * 10 + (at(k) - '0');
        ++k;
    }
    if (k < s.size()) {
        const unsigned char n = at(k);
        if (is_alnum(n) || n == '!' || n == '$' || n == '(' || n == '.' || n == '_') return false;
    }
    ref.col = col;
    ref.row = row;
    end = k;
    return true;
}

// Splits `s` into literal pieces and references, in order. Empty literals
// are never reported.
template <class OnLiteral, class OnRef>
void scan(std::string_view s, OnLiteral&& on_literal, OnRef&& on_ref) {
    std::size_t lit = 0, i = 0;
    while (i < s.size()) {
        const char c = s[i];
        if (c == '\'' || c == '"') {
            // A quoted run: a doubled quote stands for one and does not end it.
            ++i;
            while (i < s.size()) {
                if (s[i] != c) {
                    ++i;
                    continue;
                }
                if (i + 1 < s.size() && s[i + 1] == c) {
                    i += 2;
                    continue;
                }
                ++i;
                break;
            }
            continue;
        }
        Ref ref;
        std::size_t end;
        if ((c == '$' || is_upper(static_cast<unsigned char>(c))) && ref_at(s, i, ref, end)) {
            if (i > lit) on_literal(s.substr(lit, i - lit));
            on_ref(ref);
            i = lit = end;
            continue;
        }
        ++i;
    }
    if (s.size() > lit) on_literal(s.substr(lit));
}

// The text of one column or row part for a cell, in a small buffer; its
// length, or 0 when the part leaves the sheet.
std::size_t part_text(const Part& p, std::int64_t row, std::int64_t col, char (&buf)[24]) noexcept {
    std::size_t n = 0;
    if (p.absolute) buf[n++] = '$';
    if (p.kind == Part::kColumn) {
        const std::int64_t c = p.absolute ? p.value : col + p.value;
        if (c < 1 || c > kMaxColumn) return 0;
        return n + column_letters(c, buf + n);
    }
    const std::int64_t r = p.absolute ? p.value : row + p.value;
    if (r < 1) return 0;
    auto res = std::to_chars(buf + n, buf + sizeof buf, r);
    return static_cast<std::size_t>(res.ptr - buf);
}

}  // namespace

std::uint64_t shape_hash(std::string_view text, std::int64_t row, std::int64_t col) {
    FxHasher h;
    scan(
        text,
        [&](std::string_view lit) {
            h.write(0);
            h.write_bytes(lit);
            h.write(lit.size());
        },
        [&](const Ref& r) {
            h.write(r.col_abs ? 2 : 1);
            h.write(static_cast<std::uint64_t>(r.col_abs ? r.col : r.col - col));
            h.write(r.row_abs ? 4 : 3);
            h.write(static_cast<std::uint64_t>(r.row_abs ? r.row : r.row - row));
        });
    return h.finish();
}

Template build(std::string_view text, std::int64_t row, std::int64_t col) {
    Template t;
    scan(
        text, [&](std::string_view lit) { t.parts.push_back(Part{Part::kLiteral, 0, 0, std::string(lit)}); },
        [&](const Ref& r) {
            t.parts.push_back(Part{Part::kColumn, r.col_abs, r.col_abs ? r.col : r.col - col, {}});
            t.parts.push_back(Part{Part::kRow, r.row_abs, r.row_abs ? r.row : r.row - row, {}});
        });
    t.parts.shrink_to_fit();
    return t;
}

bool render_into(const Template& t, std::int64_t row, std::int64_t col, std::string& out) {
    char buf[24];
    for (const Part& p : t.parts) {
        if (p.kind == Part::kLiteral) {
            out += p.text;
            continue;
        }
        const std::size_t n = part_text(p, row, col, buf);
        if (n == 0) return false;
        out.append(buf, n);
    }
    return true;
}

bool matches(const Template& t, std::string_view text, std::int64_t row, std::int64_t col) {
    char buf[24];
    std::size_t pos = 0;
    for (const Part& p : t.parts) {
        std::string_view want;
        if (p.kind == Part::kLiteral) {
            want = p.text;
        } else {
            const std::size_t n = part_text(p, row, col, buf);
            if (n == 0) return false;
            want = std::string_view(buf, n);
        }
        if (text.substr(pos, want.size()) != want) return false;
        pos += want.size();
    }
    return pos == text.size();
}

std::optional<std::uint32_t> TemplateTable::template_for(std::string_view text, std::int64_t row,
                                                         std::int64_t col) {
    if (text.size() < 4) return std::nullopt;
    auto [it, added] = lookup_.try_emplace(shape_hash(text, row, col), kSeenOnce);
    if (added) return std::nullopt;
    if (it->second != kSeenOnce) {
        if (matches(list_[it->second], text, row, col)) return it->second;
        return std::nullopt;
    }
    if (list_.size() >= kSeenOnce) return std::nullopt;
    Template t = build(text, row, col);
    if (!matches(t, text, row, col)) return std::nullopt;
    list_.push_back(std::move(t));
    it->second = static_cast<std::uint32_t>(list_.size() - 1);
    return it->second;
}

void TemplateTable::finish_loading() {
    lookup_ = {};
    list_.shrink_to_fit();
}

void TemplateTable::clear() {
    lookup_ = {};
    list_.clear();
    list_.shrink_to_fit();
}

}  // namespace brindle
