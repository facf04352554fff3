#include <xml/namespaces.hpp>

#include <gtest/gtest.h>

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
