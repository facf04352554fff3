// The raw <sheetData> scan over memory, at every chunk size that splits tags.
#include <prescan/raw_scan.hpp>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace brindle::prescan {
namespace {

struct TestSink {
    std::vector<std::pair<std::int64_t, std::vector<std::pair<std::string, std::string>>>> rows;
    std::vector<std::string> asked;
    XmlResult<std::int64_t> row_index(std::string_view t) {
        asked.emplace_back(t);
        return std::int64_t(100 + asked.size());
    }
    XmlResult<void> row_attrs(std::int64_t row, std::span<const RowAttr> attrs) {
        auto& r = rows.emplace_back(row, std::vector<std::pair<std::string, std::string>>{});
        for (const RowAttr& a : attrs) r.second.emplace_back(a.key, a.value);
        return {};
    }
};

struct Outcome {
    XmlResult<void> status;
    TestSink sink;
    std::vector<Found> found;
};

Outcome scan(const std::string& body, bool want_rows, std::vector<Position> wanted_at, std::size_t chunk) {
    const std::string doc =
        "<worksheet xmlns='http://schemas.openxmlformats.org/spreadsheetml/2006/main' "
        "xmlns:k='urn:k'><sheetData>" +
        body + "</sheetData><tail/></worksheet>";
    Reader<MemorySource> r(doc.data(), doc.size(), chunk);
    Wanted wanted;
    for (Position p : wanted_at) wanted.add(p);
    Outcome out{{}, {}, {}};
    RawScan<MemorySource, TestSink> raw(want_rows, wanted, out.sink);
    for (;;) {
        auto ev = r.next();
        if (!ev) return {std::unexpected(ev.error()), out.sink, {}};
        if (*ev == Event::EndOfDocument) break;
        if (*ev == Event::StartTag && r.view(r.elem_local) == "sheetData") {
            auto done = raw.run(r.win, r.in_scope_namespaces());
            if (!done) return {done, out.sink, {}};
            auto end = r.next();
            EXPECT_TRUE(end && *end == Event::EndTag && r.view(r.elem_local) == "sheetData");
        }
    }
    out.found = raw.take_found();
    return out;
}

class RawScanChunks : public ::testing::TestWithParam<std::size_t> {};

TEST_P(RawScanChunks, CountsRowsAndCellsLikeAParser) {
    const std::string body =
        "<row r='3' spans='1:2'><c r='B3' s='7'><v>1</v></c><c/></row>"
        "<row ht='2' k:x='a&amp;b'><c s='&#52;'/><x><c s='9'/></x></row>"
        "<other><row r='50' ht='1'/></other>"
        "<row r=\"7\"><c r=\"A7\"><is><t>&lt;row r='8'&gt;</t></is></c><c r=\"C7\" s=\"5\"/></row>"
        "<row r='x1' a='1'/>";
    auto out = scan(body, true, {{3, 2}, {3, 3}, {4, 1}, {4, 2}, {7, 3}, {50, 1}}, GetParam());
    ASSERT_TRUE(out.status);
    ASSERT_EQ(out.sink.rows.size(), 2u);
    EXPECT_EQ(out.sink.rows[0].first, 4);
    EXPECT_EQ(out.sink.rows[0].second,
              (std::vector<std::pair<std::string, std::string>>{{"ht", "2"}, {"{urn:k}x", "a&b"}}));
    EXPECT_EQ(out.sink.rows[1].first, 101);
    EXPECT_EQ(out.sink.asked, std::vector<std::string>{"x1"});
    ASSERT_EQ(out.found.size(), 4u);
    EXPECT_EQ(out.found[0].pos, (Position{3, 2}));
    EXPECT_EQ(out.found[0].s, "7");
    EXPECT_EQ(out.found[1].pos, (Position{3, 3}));
    EXPECT_FALSE(out.found[1].s);
    EXPECT_EQ(out.found[2].pos, (Position{4, 1}));
    EXPECT_EQ(out.found[2].s, "4");
    EXPECT_EQ(out.found[3].pos, (Position{7, 3}));
}

TEST_P(RawScanChunks, RefusesWhatAByteSearchCouldMisread) {
    const struct {
        const char* body;
        bool want_rows;
        XmlError error;
    } cases[] = {
        {"<row/><!--</sheetData>-->", false, XmlError::unsupported("comment/cdata/pi in sheetData")},
        {"<row><c><v><![CDATA[x]]></v></c></row>", true, XmlError::unsupported("comment/cdata/pi in sheetData")},
        {"<k:row r='1'/>", true, XmlError::unsupported("prefixed element in sheetData")},
        {"<row r='1' xmlns='urn:o'/>", false, XmlError::unsupported("namespace declaration")},
        {"<row/><row r='1'></c></row>", true, XmlError::malformed("mismatched tag")},
        {"<row r='1' z:a='1'/>", true, XmlError::malformed("unbound prefix")},
        {"<row r='1'><c r='1A'/></row>", false, XmlError::unsupported("coordinate")},
    };
    for (const auto& c : cases) {
        auto out = scan(c.body, c.want_rows, {{1, 1}}, GetParam());
        ASSERT_FALSE(out.status) << c.body;
        EXPECT_EQ(out.status.error(), c.error) << c.body << ": " << out.status.error().reason;
    }
}

TEST_P(RawScanChunks, EndsOfInput) {
    for (bool counting : {false, true}) {
        const std::string doc =
            "<worksheet xmlns='http://schemas.openxmlformats.org/spreadsheetml/2006/main'>"
            "<sheetData><row r='1'><c r='A1'";
        for (std::size_t cut : {doc.size(), doc.size() - 5}) {
            Reader<MemorySource> r(doc.data(), cut, GetParam());
            Wanted wanted;
            if (counting) wanted.add({1, 1});
            TestSink sink;
            RawScan<MemorySource, TestSink> raw(counting, wanted, sink);
            auto ev = r.next();
            ev = r.next();
            ASSERT_TRUE(ev && *ev == Event::StartTag);
            auto done = raw.run(r.win, {});
            ASSERT_FALSE(done);
            const bool in_tag = counting;
            EXPECT_EQ(done.error(), XmlError::malformed(in_tag ? "eof in tag" : "eof in element"))
                << done.error().reason << " cut " << cut;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Chunks, RawScanChunks, ::testing::Values(1, 2, 3, 7, 64, 65536));

}  // namespace
}  // namespace brindle::prescan

namespace brindle::prescan {
namespace {

// The vector searches against plain loops, on random text over the bytes
// that matter to them.
TEST(PrescanSearch, AgreesWithPlainLoops) {
    std::uint32_t seed = 12345;
    auto next = [&seed] {
        seed = seed * 1664525u + 1013904223u;
        return seed >> 16;
    };
    const char alphabet[] = "<>\"'/!?rsc a";
    for (int round = 0; round < 4000; ++round) {
        std::string t(next() % 90, ' ');
        for (char& c : t) c = alphabet[next() % (sizeof alphabet - 1)];
        const auto* p = reinterpret_cast<const std::uint8_t*>(t.data());
        const std::size_t n = t.size();
        for (std::uint8_t c : {std::uint8_t('r'), std::uint8_t('s')}) {
            for (bool start_too : {false, true}) {
                std::size_t want = n;
                for (std::size_t i = 0; i < n && want == n; ++i) {
                    if (p[i] != '<') continue;
                    if (i + 2 >= n) want = i;
                    else if (p[i + 1] == '!' || p[i + 1] == '?' || (start_too && p[i + 1] == c) ||
                             (p[i + 1] == '/' && p[i + 2] == c))
                        want = i;
                }
                EXPECT_EQ(find_markup(p, 0, n, c, start_too), want) << t;
            }
        }
        std::uint8_t quote = 0;
        const std::size_t full = find_tag_close(p, 0, n, quote);
        const std::size_t quick = quick_tag_close(p, 0, n);
        if (quick != n) {
            EXPECT_EQ(quick, full) << t;
        }
    }
}

}  // namespace
}  // namespace brindle::prescan
