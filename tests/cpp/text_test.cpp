#include "xml_event_stream.hpp"

#include <text/element_text.hpp>
#include <text/string_item.hpp>

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace brindle;
using brindle::testing::error_text;

namespace {

constexpr std::size_t kWhole = static_cast<std::size_t>(-1) / 2;
const char* kMain = "http://schemas.openxmlformats.org/spreadsheetml/2006/main";

// Runs `read` on the first element inside the root and renders its outcome,
// then checks that it consumed exactly through the element's end.
template <class Read>
std::string on_first_child(const std::string& doc, std::size_t chunk, Read read) {
    Reader<MemorySource> r(doc.data(), doc.size(), chunk);
    auto ev = r.next();
    if (!ev) return error_text(ev.error());
    do {
        ev = r.next();
        if (!ev) return error_text(ev.error());
    } while (*ev == Event::CharData);
    std::size_t depth = r.depth();
    std::string out = read(r);
    if (out.starts_with("malformed") || out.starts_with("unsupported") || out == "source") return out;
    if (r.depth() != depth - 1) return out + " (consumed to depth " + std::to_string(r.depth()) + ")";
    return out;
}

std::string text_of(const std::string& body, std::size_t chunk) {
    std::string doc = "<root xmlns:m='" + std::string(kMain) + "'>" + body + "</root>";
    return on_first_child(doc, chunk, [](Reader<MemorySource>& r) -> std::string {
        auto t = element_text_checked(r, forbid_si);
        if (!t) return error_text(t.error());
        return *t ? "'" + **t + "'" : "absent";
    });
}

}  // namespace

TEST(ElementText, FirstCharacterDataOnly) {
    struct {
        const char* body;
        const char* out;
    } cases[] = {
        {"<t>a<b/>c</t>", "'a'"},
        {"<t/>", "absent"},
        {"<t></t>", "absent"},
        {"<t><b/>x</t>", "absent"},
        {"<t>a&amp;b<![CDATA[<c>]]>\r\nd<!-- x -->e</t>", "'a&b<c>\nde'"},
        {"<t><![CDATA[]]></t>", "''"},
        {"<t>x<b>y<c/></b>z</t>", "'x'"},
        {"<t>x<m:si/></t>", "unsupported: nested element handled by dispatcher"},
        {"<t><b><c><m:si>y</m:si></c></b></t>", "unsupported: nested element handled by dispatcher"},
        {"<t><si/></t>", "absent"},
        {"<t>x", "malformed: mismatched tag"},
    };
    for (auto& c : cases) {
        for (std::size_t chunk : {std::size_t{1}, kWhole}) {
            SCOPED_TRACE(std::string(c.body) + " chunk " + std::to_string(chunk));
            EXPECT_EQ(text_of(c.body, chunk), c.out);
        }
    }
}

TEST(ElementText, SkipChecked) {
    auto skip = [](const std::string& body) {
        std::string doc = "<root xmlns='" + std::string(kMain) + "'>" + body + "</root>";
        return on_first_child(doc, 1, [](Reader<MemorySource>& r) -> std::string {
            auto s = skip_checked(r, forbid_si);
            return s ? "after" : error_text(s.error());
        });
    };
    EXPECT_EQ(skip("<x/>"), "after");
    EXPECT_EQ(skip("<x>t<y><z/></y>u</x>"), "after");
    EXPECT_EQ(skip("<x><y><si/></y></x>"), "unsupported: nested element handled by dispatcher");
    EXPECT_EQ(skip("<x><si xmlns=''/></x>"), "after");
}

namespace {

struct Verdicts {
    int calls = 0;
    std::vector<NamespaceList> seen;
    // <rPr> holding "bad" is refused, "boom" fails as the host would.
    XmlResult<bool> operator()(std::string_view rpr, const NamespaceList& ns) {
        ++calls;
        seen.push_back(ns);
        if (rpr.find("boom") != std::string_view::npos) return std::unexpected(XmlError::source());
        return rpr.find("bad") == std::string_view::npos;
    }
};

std::string item_of(const std::string& body, std::size_t chunk, TextCtx& ctx, Verdicts& v,
                    const std::string& root_attrs = "") {
    std::string doc = "<sst xmlns='" + std::string(kMain) + "'" + root_attrs + ">" + body + "</sst>";
    return on_first_child(doc, chunk, [&](Reader<MemorySource>& r) -> std::string {
        auto it = parse_text(r, ctx, forbid_si, v);
        if (!it) return error_text(it.error());
        if (r.win.capture_on) return "capture left open";
        if (!it->deferred) return "plain '" + it->text + "'";
        std::string ns;
        for (auto& [p, u] : it->namespaces) ns += " " + p + "=" + u;
        return "defer " + it->bytes + ns;
    });
}

}  // namespace

TEST(StringItem, PlainOrDeferred) {
    const std::string m = std::string(" =") + kMain;
    struct {
        const char* body;
        std::string out;
    } cases[] = {
        {"<si><t>x</t></si>", "plain 'x'"},
        {"<si/>", "plain ''"},
        {"<si></si>", "plain ''"},
        {"<si>ignored<t>a</t> </si>", "plain 'a'"},
        {"<si><t>a</t><t>b</t></si>", "plain 'b'"},
        {"<si><r><t>a</t></r><r><t>b</t></r></si>", "plain 'ab'"},
        {"<si><r><t>a</t></r><t>x</t><r/><r><rPr/></r><r><t>b</t><t>c</t></r></si>", "plain 'xac'"},
        {"<si><r><rPr><b/></rPr><t>a</t></r><r><rPr><b/></rPr><t>b</t></r></si>", "plain 'ab'"},
        {"<si><r><rPr><bad/></rPr><t>a</t></r></si>", "defer <si><r><rPr><bad/></rPr><t>a</t></r></si>" + m},
        {"<si><t>a</t><rPh sb='0'><t>b</t></rPh><phoneticPr fontId='1'/></si>", "plain 'a'"},
        {"<si x='1'><t>a</t></si>", "defer <si x='1'><t>a</t></si>" + m},
        {"<si x='1'/>", "defer <si x='1'/>" + m},
        {"<si><r x='1'><t>a</t></r></si>", "defer <si><r x='1'><t>a</t></r></si>" + m},
        {"<si><r x='1'/></si>", "defer <si><r x='1'/></si>" + m},
        {"<si xmlns:p='u' p:x='1'><t>a</t></si>", "plain 'a'"},
        {"<si><t>a</t><extLst/></si>", "defer <si><t>a</t><extLst/></si>" + m},
        {"<si><t>a</t><other><extLst/></other></si>", "plain 'a'"},
        {"<si><r><t>a</t><danger/></r></si>", "defer <si><r><t>a</t><danger/></r></si>" + m},
        {"<si><t>a<si/></t></si>", "unsupported: nested element handled by dispatcher"},
        {"<si><other><si/></other></si>", "unsupported: nested element handled by dispatcher"},
        {"<si><si/></si>", "unsupported: nested element handled by dispatcher"},
        {"<si><r><rPr><si/></rPr></r></si>", "unsupported: nested element handled by dispatcher"},
        {"<si><r><rPr><boom/></rPr><t>a</t></r><r><rPr><bad/></rPr></r></si>", "source"},
        // The rest of the item is read before the held error is raised.
        {"<si><r><rPr><boom/></rPr></r></x></si>", "malformed: mismatched tag"},
        {"<si><r><rPr><bad/></rPr></r><r><rPr><boom/></rPr></r></si>",
         "defer <si><r><rPr><bad/></rPr></r><r><rPr><boom/></rPr></r></si>" + m},
    };
    for (auto& c : cases) {
        for (std::size_t chunk : {std::size_t{1}, std::size_t{7}, kWhole}) {
            SCOPED_TRACE(std::string(c.body) + " chunk " + std::to_string(chunk));
            TextCtx ctx;
            ctx.item_dangerous.insert("extLst");
            ctx.run_dangerous.insert("danger");
            Verdicts v;
            EXPECT_EQ(item_of(c.body, chunk, ctx, v), c.out);
        }
    }
}

TEST(StringItem, ValidatorSeesScopeAndIsCached) {
    TextCtx ctx;
    Verdicts v;
    std::string body = "<si xmlns:x='urn:x'><r><rPr><b/></rPr><t>a</t></r><r><rPr><b/></rPr></r><r><rPr><i/></rPr></r></si>";
    EXPECT_EQ(item_of(body, 7, ctx, v, " xmlns:w='urn:w'"), "plain 'a'");
    EXPECT_EQ(v.calls, 2);
    ASSERT_FALSE(v.seen.empty());
    EXPECT_EQ(v.seen[0], (NamespaceList{{"", kMain}, {"w", "urn:w"}, {"x", "urn:x"}}));
    // A second item with the same run properties asks no one.
    EXPECT_EQ(item_of(body, 7, ctx, v, " xmlns:w='urn:w'"), "plain 'a'");
    EXPECT_EQ(v.calls, 2);
}

TEST(StringItem, DeferredItemListsAncestorNamespaces) {
    TextCtx ctx;
    Verdicts v;
    EXPECT_EQ(item_of("<si xmlns:y='v'><r a='1'><t>z</t></r></si>", 1, ctx, v, " xmlns:x='u'"),
              std::string("defer <si xmlns:y='v'><r a='1'><t>z</t></r></si> =") + kMain + " x=u");
}

TEST(StringItem, LargeItemKeepsItsBytes) {
    // The item spans many reads and compactions; both the deferred bytes and
    // the run properties handed to the validator must be exact.
    std::string runs;
    for (int i = 0; i < 5000; ++i) runs += "<r><rPr><sz val='" + std::to_string(i % 7) + "'/></rPr><t>run " + std::to_string(i) + "</t></r>";
    std::string item = "<si>" + runs + "<r><rPr><bad/></rPr></r></si>";
    std::string pad;
    for (int i = 0; i < 20000; ++i) pad += "<si><t>p</t></si>";
    std::string doc = "<sst xmlns='" + std::string(kMain) + "'>" + pad + item + "</sst>";
    for (std::size_t chunk : {std::size_t{7}, std::size_t{65536}}) {
        Reader<MemorySource> r(doc.data(), doc.size(), chunk);
        TextCtx ctx;
        Verdicts v;
        ASSERT_EQ(*r.next(), Event::StartTag);
        TextItem last;
        int items = 0;
        for (;;) {
            Event ev = *r.next();
            if (ev == Event::EndTag) break;
            ASSERT_EQ(ev, Event::StartTag);
            auto it = parse_text(r, ctx, forbid_si, v);
            ASSERT_TRUE(it.has_value());
            last = std::move(*it);
            ++items;
        }
        EXPECT_EQ(items, 20001);
        EXPECT_TRUE(last.deferred);
        EXPECT_EQ(last.bytes, item);
        EXPECT_EQ(v.calls, 8);  // seven sizes and the refused one
        EXPECT_GT(r.win.base, 0u);
    }
}
