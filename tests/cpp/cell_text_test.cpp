// The number and coordinate texts the worksheet reader converts without the
// host: every text accepted here must convert exactly as Python would.
#include <utils/cell_text.hpp>

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

namespace brindle {
namespace {

TEST(ShortDecimal, AcceptsOnlyShortPlainIntegers) {
    struct Case {
        const char* text;
        std::optional<std::int64_t> want;
    } cases[] = {
        // clang-format off
        {"0", 0}, {"-0", 0}, {"007", 7}, {"-42", -42},
        {"999999999999999999", 999999999999999999}, {"-999999999999999999", -999999999999999999},
        {"1000000000000000000", std::nullopt},  // 19 digits: the host decides
        {"", std::nullopt}, {"-", std::nullopt}, {"+1", std::nullopt}, {" 1", std::nullopt},
        {"1 ", std::nullopt}, {"1_0", std::nullopt}, {"--1", std::nullopt}, {"1-", std::nullopt},
        // clang-format on
        {"\xd9\xa1", std::nullopt},  // an Arabic-Indic digit, which Python's int() accepts
    };
    for (const Case& c : cases) EXPECT_EQ(short_decimal(c.text), c.want) << c.text;
}

TEST(DecimalSyntax, MatchesThePlainForm) {
    for (const char* ok : {"1.5", ".5", "5.", "+1", "-1", "1e5", "1E+5", "1e-5", "-.5e2", "00.00", "1"})
        EXPECT_TRUE(decimal_syntax(ok)) << ok;
    for (const char* no : {"", ".", "+", "-.", "e5", "1e", "1e+", "1.2.3", "1..2", " 1.5", "1.5 ",
                           "inf", "nan", "1_0.5", "0x1p3", "1.5f", "++1", "1e5.5", "1,5"})
        EXPECT_FALSE(decimal_syntax(no)) << no;
}

TEST(ParseDecimal, IsCorrectlyRoundedLikeStrtod) {
    std::mt19937_64 rng(20261208);
    std::uniform_int_distribution<int> digit(0, 9), len(1, 25), exp(-330, 330), coin(0, 1);
    for (int n = 0; n < 20000; ++n) {
        std::string s;
        if (coin(rng)) s += '-';
        int a = len(rng), b = len(rng) - 1;
        for (int k = 0; k < a; ++k) s += char('0' + digit(rng));
        s += '.';
        for (int k = 0; k < b; ++k) s += char('0' + digit(rng));
        if (coin(rng)) s += "e" + std::to_string(exp(rng));
        const double want = std::strtod(s.c_str(), nullptr);
        auto got = parse_decimal(s);
        if (std::isinf(want) || (want == 0 && s.find_first_of("123456789") < s.find('e'))) {
            continue;  // out of range: the host's float() decides
        }
        ASSERT_TRUE(got.has_value()) << s;
        EXPECT_EQ(*got, want) << s;
        EXPECT_EQ(std::signbit(*got), std::signbit(want)) << s;
    }
}

// The texts spreadsheet programs write (up to 17 digits, small exponents),
// where the single-operation path decides most of them and the full parse
// the rest: both must round like strtod, around the 2^53 boundary too.
TEST(ParseDecimal, ShortTextsRoundLikeStrtod) {
    std::mt19937_64 rng(7);
    std::uniform_int_distribution<int> digit(0, 9), len(0, 17), exp(-30, 30), coin(0, 3);
    std::vector<std::string> texts = {"9007199254740992", "9007199254740993", "9007199254740993e-5",
                                      "4503599627370497.5", "1e22", "1e23", "123456789012345678e-22",
                                      "0.1", "0.30000000000000004", "5e-324", "00000.000001"};
    for (int n = 0; n < 50000; ++n) {
        std::string s;
        const int a = len(rng), b = len(rng);
        for (int k = 0; k < a; ++k) s += char('0' + digit(rng));
        if (coin(rng)) s += '.';
        for (int k = 0; k < b; ++k) s += char('0' + digit(rng));
        if (s.empty() || s == ".") s += '7';
        if (!coin(rng)) s += (coin(rng) ? "e" : "E") + std::to_string(exp(rng));
        texts.push_back(s);
    }
    for (const std::string& s : texts) {
        const double want = std::strtod(s.c_str(), nullptr);
        auto got = parse_decimal(s);
        ASSERT_TRUE(got.has_value()) << s;
        EXPECT_EQ(*got, want) << s;
        const ParsedNumber nt = parse_number(s);
        if (integer_text(s)) {
            if (s.size() <= 18) {
                EXPECT_EQ(nt.kind, ParsedNumber::Kind::Int) << s;
            }
            if (nt.kind == ParsedNumber::Kind::Int) {
                EXPECT_EQ(nt.i, std::stoll(s)) << s;
            }
        } else {
            EXPECT_EQ(nt.kind, ParsedNumber::Kind::Float) << s;
            EXPECT_EQ(nt.f, want) << s;
        }
    }
}

// The one-pass reading takes only what the general rules would give the
// same answer for, and leaves the rest (signs, blanks, junk) to them.
TEST(NumberTextParse, TakesOnlyThePlainForms) {
    using K = ParsedNumber::Kind;
    struct Case {
        const char* text;
        K kind;
        double value;
    } cases[] = {
        // clang-format off
        {"0", K::Int, 0}, {"-0", K::Int, 0}, {"-12", K::Int, -12}, {"123456789012345678", K::Int, 123456789012345678.0},
        {"1234567890123456789", K::Other, 0}, {"", K::Other, 0}, {"-", K::Other, 0}, {"+1", K::Other, 0},
        {" 1", K::Other, 0}, {"1 ", K::Other, 0}, {"1_0", K::Other, 0}, {".", K::Other, 0}, {"-.", K::Other, 0},
        {"1e", K::Other, 0}, {"1e+", K::Other, 0}, {"1e5x", K::Other, 0}, {"inf", K::Other, 0},
        {"1e400", K::Other, 0}, {"1.5", K::Float, 1.5}, {"-.5", K::Float, -0.5}, {"5.", K::Float, 5},
        {"-0.0", K::Float, -0.0}, {"2E-3", K::Float, 0.002}, {"1e22", K::Float, 1e22}, {"1e23", K::Float, 1e23},
        {"0e99999", K::Float, 0}, {"12345678901234567890.5", K::Float, 12345678901234567890.5},
        // clang-format on
    };
    for (const Case& c : cases) {
        const ParsedNumber nt = parse_number(c.text);
        EXPECT_EQ(nt.kind, c.kind) << c.text;
        if (nt.kind == K::Int) {
            EXPECT_EQ(double(nt.i), c.value) << c.text;
        }
        if (nt.kind == K::Float) {
            EXPECT_EQ(nt.f, c.value) << c.text;
            EXPECT_EQ(std::signbit(nt.f), std::signbit(c.value)) << c.text;
        }
    }
}

TEST(ParseDecimal, LeavesOverflowToTheHost) {
    EXPECT_EQ(parse_decimal("1e400"), std::nullopt);
    EXPECT_EQ(parse_decimal("1e-400"), std::nullopt);
    EXPECT_EQ(parse_decimal("+2.5"), 2.5);
    EXPECT_EQ(parse_decimal("-0.0"), -0.0);
    EXPECT_TRUE(std::signbit(*parse_decimal("-0.0")));
}

TEST(FastCoordinate, CanonicalReferencesOnly) {
    using P = std::pair<std::int64_t, std::int64_t>;
    EXPECT_EQ(fast_coordinate("A1"), P(1, 1));
    EXPECT_EQ(fast_coordinate("Z9"), P(9, 26));
    EXPECT_EQ(fast_coordinate("AA10"), P(10, 27));
    EXPECT_EQ(fast_coordinate("ZZZ999999999"), P(999999999, 18278));
    EXPECT_EQ(fast_coordinate("XFD1048576"), P(1048576, 16384));
    // clang-format off
    for (const char* no : {"", "A", "1", "a1", "A0", "A01", "AAAA1", "A1234567890", "$A$1", "A1 ",
                           " A1", "A-1", "A1B", "\xc3\x80" "1"})
        EXPECT_EQ(fast_coordinate(no), std::nullopt) << no;
    // clang-format on
}

TEST(IntegerText, PointOrExponentMakesAFloatText) {
    EXPECT_TRUE(integer_text("123"));
    EXPECT_TRUE(integer_text("inf"));
    EXPECT_FALSE(integer_text("1.0"));
    EXPECT_FALSE(integer_text("1e3"));
    EXPECT_FALSE(integer_text("1E3"));
}

}  // namespace
}  // namespace brindle
