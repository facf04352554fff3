#include <utils/number_text.hpp>

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <random>
#include <string>

using namespace brindle;

namespace {

// "%.16g", or "%.17g" where 16 digits would read back as infinity.
std::string printf_g16(double x) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.16g", x);
    if (std::isinf(std::strtod(buf, nullptr))) std::snprintf(buf, sizeof buf, "%.17g", x);
    return buf;
}

}  // namespace

TEST(NumberText, Examples) {
    struct {
        double x;
        const char* want;
    } cases[] = {{0.0, "0"}, {-0.0, "-0"}, {1e15, "1000000000000000"}, {1e16, "1e+16"}, {0.00001, "1e-05"}, {1.5e-5, "1.5e-05"}, {1.2345e100, "1.2345e+100"}, {0.1, "0.1"}, {0.0001, "0.0001"}, {123.456, "123.456"}, {1.0 / 3, "0.3333333333333333"}, {3.0, "3"}, {-42.0, "-42"}, {9999999999999998.0, "9999999999999998"}, {1.7976931348623157e308, "1.7976931348623157e+308"}, {-1.7976931348623155e308, "-1.7976931348623155e+308"}, {1.7976931348623153e308, "1.797693134862315e+308"}};
    for (const auto& c : cases) EXPECT_EQ(g16_float(c.x).view(), c.want) << c.want;
}

TEST(NumberText, IntegersBeyondDoublePrecisionRoundLikeFloats) {
    const std::int64_t two53 = std::int64_t{1} << 53;
    EXPECT_EQ(g16_int(two53).view(), "9007199254740992");
    EXPECT_EQ(g16_int(two53 + 1).view(), "9007199254740992");
    EXPECT_EQ(g16_int(-two53 - 1).view(), "-9007199254740992");
    EXPECT_EQ(g16_int(12345678901234567).view(), "1.234567890123457e+16");
    EXPECT_EQ(g16_int(100000000000000001).view(), "1e+17");
    EXPECT_EQ(g16_int(std::numeric_limits<std::int64_t>::min()).view(), "-9.223372036854776e+18");
    EXPECT_EQ(g16_int(0).view(), "0");
    EXPECT_EQ(g16_int(-7).view(), "-7");
}

// Both fronts against the C library for doubles from every part of the
// range: random bit patterns (subnormals included), powers of ten and their
// neighbours, integers around 2**53 and 1e16, halfway cases of 16 digits.
TEST(NumberText, MatchesPrintf) {
    std::mt19937_64 rng(20261208);
    std::vector<double> xs;
    for (int i = 0; i < 200000; ++i) {
        double x = std::bit_cast<double>(rng());
        if (std::isfinite(x)) xs.push_back(x);
    }
    for (int i = 0; i < 20000; ++i) {
        xs.push_back(std::bit_cast<double>(rng() & 0x000FFFFFFFFFFFFFull));  // subnormal
        xs.push_back(static_cast<double>(static_cast<std::int64_t>(rng() >> (rng() % 64))));
        xs.push_back(static_cast<double>(rng() % 100000) / 1000.0);
    }
    for (int e = -324; e <= 308; ++e) {
        const double p = std::pow(10.0, e);
        for (double x : {p, std::nextafter(p, 0.0), std::nextafter(p, INFINITY), 5 * p, 9.5 * p})
            xs.insert(xs.end(), {x, -x});
    }
    for (double base : {9007199254740992.0, 1e16, 1e15, 1e17}) {
        double x = base;
        for (int i = 0; i < 50; ++i) x = std::nextafter(x, 0.0);
        for (int i = 0; i < 100; ++i, x = std::nextafter(x, INFINITY)) xs.insert(xs.end(), {x, -x});
    }
    // The top of the range, where 16 digits round up past the largest double.
    for (double x = std::numeric_limits<double>::max(), i = 0; i < 200; ++i, x = std::nextafter(x, 0.0))
        xs.insert(xs.end(), {x, -x});
    xs.insert(xs.end(), {std::numeric_limits<double>::max(), std::numeric_limits<double>::min(),
                         std::numeric_limits<double>::denorm_min(), 0.5, 2.5e-16, 1.0000000000000005});
    for (double x : xs) {
        const std::string want = printf_g16(x);
        ASSERT_EQ(format_g16(x).view(), want) << std::hexfloat << x;
        ASSERT_EQ(g16_float(x).view(), want) << std::hexfloat << x;
    }
    for (int i = 0; i < 100000; ++i) {
        const auto n = static_cast<std::int64_t>(rng()) >> (rng() % 64);
        const double as_double = static_cast<double>(n);
        ASSERT_EQ(g16_int(n).view(),
                  std::abs(as_double) <= 9007199254740992.0 ? std::to_string(n) : printf_g16(as_double))
            << n;
    }
}
