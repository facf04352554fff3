// The XML pull reader: events over the byte window, well-formedness checked
// as strictly as the host's XML library, namespaces resolved as it goes.
//
// Names, attributes and text are spans into the window, valid until the next
// call that may pull bytes (`next`). Nesting is kept in flat arrays, never on
// the call stack, so depth is bounded only by memory.
#pragma once

#include <xml/chars.hpp>
#include <xml/error.hpp>
#include <xml/fast_attrs.hpp>
#include <xml/namespaces.hpp>
#include <xml/search.hpp>
#include <xml/window.hpp>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace brindle {

// clang-format off
enum class Event : std::uint8_t { StartTag, EmptyTag, EndTag, CharData, EndOfDocument };

struct Attr {
    Span raw;    // qualified name as written
    Span local;  // after the colon; equal to `raw` without a prefix
    Span value;  // between the quotes, undecoded
    std::int32_t ns;  // namespace id once the tag is complete (0: none)
    // clang-format on
    bool needs_decode;  // the value holds '&', TAB, LF or CR
};

struct OpenElem {
    std::uint32_t name_off;  // into the reader's concatenated names
    std::uint32_t name_len;
    std::uint32_t nbind;  // bindings its start tag declared
    std::uint32_t ns;     // resolved at the start tag; the same bindings are in scope at its end
};

namespace detail {
// Declaration body (between "<?xml" and "?>").
[[nodiscard]] XmlResult<void> check_xml_decl(const std::uint8_t* p, std::size_t n) noexcept;
// Processing instruction body (between "<?" and "?>").
[[nodiscard]] XmlResult<void> check_pi(const std::uint8_t* p, std::size_t n) noexcept;
inline constexpr std::size_t npos = static_cast<std::size_t>(-1);

struct NameScan {
    std::size_t end;    // index after the name
    std::size_t colon;  // first colon, or npos
    bool more_colons;
};

// A name starting at p[i]. Colons are noted on the way so that the
// qualified-name rule, which may only be applied later, needs no second pass.
[[nodiscard]] inline XmlResult<NameScan> scan_name(const std::uint8_t* p, std::size_t i, std::size_t end) noexcept {
    if (i == end) return malformed("expected name");
    std::uint8_t c = p[i];
    if (!is_name_start(c)) return c >= 0x80 ? unsupported("non-ascii name") : malformed("bad name");
    NameScan n{0, c == ':' ? i : npos, false};
    for (++i; i < end; ++i) {
        c = p[i];
        if (!is_name_char(c)) {
            if (c >= 0x80) return unsupported("non-ascii name");
            break;
        }
        if (c == ':') {
            if (n.colon == npos) n.colon = i;
            else n.more_colons = true;
        }
    }
    n.end = i;
    return n;
}

// The qualified-name rule for a name starting at `start`; returns the colon
// index or npos.
[[nodiscard]] inline XmlResult<std::size_t> check_qname(const std::uint8_t* p, std::size_t start,
                                                        const NameScan& n) noexcept {
    if (n.colon == npos) return npos;
    if (n.more_colons || n.colon == start || n.colon + 1 == n.end) return unsupported("bad qname");
    if (!is_local_start(p[n.colon + 1])) return malformed("bad qname");
    return n.colon;
}
// Value checks of one attribute; answers whether it needs decoding.
[[nodiscard]] XmlResult<bool> check_attr_value(const std::uint8_t* p, std::size_t n) noexcept;
// Character data longer than this reaches consumers in pieces of about this
// size (each an event of its own), checked one by one.
inline constexpr std::size_t kTextPiece = 65536;
// Character data checks; answers whether text_str must rewrite it.
[[nodiscard]] XmlResult<bool> check_text(const std::uint8_t* p, std::size_t n) noexcept;
[[nodiscard]] XmlResult<void> check_comment(const std::uint8_t* p, std::size_t n) noexcept;
}  // namespace detail

template <ByteSource Src>
class Reader {
public:
    template <class... A>
    explicit Reader(A&&... a) : win(std::forward<A>(a)...) {
        names_.reserve(256);
    }

    // The byte window. Fast paths read `buf`, `pos` and `filled()` directly
    // and, after consuming a construct themselves, set `pos`, `tag_start`
    // and `tag_end`.
    Window<Src> win;

    // The current event.
    std::uint32_t elem_ns = 0;
    Span elem_local;
    Span text_span;
    bool text_cdata = false;
    bool text_needs_work = false;

    [[nodiscard]] XmlResult<Event> next();

    // A start tag at the current position in the plain form of the fast
    // attribute scan (an unprefixed letters-only name, unprefixed attributes
    // with plain double-quoted values, no declarations), all in the window:
    // taken without the general machinery and leaving the reader exactly as
    // `next` would. False, with nothing changed, for anything else; the
    // caller then calls `next`.
    [[nodiscard]] bool fast_start_tag();
    // The same for "</name>" closing the innermost open element.
    [[nodiscard]] bool fast_end_tag();

    Event last_kind() const noexcept { return last_kind_; }
    std::span<const Attr> attrs() const noexcept { return attrs_; }
    std::size_t depth() const noexcept { return stack_.size(); }

    std::string_view view(Span s) const noexcept {
        return {reinterpret_cast<const char*>(win.buf.data()) + s.start, s.size()};
    }
    // Raw qualified name of the innermost open element.
    std::string_view open_name() const noexcept {
        const OpenElem& e = stack_.back();
        return {names_.data() + e.name_off, e.name_len};
    }

    // The current text with line ends normalised and references replaced:
    // the window's bytes, or the rewrite held in `scratch`.
    std::string_view text_str(std::string& scratch) const {
        std::string_view raw = view(text_span);
        return text_needs_work ? decode_text(raw, text_cdata, scratch) : raw;
    }
    std::string_view attr_value(const Attr& a, std::string& scratch) const {
        std::string_view raw = view(a.value);
        return a.needs_decode ? decode_attr(raw, scratch) : raw;
    }
    // The host's key of an attribute: "{uri}local", or the local name alone.
    void attr_key(const Attr& a, std::string& out) const {
        out.clear();
        if (a.ns != 0) {
            out.push_back('{');
            out.append(uris_.uri(static_cast<std::uint32_t>(a.ns)));
            out.push_back('}');
        }
        out.append(view(a.local));
    }
    std::string attr_key(const Attr& a) const {
        std::string s;
        attr_key(a, s);
        return s;
    }

    // Captures the raw bytes of the element of the current start event,
    // through its end tag. One capture at a time.
    void begin_capture() noexcept {
        win.capture_on = true;
        win.capture_start = win.tag_start;
    }
    std::string end_capture() {
        std::string out(reinterpret_cast<const char*>(win.buf.data()) + win.capture_start,
                        win.tag_end - win.capture_start);
        win.capture_on = false;
        return out;
    }

    NamespaceList in_scope_namespaces() const { return bindings_.in_scope(uris_); }
    std::uint64_t scope_token() const noexcept { return bindings_.scope_token(); }
    // in_scope_namespaces() as text appended to `out`, without allocating.
    void append_scope_key(std::string& out) const { bindings_.append_scope_key(uris_, out); }
    std::uint32_t default_ns() const noexcept { return bindings_.lookup({}); }
    const UriTable& uris() const noexcept { return uris_; }
    const std::string& uri(std::uint32_t id) const noexcept { return uris_.uri(id); }

private:
    using R = XmlResult<Event>;

    const std::uint8_t* b() const noexcept { return win.buf.data(); }
    std::size_t avail() const noexcept { return win.filled() - win.pos; }

    // Searches work on offsets from `pos`: compaction inside `more()` moves
    // `pos` and the bytes together, so offsets survive it while indices don't.

    // Offset of the first c at offset `rel` or later; npos at end of data.
    XmlResult<std::size_t> find_rel(std::size_t rel, std::uint8_t c) {
        for (;;) {
            std::size_t from = win.pos + rel, end = win.filled();
            std::size_t i = find_byte(b(), from, end, c);
            if (i < end) return i - win.pos;
            rel = std::max(rel, end - win.pos);
            if (!BR_TRY(win.more())) return detail::npos;
        }
    }

    // Offset of the delimiter `lead` + '>' whose first byte is at offset
    // `rel` or later. Searching for the closing '>' and looking back means a
    // resumed search never re-reads bytes it has passed.
    XmlResult<std::size_t> find_delim(std::size_t rel, const char* lead, std::size_t m) {
        std::size_t at = rel + m;
        for (;;) {
            std::size_t gt = BR_TRY(find_rel(at, '>'));
            if (gt == detail::npos) return detail::npos;
            if (std::memcmp(b() + win.pos + gt - m, lead, m) == 0) return gt - m;
            at = gt + 1;
        }
    }

    // Offset of the '>' closing a start tag; quoted runs may hold '>'.
    XmlResult<std::size_t> find_tag_end(std::size_t rel) {
        std::uint8_t quote = 0;
        for (;;) {
            std::size_t end = win.filled();
            std::size_t i = find_tag_close(b(), win.pos + rel, end, quote);
            if (i < end) return i - win.pos;
            rel = end - win.pos;
            if (!BR_TRY(win.more())) return detail::npos;
        }
    }

    void pop_elem() noexcept {
        const OpenElem e = stack_.back();
        names_.resize(e.name_off);
        bindings_.pop(e.nbind);
        stack_.pop_back();
        if (stack_.empty()) root_closed_ = true;
    }

    [[nodiscard]] XmlResult<void> prolog();
    [[nodiscard]] XmlResult<bool> text();
    std::size_t piece_end(std::size_t s, std::size_t n) const noexcept;
    [[nodiscard]] XmlResult<bool> markup_decl();
    [[nodiscard]] XmlResult<void> pi();
    [[nodiscard]] R start_tag();
    [[nodiscard]] R end_tag();
    [[nodiscard]] XmlResult<void> declare(std::string_view prefix, const Attr& a);
    bool seen_raw(Span name);
    bool expanded_duplicate();

    static constexpr std::size_t kLinearAttrs = 16;

    std::string names_;
    std::vector<OpenElem> stack_;
    UriTable uris_;
    Bindings bindings_;
    std::vector<Attr> attrs_;
    std::vector<Span> raw_names_;                            // every attribute name of the tag, declarations included
    std::unordered_set<std::string_view, UriHash> raw_set_;  // the same, for big tags
    std::unordered_set<std::string, UriHash, std::equal_to<>> expanded_set_;
    std::string scratch_;
    bool root_seen_ = false;
    bool root_closed_ = false;
    bool pending_end_ = false;
    Event last_kind_ = Event::EndOfDocument;
};

}  // namespace brindle

#include <xml/reader.ipp>
