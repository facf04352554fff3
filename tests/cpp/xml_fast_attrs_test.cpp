#include <xml/fast_attrs.hpp>

#include <gtest/gtest.h>

#include <string>

using namespace brindle;

namespace {

struct Out {
    FastStatus status;
    std::size_t pos;
    std::string r, s, t;
};

Out scan_cell(std::string_view tag) {
    CellTagCollector c;
    auto* p = reinterpret_cast<const std::uint8_t*>(tag.data());
    FastScan f = fast_attrs(p, tag.size(), 2, c);
    auto v = [&](const FastValue& x) { return x.present ? std::string(tag.substr(x.span.start, x.span.size())) : "-"; };
    return {f.status, f.pos, v(c.r), v(c.s), v(c.t)};
}

}  // namespace

TEST(XmlFastAttrs, CellTag) {
    struct {
        const char* tag;
        FastStatus status;
        const char* r;
        const char* s;
        const char* t;
    } cases[] = {
        {"<c r=\"A1\" s=\"2\">", FastStatus::Start, "A1", "2", "-"},
        {"<c r=\"A1\" t=\"s\"/>", FastStatus::Empty, "A1", "-", "s"},
        {"<c>", FastStatus::Start, "-", "-", "-"},
        {"<c/>", FastStatus::Empty, "-", "-", "-"},
        {"<c   r=\"B2\"  >", FastStatus::Start, "B2", "-", "-"},
        {"<c r=\"\" cmx=\"1\" v=\"x\">", FastStatus::Start, "", "-", "-"},
        // Metadata indexes go to the general path, which decides whether to keep them.
        {"<c r=\"\" cm=\"1\">", FastStatus::NotTaken, "", "", ""},
        {"<c vm=\"2\" r=\"A1\">", FastStatus::NotTaken, "", "", ""},
        {"<c r='A1'>", FastStatus::NotTaken, "", "", ""},
        {"<c r=\"A1\"\ns=\"2\">", FastStatus::NotTaken, "", "", ""},
        {"<c r=\"A1\"\ts=\"2\">", FastStatus::NotTaken, "", "", ""},
        {"<c r=\"A&amp;\">", FastStatus::NotTaken, "", "", ""},
        {"<c r=\"A<\">", FastStatus::NotTaken, "", "", ""},
        {"<c r=\"\xC3\xA9\">", FastStatus::NotTaken, "", "", ""},
        {"<c r=\"A\tB\">", FastStatus::NotTaken, "", "", ""},
        {"<c r=\"A1\"s=\"2\">", FastStatus::NotTaken, "", "", ""},
        {"<c r = \"A1\">", FastStatus::NotTaken, "", "", ""},
        {"<c x:r=\"A1\">", FastStatus::NotTaken, "", "", ""},
        {"<c xmlns=\"u\">", FastStatus::NotTaken, "", "", ""},
        {"<c r=\"1\" r=\"2\">", FastStatus::NotTaken, "", "", ""},
        {"<c / >", FastStatus::NotTaken, "", "", ""},
        {"<c r=\"A1\"", FastStatus::NotTaken, "", "", ""},
        {"<c r=\"A1", FastStatus::NotTaken, "", "", ""},
        {"<c ", FastStatus::NotTaken, "", "", ""},
        {"<c a=\"1\" b=\"1\" d=\"1\" e=\"1\" f=\"1\" g=\"1\" h=\"1\" i=\"1\">", FastStatus::Start, "-", "-", "-"},
        {"<c a=\"1\" b=\"1\" d=\"1\" e=\"1\" f=\"1\" g=\"1\" h=\"1\" i=\"1\" j=\"1\">", FastStatus::NotTaken, "", "", ""},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.tag);
        Out o = scan_cell(c.tag);
        EXPECT_EQ(o.status, c.status);
        if (c.status == FastStatus::NotTaken) continue;
        EXPECT_EQ(o.pos, std::string_view(c.tag).size());
        EXPECT_EQ(o.r, c.r);
        EXPECT_EQ(o.s, c.s);
        EXPECT_EQ(o.t, c.t);
    }
}

TEST(XmlFastAttrs, FormulaTagRefusesOtherNames) {
    auto scan = [](std::string_view tag, FormulaTagCollector& c) {
        return fast_attrs(reinterpret_cast<const std::uint8_t*>(tag.data()), tag.size(), 2, c).status;
    };
    FormulaTagCollector c;
    EXPECT_EQ(scan("<f t=\"shared\" ref=\"A1:A9\" si=\"0\">", c), FastStatus::Start);
    EXPECT_TRUE(c.t.present && c.ref.present && c.si.present);
    c.reset();
    EXPECT_EQ(scan("<f si=\"3\"/>", c), FastStatus::Empty);
    EXPECT_TRUE(c.si.present && !c.t.present);
    c.reset();
    EXPECT_EQ(scan("<f t=\"shared\" aca=\"1\">", c), FastStatus::NotTaken);
}

// Short values are checked on the way to their closing quote, longer ones by
// the vectorised scan: both must take and refuse exactly the same bytes,
// wherever the odd byte sits and however long the value is.
TEST(XmlFastAttrs, ShortAndLongValuesAgree) {
    for (std::size_t len : {0, 1, 2, 15, 16, 30, 31, 32, 33, 40, 70}) {
        for (int b = 0; b < 256; ++b) {
            if (b == '"') continue;
            for (std::size_t at : {std::size_t{0}, len / 2, len == 0 ? 0 : len - 1}) {
                if (len == 0 && at != 0) continue;
                std::string value(len, 'x');
                if (len != 0) value[at] = static_cast<char>(b);
                const std::string tag = "<c r=\"" + value + "\" s=\"1\">";
                SCOPED_TRACE(testing::Message() << "len " << len << " byte " << b << " at " << at);
                const bool plain = len == 0 || (b >= 0x20 && b < 0x80 && b != '&' && b != '<');
                Out o = scan_cell(tag);
                EXPECT_EQ(o.status, plain ? FastStatus::Start : FastStatus::NotTaken);
                if (plain) {
                    EXPECT_EQ(o.r, value);
                }
            }
        }
    }
    // A value that runs to the end of the window is never taken.
    EXPECT_EQ(scan_cell("<c r=\"" + std::string(40, 'x')).status, FastStatus::NotTaken);
    EXPECT_EQ(scan_cell("<c r=\"" + std::string(5, 'x')).status, FastStatus::NotTaken);
}
