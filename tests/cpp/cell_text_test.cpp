// The number and coordinate texts the worksheet reader converts without the
// host: every text accepted here must convert exactly as Python would.
#include <utils/cell_text.hpp>

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <random>
#include <string>

namespace brindle {
namespace {

TEST(ShortDecimal, AcceptsOnlyShortPlainIntegers) {
    struct Case {
        const char* text;
        std::optional<std::int64_t> want;
    } cases[] = {
        {"0", 0}, {"-0", 0}, {"007", 7}, {"-42", -42},
        {"999999999999999999", 999999999999999999}, {"-999999999999999999", -999999999999999999},
        {"1000000000000000000", std::nullopt},  // 19 digits: the host decides
        {"", std::nullopt}, {"-", std::nullopt}, {"+1", std::nullopt}, {" 1", std::nullopt},
        {"1 ", std::nullopt}, {"1_0", std::nullopt}, {"--1", std::nullopt}, {"1-", std::nullopt},
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
    for (const char* no : {"", "A", "1", "a1", "A0", "A01", "AAAA1", "A1234567890", "$A$1", "A1 ",
                           " A1", "A-1", "A1B", "\xc3\x80" "1"})
        EXPECT_EQ(fast_coordinate(no), std::nullopt) << no;
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
