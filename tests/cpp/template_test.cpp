// Formula templates: which parts of a text are references, sharing of
// shifted copies, and exact rendering.
#include <ftemplate/template.hpp>

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace brindle {
namespace {

std::string render(const Template& t, std::int64_t row, std::int64_t col) {
    std::string out;
    EXPECT_TRUE(render_into(t, row, col, out));
    return out;
}

// The references of `text` as they are found, e.g. "$C$3".
std::vector<std::string> refs_of(std::string_view text) {
    const Template t = build(text, 1, 1);
    std::vector<std::string> out;
    for (std::size_t i = 0; i < t.parts.size(); ++i) {
        if (t.parts[i].kind != Part::kColumn) continue;
        Template one;
        one.parts = {t.parts[i], t.parts[i + 1]};
        out.push_back(render(one, 1, 1));
    }
    return out;
}

struct RefCase {
    const char* text;
    std::vector<std::string> refs;
};

class References : public testing::TestWithParam<RefCase> {};

TEST_P(References, AreFoundExactly) {
    EXPECT_EQ(refs_of(GetParam().text), GetParam().refs);
    const Template t = build(GetParam().text, 7, 9);
    EXPECT_EQ(render(t, 7, 9), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Scan, References,
    testing::Values(RefCase{"SUM(A1:B2)", {"A1", "B2"}}, RefCase{"Sheet1!$C$3", {"$C$3"}},
                    RefCase{"LOG10(5)", {}}, RefCase{"ABC1(2)", {}}, RefCase{"A1.x", {}},
                    RefCase{"A01+1", {}}, RefCase{"ABCD1+1", {}}, RefCase{"A12345678+1", {}},
                    RefCase{"A1234567+1", {"A1234567"}}, RefCase{"ZZZ9*2", {"ZZZ9"}},
                    RefCase{"a1+$b$2+A$1+$A1", {"A$1", "$A1"}}, RefCase{"_A1+.B2+x.C3+C3_", {}},
                    RefCase{"$$A1+A1$+A1!", {}}, RefCase{"'A1'+\"B2\"+C3", {"C3"}},
                    RefCase{"'it''s A1'!B2", {"B2"}}, RefCase{"\"x\"\"A1\"\"y\"&D4", {"D4"}},
                    RefCase{"\"\"\"\"&A1", {"A1"}}, RefCase{"\"unterminated A1", {}},
                    RefCase{"'Sheet 1'!A1:'Sheet 2'!B$2", {"A1", "B$2"}}, RefCase{"A1 B2\tC3", {"A1", "B2", "C3"}},
                    RefCase{"IF(A1>0,\"é\",B1)", {"A1", "B1"}}, RefCase{"$A", {}}, RefCase{"A$", {}}));

TEST(Template, ShiftedCopiesShareOneTemplate) {
    TemplateTable tt;
    EXPECT_FALSE(tt.template_for("B2*2", 2, 3));
    const auto second = tt.template_for("B3*2", 3, 3);
    ASSERT_TRUE(second);
    EXPECT_EQ(tt.template_for("B4*2", 4, 3), second);
    EXPECT_EQ(tt.template_for("C5*2", 5, 4), second);  // shifted along both axes
    EXPECT_FALSE(tt.template_for("B4*3", 4, 3));       // another shape
    EXPECT_EQ(tt.size(), 1u);
    std::string out;
    for (std::int64_t row : {2, 3, 4, 1'000'000}) {
        out.clear();
        ASSERT_TRUE(tt.render(*second, row, 3, out));
        EXPECT_EQ(out, "B" + std::to_string(row) + "*2");
    }
}

TEST(Template, AbsoluteReferencesRenderTheSameEverywhere) {
    TemplateTable tt;
    EXPECT_FALSE(tt.template_for("$B$2*2", 2, 3));
    const auto idx = tt.template_for("$B$2*2", 3, 3);
    ASSERT_TRUE(idx);
    EXPECT_EQ(tt.template_for("$B$2*2", 90, 700), idx);
    for (const Part& p : tt[*idx].parts) {
        EXPECT_TRUE(p.kind == Part::kLiteral || p.absolute);
    }
    EXPECT_EQ(render(tt[*idx], 1, 18'278), "$B$2*2");
    // Absolute rows and relative columns, and the other way round.
    EXPECT_FALSE(tt.template_for("B$2+$C4", 10, 10));
    const auto mixed = tt.template_for("C$2+$C5", 11, 11);
    ASSERT_TRUE(mixed);
    EXPECT_EQ(render(tt[*mixed], 20, 25), "Q$2+$C14");
}

TEST(Template, ShortTextsAndLiteralShapes) {
    TemplateTable tt;
    for (int i = 0; i < 3; ++i) EXPECT_FALSE(tt.template_for("A1", 1 + i, 1));
    EXPECT_FALSE(tt.template_for("=1+", 1, 1));
    EXPECT_FALSE(tt.template_for("=1+", 2, 1));
    EXPECT_EQ(tt.size(), 0u);
    // Texts without references share one shape wherever they are.
    EXPECT_FALSE(tt.template_for("A01+ABCD1", 1, 1));
    const auto lit = tt.template_for("A01+ABCD1", 500, 9);
    ASSERT_TRUE(lit);
    ASSERT_EQ(tt[*lit].parts.size(), 1u);
    EXPECT_EQ(tt[*lit].parts[0].text, "A01+ABCD1");
}

TEST(Template, CellsWhoseShiftLeavesTheSheetFallBack) {
    const Template t = build("A1*2", 2, 2);  // one row up, one column left
    std::string out;
    EXPECT_FALSE(render_into(t, 1, 5, out));
    EXPECT_FALSE(render_into(t, 5, 1, out));
    EXPECT_FALSE(matches(t, "A0*2", 1, 2));
    const Template z = build("ZZZ1&1", 1, 18'278);
    EXPECT_TRUE(matches(z, "ZZZ7&1", 7, 18'278));
    out.clear();
    EXPECT_FALSE(render_into(z, 1, 18'279, out));
    EXPECT_FALSE(matches(z, "AAAA1&1", 1, 18'279));
    // Through the table: a shape that cannot be rendered for this cell is
    // stored as text.
    TemplateTable tt;
    EXPECT_FALSE(tt.template_for("ZZZ1&1", 1, 18'278));
    EXPECT_TRUE(tt.template_for("ZZZ2&1", 2, 18'278));
    EXPECT_TRUE(matches(tt[0], "ZZZ1&1", 1, 18'278));
    EXPECT_FALSE(matches(tt[0], "ZZZ1&1", 1, 18'279));
}

TEST(Template, MatchesOnlyTheWholeText) {
    const Template t = build("SUM(A1:B2)", 3, 3);
    EXPECT_TRUE(matches(t, "SUM(A1:B2)", 3, 3));
    EXPECT_TRUE(matches(t, "SUM(B2:C3)", 4, 4));
    EXPECT_FALSE(matches(t, "SUM(A1:B2)x", 3, 3));
    EXPECT_FALSE(matches(t, "SUM(A1:B2", 3, 3));
    EXPECT_FALSE(matches(t, "SUM(A1:B3)", 3, 3));
    EXPECT_FALSE(matches(t, "SUM($A1:B2)", 3, 3));
    const Template a = build("$A$1", 3, 3);
    EXPECT_FALSE(matches(a, "A1", 3, 3));
    EXPECT_TRUE(matches(a, "$A$1", 9, 9));
}

TEST(Template, ShapeHashIgnoresOnlyTheShift) {
    EXPECT_EQ(shape_hash("B2*2", 2, 3), shape_hash("C4*2", 4, 4));
    EXPECT_NE(shape_hash("B2*2", 2, 3), shape_hash("B2*2", 3, 3));
    EXPECT_NE(shape_hash("$B2*2", 2, 3), shape_hash("$C4*2", 4, 4));
    EXPECT_EQ(shape_hash("$B2*2", 2, 3), shape_hash("$B4*2", 4, 4));
    EXPECT_NE(shape_hash("B2*2", 2, 3), shape_hash("B2*3", 2, 3));
    EXPECT_NE(shape_hash("x", 1, 1), shape_hash("y", 1, 1));
    EXPECT_NE(shape_hash("", 1, 1), shape_hash(std::string_view("\0", 1), 1, 1));
}

// A random formula at one cell and the same formula moved to another, each
// built without the code under test.
struct Formula {
    std::string at_a, at_b;
};

Formula random_formula(std::mt19937_64& rng, std::int64_t ra, std::int64_t ca, std::int64_t rb, std::int64_t cb) {
    auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
    auto letters = [](std::int64_t c) {
        std::string s;
        for (; c > 0; c = (c - 1) / 26) s.insert(s.begin(), static_cast<char>('A' + (c - 1) % 26));
        return s;
    };
    Formula f;
    const int n = 1 + pick(8);
    for (int i = 0; i < n; ++i) {
        switch (pick(7)) {
            case 0:
            case 1: {  // a reference that stays on the sheet at both cells
                const bool cabs = pick(2), rabs = pick(2);
                const std::int64_t c = 1 + pick(300), r = 1 + pick(5000);
                const std::int64_t c2 = cabs ? c : c + (cb - ca), r2 = rabs ? r : r + (rb - ra);
                auto ref = [&](std::int64_t cc, std::int64_t rr) {
                    return (cabs ? "$" : "") + letters(cc) + (rabs ? "$" : "") + std::to_string(rr);
                };
                // Delimited, so that its neighbours cannot make it a name.
                static const char* const before[] = {"+", " ", ":", ",", "(", "!"};
                static const char* const after[] = {"+", " ", ":", ",", ")", "*2"};
                const std::string b = before[pick(6)], a = after[pick(6)];
                f.at_a += b + ref(c, r) + a;
                f.at_b += b + ref(c2, r2) + a;
                break;
            }
            default: {
                static const char* const lits[] = {"+", "*2", "SUM(", ")", ":", ",", "'a''B1'!", "\"C3\"\"\"",
                                                   "LOG10(", "A01", "Sheet1!", " ", "ABCD7", "x.", "é", "_"};
                const std::string s = lits[pick(16)];
                f.at_a += s;
                f.at_b += s;
            }
        }
    }
    return f;
}

TEST(Template, RandomFormulasRoundTrip) {
    std::mt19937_64 rng(20261208);
    for (int i = 0; i < 3000; ++i) {
        const std::int64_t ra = 1 + static_cast<std::int64_t>(rng() % 100'000), ca = 1 + static_cast<std::int64_t>(rng() % 1000);
        const std::int64_t rb = ra + static_cast<std::int64_t>(rng() % 50), cb = ca + static_cast<std::int64_t>(rng() % 50);
        const Formula f = random_formula(rng, ra, ca, rb, cb);
        EXPECT_EQ(render(build(f.at_a, ra, ca), ra, ca), f.at_a);
        EXPECT_EQ(shape_hash(f.at_a, ra, ca), shape_hash(f.at_b, rb, cb)) << f.at_a << " / " << f.at_b;
        TemplateTable tt;
        const bool big = f.at_a.size() >= 4;
        EXPECT_FALSE(tt.template_for(f.at_a, ra, ca));
        const auto idx = tt.template_for(f.at_b, rb, cb);
        EXPECT_EQ(bool(idx), big && f.at_b.size() >= 4) << f.at_a;
        if (!idx) continue;
        std::string out;
        ASSERT_TRUE(tt.render(*idx, ra, ca, out));
        EXPECT_EQ(out, f.at_a);
        out.clear();
        ASSERT_TRUE(tt.render(*idx, rb, cb, out));
        EXPECT_EQ(out, f.at_b);
    }
}

TEST(Template, ArbitraryBytesRoundTrip) {
    std::mt19937_64 rng(7);
    const std::string alphabet = "AZ$09'\"!(._:+ aé\x80\xff";
    for (int i = 0; i < 5000; ++i) {
        std::string s;
        for (int n = static_cast<int>(rng() % 24); n > 0; --n) s += alphabet[rng() % alphabet.size()];
        const std::int64_t row = 1 + static_cast<std::int64_t>(rng() % 10), col = 1 + static_cast<std::int64_t>(rng() % 10);
        const Template t = build(s, row, col);
        EXPECT_TRUE(matches(t, s, row, col)) << s;
        EXPECT_EQ(render(t, row, col), s);
    }
}

}  // namespace
}  // namespace brindle
