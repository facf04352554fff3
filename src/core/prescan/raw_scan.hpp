// The raw scan of <sheetData> content: finds row and cell start tags by byte
// search and reads only their attributes, without parsing the XML between.
//
// It is exact only for content where a byte search sees what a parser sees,
// so anything that could make them differ is refused: comments, CDATA and
// processing instructions (a '<' that is not a tag), prefixed element names
// (a prefixed row is a row, a prefixed foreign element is not), and
// namespace declarations on row and cell tags. Depth is tracked from the tags
// themselves, so that only rows that are children of <sheetData> and cells
// that are children of such rows count, as they would for a parser.
//
// Plain C++: the host's row-number helper and the collection of row
// attributes are reached through the `Sink`.
#pragma once

#include <prescan/search.hpp>
#include <utils/cell_text.hpp>
#include <xml/chars.hpp>
#include <xml/error.hpp>
#include <xml/namespaces.hpp>
#include <xml/reader.hpp>
#include <xml/search.hpp>
#include <xml/window.hpp>

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

namespace brindle::prescan {

struct Position {
    std::int64_t row;
    std::int64_t col;
    friend constexpr bool operator==(const Position&, const Position&) = default;
};

struct PositionHash {
    std::size_t operator()(const Position& p) const noexcept {
        std::uint64_t h = static_cast<std::uint64_t>(p.row) * 0x9E3779B97F4A7C15ull;
        h ^= static_cast<std::uint64_t>(p.col) + 0x7F4A7C159E3779B9ull + (h << 6) + (h >> 2);
        return static_cast<std::size_t>(h ^ (h >> 29));
    }
};

// The positions asked for and their rows.
struct Wanted {
    std::unordered_set<Position, PositionHash> positions;
    std::unordered_set<std::int64_t> rows;
    void add(Position p) {
        positions.insert(p);
        rows.insert(p.row);
    }
    bool empty() const noexcept { return positions.empty(); }
};

// A requested position at which a cell was found, in order of first discovery
// (a later cell at the same position replaces the text, not the place).
struct Found {
    Position pos;
    std::optional<std::string> s;
};

struct RowAttr {
    std::string key;  // "{uri}local", or the local name alone
    std::string value;
};

template <class S>
concept Sink = requires(S& s, std::string_view text, std::int64_t row, std::span<const RowAttr> attrs) {
    { s.row_index(text) } -> std::same_as<XmlResult<std::int64_t>>;
    { s.row_attrs(row, attrs) } -> std::same_as<XmlResult<void>>;
};

namespace detail {

struct RawAttr {
    Span raw;
    std::size_t colon;  // index of the prefix colon, or npos
    Span value;
    bool needs_decode;
};

inline constexpr std::size_t npos = static_cast<std::size_t>(-1);
inline constexpr std::size_t kMaxAttrs = 64;

// The attributes of a tag body [j, end) with the reader's syntax rules.
// Namespace declarations are refused: a default one would move the tag out
// of the namespace the scan assumes, and a prefixed one changes what later
// prefixes mean, which the scan does not track.
[[nodiscard]] inline XmlResult<void> parse_attrs(const std::uint8_t* p, std::size_t j, std::size_t end,
                                                 std::vector<RawAttr>& out,
                                                 std::vector<Span>& names) {
    out.clear();
    names.clear();
    auto sv = [p](Span s) { return std::string_view(reinterpret_cast<const char*>(p) + s.start, s.size()); };
    for (;;) {
        const std::size_t ws0 = j;
        while (j < end && is_ws(p[j])) ++j;
        if (j == end) break;
        if (j == ws0) return malformed("missing whitespace between attributes");
        const std::size_t n0 = j;
        const brindle::detail::NameScan name = BR_TRY(brindle::detail::scan_name(p, j, end));
        const std::size_t n1 = name.end;
        j = n1;
        while (j < end && is_ws(p[j])) ++j;
        if (j == end || p[j] != '=') return malformed("expected =");
        ++j;
        while (j < end && is_ws(p[j])) ++j;
        if (j == end || (p[j] != '"' && p[j] != '\'')) return malformed("expected quote");
        const std::size_t v0 = j + 1;
        const std::size_t v1 = find_byte(p, v0, end, p[j]);
        if (v1 == end) return malformed("unterminated attribute");
        j = v1 + 1;
        const bool needs_decode = BR_TRY(brindle::detail::check_attr_value(p + v0, v1 - v0));
        const std::size_t colon = BR_TRY(brindle::detail::check_qname(p, n0, name));
        const Span raw{n0, n1};
        // Duplicates are malformed. Counted tags are small; a big one is
        // refused before the quadratic check could cost anything.
        if (names.size() == kMaxAttrs) return unsupported("too many attributes in sheetData");
        for (const Span& o : names)
            if (sv(o) == sv(raw)) return malformed("duplicate attribute");
        names.push_back(raw);
        const std::string_view rv = sv(raw);
        if (rv == "xmlns" || (colon == n0 + 5 && rv.starts_with("xmlns")))
            return unsupported("namespace declaration");
        out.push_back({raw, colon, {v0, v1}, needs_decode});
    }
    return {};
}

}  // namespace detail

// Runs over the content of each <sheetData> element in turn; the row and
// column counters carry on across them, as a parser's would.
template <ByteSource Src, Sink S>
class RawScan {
public:
    RawScan(bool want_rows, const Wanted& wanted, S& sink) : want_rows_(want_rows), wanted_(wanted), sink_(sink) {}

    const std::vector<Found>& found() const noexcept { return found_; }
    std::vector<Found> take_found() noexcept { return std::move(found_); }

    // Scans from `w.pos` (just after the <sheetData> start tag) and stops
    // with `w.pos` on the '<' of its end tag, for the reader to read.
    // `scope` holds the bindings in scope there; it is read only for
    // prefixed row attributes.
    [[nodiscard]] XmlResult<void> run(Window<Src>& w, const NamespaceList& scope) {
        scope_ = &scope;
        depth_ = 0;
        in_row_ = false;
        if (!want_rows_ && wanted_.empty()) return find_end(w);
        return walk(w);
    }

private:
    static bool is_end_delim(std::uint8_t c) noexcept { return is_ws(c) || c == '>'; }
    static bool is_tag_delim(std::uint8_t c) noexcept { return is_ws(c) || c == '/' || c == '>'; }

    // Moves w.pos to the next '<', consuming the bytes before it. End of
    // input there is outside any tag.
    [[nodiscard]] static XmlResult<void> next_lt(Window<Src>& w) {
        for (;;) {
            const std::size_t end = w.filled();
            const std::size_t i = find_byte(w.buf.data(), w.pos, end, '<');
            if (i < end) {
                w.pos = i;
                return {};
            }
            w.pos = end;
            if (!BR_TRY(w.more())) return malformed("eof in element");
        }
    }

    // At least n bytes from the '<' at w.pos, inside a tag.
    [[nodiscard]] static XmlResult<bool> have(Window<Src>& w, std::size_t n) {
        if (w.filled() - w.pos >= n) return true;
        return w.ensure(n);
    }

    static bool is_sheet_data_end(const std::uint8_t* p, std::size_t avail) noexcept {
        return avail >= 12 && std::memcmp(p, "</sheetData", 11) == 0 && is_end_delim(p[11]);
    }

    // Only the end tag matters: nothing inside is counted.
    [[nodiscard]] XmlResult<void> find_end(Window<Src>& w) {
        for (;;) {
            const std::size_t end = w.filled();
            const std::size_t i = find_markup(w.buf.data(), w.pos, end, 's', false);
            if (i == end) {
                w.pos = end;
                if (!BR_TRY(w.more())) return malformed("eof in element");
                continue;
            }
            w.pos = i;
            if (!BR_TRY(have(w, 12)) && w.filled() - w.pos < 2) return malformed("eof in tag");
            const std::uint8_t* p = w.buf.data() + w.pos;
            if (p[1] == '!' || p[1] == '?') return unsupported("comment/cdata/pi in sheetData");
            if (is_sheet_data_end(p, w.filled() - w.pos)) return {};
            w.pos += 1;
        }
    }

    // The '>' closing the start tag at w.pos, searched from offset `rel`;
    // returns its offset from w.pos.
    [[nodiscard]] static XmlResult<std::size_t> tag_close(Window<Src>& w, std::size_t rel) {
        const std::size_t quick = quick_tag_close(w.buf.data(), w.pos + rel, w.filled());
        if (quick < w.filled()) return quick - w.pos;
        std::uint8_t quote = 0;
        for (;;) {
            const std::size_t end = w.filled();
            const std::size_t i = find_tag_close(w.buf.data(), w.pos + rel, end, quote);
            if (i < end) return i - w.pos;
            rel = end - w.pos;
            if (!BR_TRY(w.more())) return malformed("eof in tag");
        }
    }

    [[nodiscard]] XmlResult<void> walk(Window<Src>& w) {
        const bool count_cells = !wanted_.empty();
        for (;;) {
            BR_TRY_VOID(next_lt(w));
            if (!BR_TRY(have(w, 2))) return malformed("eof in tag");
            const std::uint8_t c1 = w.buf.data()[w.pos + 1];
            if (c1 == '/') {
                if (depth_ == 0) {
                    (void)BR_TRY(have(w, 12));
                    if (is_sheet_data_end(w.buf.data() + w.pos, w.filled() - w.pos)) return {};
                    return malformed("mismatched tag");
                }
                if (--depth_ == 0) in_row_ = false;
                w.pos += 2;
                continue;
            }
            if (c1 == '!' || c1 == '?') return unsupported("comment/cdata/pi in sheetData");
            // The element name; a colon anywhere in it is a prefix.
            std::size_t n = 1;
            for (;;) {
                if (w.pos + n == w.filled() && !BR_TRY(w.more())) return malformed("eof in tag");
                const std::uint8_t c = w.buf.data()[w.pos + n];
                if (c == ':') return unsupported("prefixed element in sheetData");
                if (!is_name_char(c)) break;
                ++n;
            }
            const std::size_t gt = BR_TRY(tag_close(w, n));
            const std::uint8_t* p = w.buf.data() + w.pos;
            const bool empty = gt >= 2 && p[gt - 1] == '/';
            // Nothing inside a cell counts, nor inside a row when no cell is
            // asked for: their content is only searched for their end.
            if (depth_ == 0 && n == 4 && std::memcmp(p + 1, "row", 3) == 0) {
                BR_TRY_VOID(row_tag(p, gt, empty));
                in_row_ = !empty;
                w.pos += gt + 1;
                if (empty) continue;
                ++depth_;
                if (!count_cells) BR_TRY_VOID(skip_to_end(w, "row", "row inside row"));
            } else if (count_cells && depth_ == 1 && in_row_ && n == 2 && p[1] == 'c') {
                BR_TRY_VOID(cell_tag(p, gt, empty));
                w.pos += gt + 1;
                if (empty) continue;
                ++depth_;
                BR_TRY_VOID(skip_to_end(w, "c", "cell inside cell"));
            } else {
                if (!empty) ++depth_;
                w.pos += gt + 1;
            }
        }
    }

    // Moves w.pos to the end tag of the open row or cell `name` when nothing
    // inside it is counted. In well-formed content the first "</name" closes
    // it unless an element of the same name opens inside, which is refused
    // rather than tracked.
    [[nodiscard]] XmlResult<void> skip_to_end(Window<Src>& w, std::string_view name, const char* nested) {
        const std::size_t m = name.size();
        for (;;) {
            const std::size_t end = w.filled();
            const std::size_t i = find_markup(w.buf.data(), w.pos, end, std::uint8_t(name[0]), true);
            if (i == end) {
                w.pos = end;
                if (!BR_TRY(w.more())) return malformed("eof in element");
                continue;
            }
            w.pos = i;
            if (!BR_TRY(have(w, m + 3)) && w.filled() - w.pos < 2) return malformed("eof in tag");
            const std::uint8_t* p = w.buf.data() + w.pos;
            const std::size_t avail = w.filled() - w.pos;
            if (p[1] == '!' || p[1] == '?') return unsupported("comment/cdata/pi in sheetData");
            if (avail >= m + 3 && p[1] == '/' && std::memcmp(p + 2, name.data(), m) == 0 && is_end_delim(p[m + 2]))
                return {};
            if (avail >= m + 2 && std::memcmp(p + 1, name.data(), m) == 0 && is_tag_delim(p[m + 1]))
                return unsupported(nested);
            w.pos += 1;
        }
    }

    // p[0] is '<', p[gt] the closing '>'; the body ends before "/>" or ">".
    static std::size_t body_end(std::size_t gt, bool empty) noexcept { return empty ? gt - 1 : gt; }

    // Whether the tag rest [from, gt) could hold a namespace declaration
    // (a false alarm only costs the full attribute parse).
    static bool may_declare(const std::uint8_t* p, std::size_t from, std::size_t gt) noexcept {
        for (std::size_t i = find_byte(p, from, gt, 'x'); i < gt; i = find_byte(p, i + 1, gt, 'x'))
            if (gt - i >= 5 && std::memcmp(p + i, "xmlns", 5) == 0) return true;
        return false;
    }

    [[nodiscard]] XmlResult<void> row_tag(const std::uint8_t* p, std::size_t gt, bool empty) {
        col_ = 0;
        if (!want_rows_ && gt > 8 && std::memcmp(p + 1, "row r=\"", 7) == 0) {
            const std::size_t q = find_byte(p, 8, gt, '"');
            if (q < gt && !may_declare(p, q, gt)) {
                const auto v = short_decimal({reinterpret_cast<const char*>(p) + 8, q - 8});
                if (v) {
                    row_ = *v;
                    return {};
                }
            }
        }
        BR_TRY_VOID(detail::parse_attrs(p, 4, body_end(gt, empty), attrs_, names_));
        std::optional<std::string_view> r;
        bool other = false;
        for (const detail::RawAttr& a : attrs_) {
            if (a.colon != detail::npos) {
                (void)BR_TRY(resolve(p, a));
                continue;
            }
            const std::string_view name = view(p, a.raw);
            if (name == "r") r = value(p, a, scratch_);
            else if (name != "spans") other = true;
        }
        if (!r) {
            if (row_ == std::numeric_limits<std::int64_t>::max()) return unsupported("row index");
            ++row_;
        } else if (auto v = short_decimal(*r)) {
            row_ = *v;
        } else {
            row_ = BR_TRY(sink_.row_index(*r));
        }
        if (!want_rows_ || !other) return {};
        return report_row(p);
    }

    [[gnu::cold, gnu::noinline]] XmlResult<void> report_row(const std::uint8_t* p) {
        row_out_.resize(attrs_.size());
        for (std::size_t k = 0; k < attrs_.size(); ++k) {
            const detail::RawAttr& a = attrs_[k];
            RowAttr& o = row_out_[k];
            o.key.clear();
            if (a.colon != detail::npos) {
                const std::string_view uri = BR_TRY(resolve(p, a));
                o.key.push_back('{');
                o.key.append(uri);
                o.key.push_back('}');
                o.key.append(view(p, {a.colon + 1, a.raw.end}));
            } else {
                o.key.append(view(p, a.raw));
            }
            o.value.assign(value(p, a, scratch_));
        }
        return sink_.row_attrs(row_, row_out_);
    }

    // The URI of a prefixed attribute: what is in scope at <sheetData>
    // (declarations inside it are refused).
    [[nodiscard]] XmlResult<std::string_view> resolve(const std::uint8_t* p, const detail::RawAttr& a) {
        const std::string_view prefix = view(p, {a.raw.start, a.colon});
        if (prefix == "xml") return kXmlNamespace;
        for (auto it = scope_->rbegin(); it != scope_->rend(); ++it)
            if (it->first == prefix) {
                if (it->second.empty()) break;
                return std::string_view(it->second);
            }
        return malformed("unbound prefix");
    }

    [[nodiscard]] XmlResult<void> cell_tag(const std::uint8_t* p, std::size_t gt, bool empty) {
        // A plain `r` first: most cells are decided here without a lookup
        // beyond the cached answer for the current row.
        if (gt > 6 && std::memcmp(p + 1, "c r=\"", 5) == 0) {
            const std::size_t q = find_byte(p, 6, gt, '"');
            if (q < gt && !may_declare(p, q, gt)) {
                const auto c = fast_coordinate({reinterpret_cast<const char*>(p) + 6, q - 6});
                if (c) {
                    col_ = c->second;
                    if (!row_wanted(c->first)) return {};
                }
            }
        }
        BR_TRY_VOID(detail::parse_attrs(p, 2, body_end(gt, empty), attrs_, names_));
        std::optional<std::string_view> r;
        const detail::RawAttr* s = nullptr;
        for (const detail::RawAttr& a : attrs_) {
            if (a.colon != detail::npos) {
                (void)BR_TRY(resolve(p, a));
                continue;
            }
            const std::string_view name = view(p, a.raw);
            if (name == "r") r = value(p, a, scratch_);
            else if (name == "s") s = &a;
        }
        Position at;
        if (r && !r->empty()) {
            const auto c = fast_coordinate(*r);
            if (!c) return unsupported("coordinate");
            at = {c->first, c->second};
        } else {
            if (col_ == std::numeric_limits<std::int64_t>::max()) return unsupported("column index");
            at = {row_, col_ + 1};
        }
        col_ = at.col;
        if (!wanted_.positions.contains(at)) return {};
        std::optional<std::string> text;
        if (s) text.emplace(value(p, *s, scratch_));
        auto [it, fresh] = found_at_.try_emplace(at, found_.size());
        if (fresh) found_.push_back({at, std::move(text)});
        else found_[it->second].s = std::move(text);
        return {};
    }

    bool row_wanted(std::int64_t row) {
        if (row != cached_row_ || !cache_valid_) {
            cached_row_ = row;
            cached_wanted_ = wanted_.rows.contains(row);
            cache_valid_ = true;
        }
        return cached_wanted_;
    }

    static std::string_view view(const std::uint8_t* p, Span s) noexcept {
        return {reinterpret_cast<const char*>(p) + s.start, s.size()};
    }
    static std::string_view value(const std::uint8_t* p, const detail::RawAttr& a, std::string& scratch) {
        const std::string_view raw = view(p, a.value);
        return a.needs_decode ? decode_attr(raw, scratch) : raw;
    }

    const bool want_rows_;
    const Wanted& wanted_;
    S& sink_;
    const NamespaceList* scope_ = nullptr;
    std::int64_t row_ = 0;
    std::int64_t col_ = 0;
    std::int64_t depth_ = 0;  // within the current <sheetData>
    bool in_row_ = false;
    std::int64_t cached_row_ = 0;
    bool cached_wanted_ = false;
    bool cache_valid_ = false;
    std::vector<detail::RawAttr> attrs_;
    std::vector<Span> names_;
    std::vector<RowAttr> row_out_;
    std::string scratch_;
    std::vector<Found> found_;
    std::unordered_map<Position, std::size_t, PositionHash> found_at_;
};

}  // namespace brindle::prescan
