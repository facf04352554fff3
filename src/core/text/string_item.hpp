// String items (<si> of the shared-string table, <is> of an inline cell):
// either one <t> or a sequence of rich-text runs <r>. The engine returns the
// concatenated text only when it can vouch that the host would build the
// same value; otherwise it hands back the item's raw bytes and namespaces so
// that the host builds it.
#pragma once

#include <sheet/name_set.hpp>
#include <text/element_text.hpp>
#include <xml/namespaces.hpp>
#include <xml/reader.hpp>

#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace brindle {

// Per-call context of string items.
struct TextCtx {
    NameSet item_dangerous;  // children of an item that need the host
    NameSet run_dangerous;   // children of a run that need the host
    // Validator verdicts by the exact bytes of an <rPr> element and the
    // namespaces in scope (the validator is given both, and the same bytes
    // can mean different elements under other bindings): identical run
    // properties, which repeat throughout a workbook, are judged once.
    std::unordered_map<std::string, bool, UriHash, std::equal_to<>> verdicts;
    std::string key;  // reused for lookups
    // Reused per item: texts of the runs so far, and of the current run.
    std::string runs_text;
    std::string run_text;
    // Keep the bytes of every item with runs (item.bytes, as for the host).
    bool capture_runs = false;
};

struct TextItem {
    bool deferred = false;
    bool has_runs = false;     // the item has at least one <r>
    std::string text;          // the value, when not deferred
    std::string bytes;         // the item element, start tag to end tag, when deferred
    NamespaceList namespaces;  // bindings of the item's ancestors, when deferred
};

namespace detail {

inline bool has_plain_attr(std::span<const Attr> attrs) noexcept {
    for (const Attr& a : attrs)
        if (a.ns == 0) return true;
    return false;
}

// Closes the item's capture on every way out.
template <ByteSource Src>
struct CaptureGuard {
    Reader<Src>& r;
    ~CaptureGuard() { r.win.capture_on = false; }
};

}  // namespace detail

// Reads one string item from its start event through its end into `item`,
// whose buffers are reused. `validate` is called as
// validate(rpr_bytes, namespaces) -> XmlResult<bool>; its error is held back
// until the item has been read to its end.
template <ByteSource Src, class Forbid, class Validator>
[[nodiscard]] XmlResult<void> parse_text_into(Reader<Src>& r, TextCtx& ctx, Forbid&& forbid, Validator&& validate,
                                              TextItem& item) {
    item.deferred = false;
    item.has_runs = false;
    item.text.clear();
    item.bytes.clear();
    item.namespaces.clear();
    r.begin_capture();
    detail::CaptureGuard<Src> guard{r};
    bool host = detail::has_plain_attr(r.attrs());
    const std::size_t depth = r.depth();

    auto finish_deferred = [&]() {
        item.deferred = true;
        item.bytes = r.end_capture();
        item.namespaces = r.in_scope_namespaces();
    };

    if (r.last_kind() == Event::EmptyTag) {
        BR_TRY(r.next());
        if (host) finish_deferred();
        return {};
    }

    // The item's own <t> goes straight into item.text; run texts collect
    // apart, because the item text comes first whatever the order.
    bool item_text = false;
    ctx.runs_text.clear();
    std::optional<XmlError> pending;

    for (;;) {
        Event ev = BR_TRY(r.next());
        if (ev == Event::EndOfDocument) return detail::unexpected_eof();
        if (ev == Event::CharData) continue;
        if (ev == Event::EndTag) {
            if (r.depth() < depth) break;
            continue;
        }
        // A direct child: every function below consumes it through its end.
        if (forbid(r.elem_ns, r.view(r.elem_local))) return detail::nested_dispatch();
        std::string_view name = r.view(r.elem_local);
        if (name == "phoneticPr" || name == "rPh") {
            BR_TRY_VOID(skip_checked(r, forbid));
        } else if (name == "t") {
            item.text.clear();  // a later <t> replaces an earlier one
            item_text = BR_TRY(element_text_into(r, item.text, forbid));
        } else if (name == "r") {
            item.has_runs = true;
            if (detail::has_plain_attr(r.attrs())) host = true;
            if (r.last_kind() == Event::EmptyTag) {
                BR_TRY(r.next());
                continue;
            }
            const std::size_t run_depth = r.depth();
            bool run_text = false;
            for (;;) {
                Event rev = BR_TRY(r.next());
                if (rev == Event::EndOfDocument) return detail::unexpected_eof();
                if (rev == Event::CharData) continue;
                if (rev == Event::EndTag) {
                    if (r.depth() < run_depth) break;
                    continue;
                }
                if (forbid(r.elem_ns, r.view(r.elem_local))) return detail::nested_dispatch();
                std::string_view child = r.view(r.elem_local);
                if (child == "rPr") {
                    // Offsets from the capture start survive compaction; the
                    // open capture keeps the bytes in the window.
                    const std::size_t from = r.win.tag_start - r.win.capture_start;
                    BR_TRY_VOID(skip_checked(r, forbid));
                    if (host || pending) continue;
                    std::string_view rpr(reinterpret_cast<const char*>(r.win.buf.data()) + r.win.capture_start + from,
                                         r.win.tag_end - r.win.capture_start - from);
                    ctx.key.assign(rpr);
                    r.append_scope_key(ctx.key);
                    bool ok;
                    if (auto it = ctx.verdicts.find(ctx.key); it != ctx.verdicts.end()) {
                        ok = it->second;
                    } else {
                        auto verdict = validate(rpr, r.in_scope_namespaces());
                        if (!verdict) {
                            pending = verdict.error();
                            continue;
                        }
                        ok = *verdict;
                        ctx.verdicts.emplace(ctx.key, ok);
                    }
                    if (!ok) host = true;
                } else if (child == "t") {
                    ctx.run_text.clear();
                    run_text = BR_TRY(element_text_into(r, ctx.run_text, forbid));
                } else {
                    if (ctx.run_dangerous.contains(child)) host = true;
                    BR_TRY_VOID(skip_checked(r, forbid));
                }
            }
            if (run_text) ctx.runs_text += ctx.run_text;
        } else {
            if (ctx.item_dangerous.contains(name)) host = true;
            BR_TRY_VOID(skip_checked(r, forbid));
        }
    }

    if (pending) return std::unexpected(*pending);
    if (host || (ctx.capture_runs && item.has_runs)) {
        item.text.clear();
        finish_deferred();
        return {};
    }
    if (!item_text) item.text.clear();
    item.text += ctx.runs_text;
    return {};
}

template <ByteSource Src, class Forbid, class Validator>
[[nodiscard]] XmlResult<TextItem> parse_text(Reader<Src>& r, TextCtx& ctx, Forbid&& forbid, Validator&& validate) {
    TextItem item;
    BR_TRY_VOID(parse_text_into(r, ctx, forbid, validate, item));
    return item;
}

}  // namespace brindle
