// Fuzzes the XML reader over an in-memory source. Beyond crashes and
// sanitizer reports it checks the reader's own promises: the event stream
// does not depend on how the input is chunked, captures return exactly the
// element's bytes, and the fast attribute scan agrees with the general path
// whenever it takes a tag.
#include <prescan/dimension.hpp>
#include <text/element_text.hpp>
#include <text/string_item.hpp>
#include <xml/fast_attrs.hpp>
#include <xml/reader.hpp>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

using namespace brindle;

namespace {

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "check failed: %s\n", what);
    std::abort();
}

// The first matching attribute of the general path, by unprefixed name.
const Attr* find_attr(const Reader<MemorySource>& r, std::string_view name) {
    for (const Attr& a : r.attrs())
        if (a.ns == 0 && r.view(a.local) == name) return &a;
    return nullptr;
}

void check_fast_scan(const Reader<MemorySource>& r, Event ev) {
    const std::uint8_t* p = r.win.buf.data();
    std::size_t start = r.win.tag_start + 1 + r.open_name().size();
    std::uint8_t c = p[start];
    if (c != ' ' && c != '/' && c != '>') return;
    CellTagCollector cell;
    FastScan f = fast_attrs(r.win, start, cell);
    if (f.status == FastStatus::NotTaken) return;
    if (f.pos != r.win.tag_end) fail("fast scan end");
    if ((f.status == FastStatus::Empty) != (ev == Event::EmptyTag)) fail("fast scan kind");
    const FastValue* slots[] = {&cell.r, &cell.s, &cell.t};
    const char* names[] = {"r", "s", "t"};
    for (int k = 0; k < 3; ++k) {
        const Attr* a = find_attr(r, names[k]);
        if (!a != !slots[k]->present) fail("fast scan presence");
        if (a && !(a->value == slots[k]->span)) fail("fast scan value");
    }
}

// Returns the event stream as text; `doc` is used to check captures.
std::string run(std::string_view doc, std::size_t chunk, bool checks) {
    Reader<MemorySource> r(doc.data(), doc.size(), chunk);
    std::string out, scratch, key;
    std::uint64_t capture_abs = 0;
    std::size_t capture_depth = 0;
    for (;;) {
        auto ev = r.next();
        if (!ev) {
            out += ev.error().kind == XmlErrorKind::Malformed ? "!M " : "!U ";
            out += ev.error().reason;
            return out;
        }
        switch (*ev) {
            case Event::StartTag:
            case Event::EmptyTag:
                out += *ev == Event::StartTag ? "<" : "<>";
                out += std::to_string(r.elem_ns) + ":" + std::string(r.view(r.elem_local));
                for (const Attr& a : r.attrs()) {
                    r.attr_key(a, key);
                    out += " " + key + "=" + std::string(r.attr_value(a, scratch));
                }
                for (auto& [prefix, uri] : r.in_scope_namespaces()) out += " ~" + prefix + "=" + uri;
                if (checks) {
                    check_fast_scan(r, *ev);
                    if (r.depth() == 2 && !r.win.capture_on) {
                        r.begin_capture();
                        capture_abs = r.win.base + r.win.tag_start;
                        capture_depth = r.depth();
                    }
                }
                break;
            case Event::EndTag:
                out += ">" + std::to_string(r.elem_ns) + ":" + std::string(r.view(r.elem_local));
                if (checks && r.win.capture_on && r.depth() == capture_depth - 1) {
                    std::string got = r.end_capture();
                    std::uint64_t end_abs = r.win.base + r.win.tag_end;
                    if (got != doc.substr(capture_abs, end_abs - capture_abs)) fail("capture bytes");
                }
                break;
            case Event::CharData:
                out += r.text_cdata ? "[" : "\"";
                out += r.text_str(scratch);
                break;
            case Event::EndOfDocument:
                return out + "$";
        }
        out += "\n";
    }
}

// Reads the root's children as string items or element texts, in turn.
std::string run_text(std::string_view doc, std::size_t chunk) {
    Reader<MemorySource> r(doc.data(), doc.size(), chunk);
    TextCtx ctx;
    ctx.item_dangerous.insert("extLst");
    ctx.run_dangerous.insert("x");
    auto validate = [](std::string_view rpr, const NamespaceList& ns) -> XmlResult<bool> {
        if (rpr.find("boom") != std::string_view::npos) return std::unexpected(XmlError::source());
        return rpr.size() % 3 != 0 || ns.size() > 1;
    };
    std::string out;
    auto err = [&](const XmlError& e) { return out + "!" + std::to_string(static_cast<int>(e.kind)) + e.reason; };
    auto ev = r.next();
    if (!ev) return err(ev.error());
    for (int child = 0;; ++child) {
        ev = r.next();
        if (!ev) return err(ev.error());
        if (*ev == Event::EndOfDocument) return out + "$";
        if (*ev == Event::CharData || *ev == Event::EndTag) continue;
        switch (child % 3) {
            case 0: {
                auto it = parse_text(r, ctx, forbid_si, validate);
                if (!it) return err(it.error());
                if (r.win.capture_on) fail("capture left open");
                out += it->deferred ? "D" + it->bytes : "P" + it->text;
                for (auto& [prefix, uri] : it->namespaces) out += " " + prefix + "=" + uri;
                break;
            }
            case 1: {
                auto t = element_text_checked(r, forbid_si);
                if (!t) return err(t.error());
                out += *t ? "T" + **t : "-";
                break;
            }
            default: {
                auto k = skip_checked(r, forbid_si);
                if (!k) return err(k.error());
                out += "S";
            }
        }
        out += "\n";
    }
}

// The dimension lookup: its snippet must be the document's own bytes.
std::string run_dimension(std::string_view doc, std::size_t chunk) {
    Reader<MemorySource> r(doc.data(), doc.size(), chunk);
    auto hit = find_dimension_in(r);
    if (!hit) return "!" + std::to_string(static_cast<int>(hit.error().kind)) + hit.error().reason;
    if (!*hit) return "none";
    if (r.win.capture_on) fail("dimension capture left open");
    const std::string& s = (*hit)->snippet;
    const std::uint64_t end = r.win.base + r.win.tag_end;
    if (end < s.size() || doc.substr(end - s.size(), s.size()) != s) fail("dimension bytes");
    std::string out = s;
    for (auto& [prefix, uri] : (*hit)->namespaces) out += " " + prefix + "=" + uri;
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    static const std::size_t kChunks[] = {1, 2, 3, 7, 64, 4096, 65535, 65536};
    std::uint8_t mode = data[0];
    std::string doc(reinterpret_cast<const char*>(data) + 1, size - 1);
    if (mode & 0x80) {
        // Push the document past the window's first chunk so that compaction
        // and reads of 65,536 bytes run under the interesting part.
        doc.insert(0, "<!--" + std::string(70000, 'x') + "-->");
    }
    std::size_t chunk = kChunks[mode & 7];
    if ((mode & 0x80) && chunk < 64) chunk = 64;
    std::string whole = run(doc, doc.size() + 1, false);
    std::string split = run(doc, chunk, true);
    if (whole != split) fail("chunking changed the events");
    if (run_text(doc, doc.size() + 1) != run_text(doc, chunk)) fail("chunking changed the texts");
    if (run_dimension(doc, doc.size() + 1) != run_dimension(doc, chunk)) fail("chunking changed the dimension");
    return 0;
}
