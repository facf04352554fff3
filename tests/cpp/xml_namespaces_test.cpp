#include <xml/namespaces.hpp>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

using namespace brindle;

TEST(XmlNamespaces, FixedIdsAndInterning) {
    UriTable t;
    EXPECT_EQ(t.uri(kNsNone), "");
    EXPECT_EQ(t.uri(kNsXml).size(), 36u);
    EXPECT_EQ(t.uri(kNsMain).size(), 57u);
    EXPECT_EQ(t.intern(kMainNamespace), kNsMain);
    EXPECT_EQ(t.intern("urn:a"), 3u);
    EXPECT_EQ(t.intern("urn:b"), 4u);
    EXPECT_EQ(t.intern("urn:a"), 3u);
    // Many URIs keep their ids while the table grows and rehashes.
    for (int i = 0; i < 1000; ++i) t.intern("urn:x" + std::to_string(i));
    EXPECT_EQ(t.intern("urn:a"), 3u);
    EXPECT_EQ(t.intern("urn:x999"), 1004u);
    EXPECT_EQ(t.uri(1004), "urn:x999");
}

TEST(XmlNamespaces, LookupAndScope) {
    UriTable t;
    Bindings b;
    EXPECT_EQ(b.lookup(""), kNsNone);
    EXPECT_EQ(b.lookup("xml"), kNsXml);
    EXPECT_EQ(b.lookup("p"), kNsUnbound);
    b.push("", t.intern("u1"));
    b.push("p", t.intern("u2"));
    b.push("", t.intern("u3"));
    EXPECT_EQ(b.lookup(""), 5u);
    EXPECT_EQ(b.lookup("p"), 4u);
    EXPECT_EQ(b.in_scope(t), (NamespaceList{{"", "u3"}, {"p", "u2"}}));
    b.pop(1);
    EXPECT_EQ(b.lookup(""), 3u);
    b.pop(2);
    EXPECT_EQ(b.lookup("p"), kNsUnbound);
    EXPECT_TRUE(b.in_scope(t).empty());
}

TEST(XmlNamespaces, DeepStacksMatchAWalk) {
    // Past a handful of bindings lookups go through the per-prefix index;
    // it must answer what a walk from the top answers, through pops too.
    UriTable t;
    Bindings b;
    std::vector<std::pair<std::string, std::uint32_t>> model;
    auto walk = [&](std::string_view p) -> std::uint32_t {
        if (p == "xml") return kNsXml;
        for (std::size_t i = model.size(); i-- > 0;)
            if (model[i].first == p) return model[i].second;
        return p.empty() ? kNsNone : kNsUnbound;
    };
    const char* prefixes[] = {"", "p", "q", "p", "", "r", "p"};
    for (int round = 0; round < 3; ++round) {
        for (int i = 0; i < 40; ++i) {
            std::string p = prefixes[i % 7];
            std::uint32_t id = t.intern("u" + std::to_string(i));
            b.push(p, id);
            model.emplace_back(p, id);
            for (const char* q : {"", "p", "q", "r", "s", "xml"}) ASSERT_EQ(b.lookup(q), walk(q)) << i << q;
        }
        NamespaceList want;
        for (auto& [p, id] : model) {
            auto it = std::find_if(want.begin(), want.end(), [&](auto& e) { return e.first == p; });
            if (it != want.end()) it->second = t.uri(id);
            else want.emplace_back(p, t.uri(id));
        }
        EXPECT_EQ(b.in_scope(t), want);
        b.pop(25);
        model.resize(model.size() - 25);
        for (const char* q : {"", "p", "q", "r", "s"}) ASSERT_EQ(b.lookup(q), walk(q)) << q;
    }
}
