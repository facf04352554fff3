// Template bodies of Reader; included from reader.hpp only.
#pragma once

namespace brindle {

template <ByteSource Src>
XmlResult<Event> Reader<Src>::next() {
    if (pending_end_) {
        pending_end_ = false;
        pop_elem();
        last_kind_ = Event::EndTag;
        return Event::EndTag;
    }
    if (!win.started) [[unlikely]]
        BR_TRY_VOID(prolog());
    for (;;) {
        if (win.pos == win.filled()) {
            if (BR_TRY(win.more())) continue;
            if (!stack_.empty()) return malformed("unclosed element");
            if (!root_seen_) return malformed("no element found");
            last_kind_ = Event::EndOfDocument;
            return Event::EndOfDocument;
        }
        if (b()[win.pos] != '<') {
            if (BR_TRY(text())) {
                last_kind_ = Event::CharData;
                return Event::CharData;
            }
            continue;
        }
        if (!BR_TRY(win.ensure(2))) return malformed("unclosed token");
        switch (b()[win.pos + 1]) {
            case '/':
                return end_tag();
            case '?':
                BR_TRY_VOID(pi());
                continue;
            case '!':
                if (BR_TRY(markup_decl())) {
                    last_kind_ = Event::CharData;
                    return Event::CharData;
                }
                continue;
            default:
                return start_tag();
        }
    }
}

template <ByteSource Src>
bool Reader<Src>::fast_start_tag() {
    if (pending_end_ || root_closed_ || !win.started) return false;
    const std::uint8_t* p = b();
    const std::size_t n = win.filled(), s = win.pos;
    if (n - s < 3 || p[s] != '<') return false;
    std::size_t i = s + 1;
    while (i < n && is_letter(p[i])) ++i;
    if (i == s + 1) return false;
    attrs_.clear();
    auto collect = [&](std::string_view name, std::size_t v0, std::size_t v1) {
        const auto n0 = static_cast<std::size_t>(reinterpret_cast<const std::uint8_t*>(name.data()) - p);
        const Span raw{n0, n0 + name.size()};
        attrs_.push_back(Attr{raw, raw, {v0, v1}, 0, false});
        return true;
    };
    const FastScan tag = fast_attrs(p, n, i, collect);
    if (tag.status == FastStatus::NotTaken) {
        attrs_.clear();
        return false;
    }
    const bool empty = tag.status == FastStatus::Empty;
    const std::uint32_t ns = bindings_.lookup({});
    elem_ns = ns;
    elem_local = Span{s + 1, i};
    win.tag_start = s;
    win.tag_end = tag.pos;
    stack_.push_back({static_cast<std::uint32_t>(names_.size()), static_cast<std::uint32_t>(i - s - 1), 0, ns});
    names_.append(reinterpret_cast<const char*>(p) + s + 1, i - s - 1);
    root_seen_ = true;
    win.pos = tag.pos;
    pending_end_ = empty;
    last_kind_ = empty ? Event::EmptyTag : Event::StartTag;
    return true;
}

template <ByteSource Src>
bool Reader<Src>::fast_end_tag() {
    if (pending_end_ || stack_.empty()) return false;
    const OpenElem& e = stack_.back();
    const std::uint8_t* p = b();
    const std::size_t s = win.pos, end = s + e.name_len + 3;
    if (end > win.filled() || p[s] != '<' || p[s + 1] != '/' || p[end - 1] != '>' ||
        std::memcmp(p + s + 2, names_.data() + e.name_off, e.name_len) != 0)
        return false;
    const std::string_view name(names_.data() + e.name_off, e.name_len);
    const std::size_t colon = name.find(':');
    elem_ns = e.ns;
    elem_local = Span{colon == std::string_view::npos ? s + 2 : s + 3 + colon, end - 1};
    win.tag_start = s;
    win.tag_end = end;
    win.pos = end;
    pop_elem();
    last_kind_ = Event::EndTag;
    return true;
}

template <ByteSource Src>
XmlResult<void> Reader<Src>::prolog() {
    BR_TRY_VOID(win.check_prolog_bytes());
    BR_TRY(win.ensure(6));
    if (avail() < 6) return {};
    const std::uint8_t* p = b() + win.pos;
    if (std::memcmp(p, "<?xml", 5) != 0 || !(is_ws(p[5]) || p[5] == '?')) return {};
    std::size_t d = BR_TRY(find_delim(5, "?", 1));
    if (d == detail::npos) return malformed("unclosed decl");
    BR_TRY_VOID(detail::check_xml_decl(b() + win.pos + 5, d - 5));
    win.pos += d + 2;
    return {};
}

// Character data up to the next '<'; answers whether it is an event. A run
// longer than a piece is checked and handed on in pieces, so that neither a
// long run nor an invalid byte far into it makes the window grow with it;
// consumers of text join the pieces of a run.
template <ByteSource Src>
XmlResult<bool> Reader<Src>::text() {
    std::size_t e;
    std::size_t rel = 0;  // bytes past pos already searched (an offset survives compaction)
    for (;;) {
        const std::size_t s = win.pos, n = win.filled();
        e = find_byte(b(), s + rel, n, '<');
        if (e < n) break;
        rel = n - s;
        if (n - s >= detail::kTextPiece) {
            e = piece_end(s, n);
            if (e > s) break;
        }
        if (!BR_TRY(win.more())) {
            e = win.filled();
            break;
        }
    }
    const std::size_t s = win.pos;
    const std::uint8_t* p = b();
    if (stack_.empty()) {
        for (std::size_t i = s; i < e; ++i)
            if (!is_ws(p[i])) return malformed("junk outside root");
        win.pos = e;
        return false;
    }
    text_needs_work = BR_TRY(detail::check_text(p + s, e - s));
    text_span = {s, e};
    text_cdata = false;
    win.pos = e;
    return true;
}

// Where a piece of the text run in [s, n) may end (n - s >= kTextPiece): not
// inside a UTF-8 sequence, a reference, a CR LF pair or a "]]>", each of
// which must be seen whole; s when there is no such place.
template <ByteSource Src>
std::size_t Reader<Src>::piece_end(std::size_t s, std::size_t n) const noexcept {
    const std::uint8_t* p = b();
    std::size_t c = n - 2;  // p[c + 1] is then always there to look at
    auto splits = [&](std::size_t k) {
        return (p[k] & 0xC0) == 0x80 || (p[k - 1] == '\r' && p[k] == '\n') ||
               (p[k - 1] == ']' && (p[k] == '>' || (p[k] == ']' && p[k + 1] == '>')));
    };
    while (c > s && splits(c)) --c;
    // A reference that has begun must end in the same piece.
    for (std::size_t k = c; k > s; --k) {
        if (p[k - 1] == ';') break;
        if (p[k - 1] == '&') {
            // One beginning the piece and running on past it is no reference
            // at all: left whole in the piece, the checks refuse it.
            if (k - 1 > s) c = k - 1;
            break;
        }
    }
    return c;
}

// "<!": comment (no event), CDATA section (an event), or refused.
template <ByteSource Src>
XmlResult<bool> Reader<Src>::markup_decl() {
    BR_TRY(win.ensure(9));
    std::size_t n = avail();
    if (n < 4) return malformed("bad markup declaration");
    if (std::memcmp(b() + win.pos, "<!--", 4) == 0) {
        std::size_t d = BR_TRY(find_delim(4, "--", 2));
        if (d == detail::npos) return malformed("unclosed comment");
        BR_TRY_VOID(detail::check_comment(b() + win.pos + 4, d - 4));
        win.pos += d + 3;
        return false;
    }
    if (n < 9) return malformed("bad markup declaration");
    const std::uint8_t* p = b() + win.pos;
    if (std::memcmp(p, "<![CDATA[", 9) == 0) {
        if (stack_.empty()) return malformed("cdata outside root");
        std::size_t d = BR_TRY(find_delim(9, "]]", 2));
        if (d == detail::npos) return malformed("unclosed cdata");
        std::size_t s = win.pos + 9, e = win.pos + d;
        BR_TRY_VOID(validate_chars(b() + s, e - s));
        text_span = {s, e};
        text_cdata = true;
        text_needs_work = find_byte(b(), s, e, '\r') < e;
        win.pos = e + 3;
        return true;
    }
    if (std::memcmp(p, "<!DOCTYPE", 9) == 0) return unsupported("doctype");
    return malformed("bad markup declaration");
}

template <ByteSource Src>
XmlResult<void> Reader<Src>::pi() {
    std::size_t d = BR_TRY(find_delim(2, "?", 1));
    if (d == detail::npos) return malformed("unclosed pi");
    BR_TRY_VOID(detail::check_pi(b() + win.pos + 2, d - 2));
    win.pos += d + 2;
    return {};
}

template <ByteSource Src>
XmlResult<void> Reader<Src>::declare(std::string_view prefix, const Attr& a) {
    std::string_view uri = attr_value(a, scratch_);
    if (prefix == "xml") {
        if (uri != kXmlNamespace) return malformed("xml prefix");
        bindings_.push(prefix, kNsXml);
        return {};
    }
    if (prefix == "xmlns") return malformed("xmlns prefix");
    if (uri == kXmlnsNamespace || uri == kXmlNamespace) return malformed("reserved namespace");
    if (!prefix.empty() && uri.empty()) return malformed("empty prefixed namespace");
    // The host's parser joins URI and local name with '}' and refuses a URI
    // that holds one.
    if (uri.find('}') != std::string_view::npos) return unsupported("} in namespace");
    bindings_.push(prefix, uris_.intern(uri));
    return {};
}

// Whether an attribute of the current tag already has this raw name. Small
// tags compare linearly; big ones switch to a hash set so that a hostile tag
// with many attributes costs linear, not quadratic, time.
template <ByteSource Src>
bool Reader<Src>::seen_raw(Span name) {
    std::string_view n = view(name);
    if (raw_names_.size() < kLinearAttrs) {
        for (const Span& r : raw_names_)
            if (view(r) == n) return true;
        raw_names_.push_back(name);
        return false;
    }
    if (raw_names_.size() == kLinearAttrs) {
        raw_set_.clear();
        for (const Span& r : raw_names_) raw_set_.insert(view(r));
        raw_names_.push_back(name);  // marks the set as in use
    }
    return !raw_set_.insert(n).second;
}

// Two prefixed attributes naming one (namespace, local name).
template <ByteSource Src>
bool Reader<Src>::expanded_duplicate() {
    if (attrs_.size() <= kLinearAttrs) {
        for (std::size_t x = 0; x < attrs_.size(); ++x) {
            const Attr& a = attrs_[x];
            if (a.ns == 0) continue;
            for (std::size_t y = 0; y < x; ++y) {
                const Attr& o = attrs_[y];
                if (o.ns == a.ns && view(o.local) == view(a.local)) return true;
            }
        }
        return false;
    }
    expanded_set_.clear();
    std::string key;
    for (const Attr& a : attrs_) {
        if (a.ns == 0) continue;
        key.assign(reinterpret_cast<const char*>(&a.ns), sizeof a.ns);
        key.append(view(a.local));
        if (!expanded_set_.insert(key).second) return true;
    }
    return false;
}

template <ByteSource Src>
XmlResult<Event> Reader<Src>::start_tag() {
    if (root_closed_) return malformed("junk after document element");
    std::size_t gt = BR_TRY(find_tag_end(1));
    if (gt == detail::npos) return malformed("unclosed tag");
    const std::uint8_t* p = b();
    const std::size_t s = win.pos, e = s + gt;
    const bool empty = gt >= 2 && p[e - 1] == '/';
    const std::size_t body_end = empty ? e - 1 : e;

    const detail::NameScan name = BR_TRY(detail::scan_name(p, s + 1, body_end));
    const std::size_t name_end = name.end;
    const std::size_t colon = BR_TRY(detail::check_qname(p, s + 1, name));

    attrs_.clear();
    raw_names_.clear();
    const std::size_t bind_base = bindings_.size();
    bool any_prefixed = false;
    std::size_t j = name_end;
    for (;;) {
        const std::size_t ws0 = j;
        while (j < body_end && is_ws(p[j])) ++j;
        if (j == body_end) break;
        if (j == ws0) return malformed("missing whitespace between attributes");
        const std::size_t n0 = j;
        const detail::NameScan aname = BR_TRY(detail::scan_name(p, j, body_end));
        const std::size_t n1 = aname.end;
        if (n1 == body_end) return malformed("expected =");
        j = n1;
        while (j < body_end && is_ws(p[j])) ++j;
        if (j == body_end || p[j] != '=') return malformed("expected =");
        ++j;
        while (j < body_end && is_ws(p[j])) ++j;
        if (j == body_end || (p[j] != '"' && p[j] != '\'')) return malformed("expected quote");
        const std::size_t v0 = j + 1;
        const std::size_t v1 = find_byte(p, v0, body_end, p[j]);
        if (v1 == body_end) return malformed("unterminated attribute");
        j = v1 + 1;
        const bool needs_decode = BR_TRY(detail::check_attr_value(p + v0, v1 - v0));
        if (seen_raw({n0, n1})) return malformed("duplicate attribute");
        const std::size_t acolon = BR_TRY(detail::check_qname(p, n0, aname));
        Attr a{{n0, n1}, {n0, n1}, {v0, v1}, -2, needs_decode};
        if (acolon != detail::npos) a.local = {acolon + 1, n1};
        std::string_view raw = view(a.raw);
        if (raw == "xmlns") {
            a.ns = -1;
            BR_TRY_VOID(declare({}, a));
        } else if (acolon == n0 + 5 && raw.starts_with("xmlns")) {
            a.ns = -1;
            BR_TRY_VOID(declare(view(a.local), a));
        } else {
            if (acolon != detail::npos) any_prefixed = true;
            attrs_.push_back(a);
        }
    }

    // The tag's own declarations are in scope for its names.
    std::string_view prefix = colon == detail::npos ? std::string_view{} : view({s + 1, colon});
    const std::uint32_t ns = bindings_.lookup(prefix);
    if (ns == kNsUnbound) return malformed("unbound prefix");
    if (any_prefixed) {
        for (Attr& a : attrs_) {
            if (a.local == a.raw) {
                a.ns = 0;
                continue;
            }
            std::uint32_t id = bindings_.lookup(view({a.raw.start, a.local.start - 1}));
            if (id == kNsUnbound || id == kNsNone) return malformed("unbound prefix");
            a.ns = static_cast<std::int32_t>(id);
        }
        if (expanded_duplicate()) return malformed("duplicate attribute");
    } else {
        for (Attr& a : attrs_) a.ns = 0;
    }

    elem_ns = ns;
    elem_local = colon == detail::npos ? Span{s + 1, name_end} : Span{colon + 1, name_end};
    win.tag_start = s;
    win.tag_end = e + 1;
    stack_.push_back({static_cast<std::uint32_t>(names_.size()), static_cast<std::uint32_t>(name_end - s - 1),
                      static_cast<std::uint32_t>(bindings_.size() - bind_base), ns});
    names_.append(reinterpret_cast<const char*>(p) + s + 1, name_end - s - 1);
    root_seen_ = true;
    win.pos = e + 1;
    pending_end_ = empty;
    last_kind_ = empty ? Event::EmptyTag : Event::StartTag;
    return last_kind_;
}

template <ByteSource Src>
XmlResult<Event> Reader<Src>::end_tag() {
    std::size_t gt = BR_TRY(find_rel(2, '>'));
    if (gt == detail::npos) return malformed("unclosed end tag");
    const std::uint8_t* p = b();
    const std::size_t s = win.pos, e = s + gt;
    const detail::NameScan name = BR_TRY(detail::scan_name(p, s + 2, e));
    const std::size_t name_end = name.end;
    const std::size_t colon = BR_TRY(detail::check_qname(p, s + 2, name));
    std::size_t j = name_end;
    while (j < e && is_ws(p[j])) ++j;
    if (j != e) return malformed("bad end tag");
    if (stack_.empty() || open_name() != view({s + 2, name_end})) return malformed("mismatched tag");
    elem_ns = stack_.back().ns;
    elem_local = colon == detail::npos ? Span{s + 2, name_end} : Span{colon + 1, name_end};
    win.tag_start = s;
    win.tag_end = e + 1;
    win.pos = e + 1;
    pop_elem();
    last_kind_ = Event::EndTag;
    return Event::EndTag;
}

}  // namespace brindle
