#include <xml/search.hpp>

#include <gtest/gtest.h>

#include <random>
#include <string>

using namespace brindle;

namespace {

std::size_t naive_close(const std::string& s) {
    char quote = 0;
    for (std::size_t i = 0; i < s.size(); ++i) {
        char c = s[i];
        if (quote) {
            if (c == quote) quote = 0;
        } else if (c == '>') {
            return i;
        } else if (c == '"' || c == '\'') {
            quote = c;
        }
    }
    return s.size();
}

}  // namespace

TEST(XmlSearch, TagCloseResumesAtEverySplit) {
    // Random tag bodies across vector-block sizes; the search split at every
    // index (as at a window end) must find what one pass finds.
    std::mt19937 rng(7);
    const char alphabet[] = {'a', '>', '"', '\'', ' '};
    for (int round = 0; round < 400; ++round) {
        std::string s(rng() % 70, 'a');
        for (char& c : s) c = alphabet[rng() % 5];
        auto* p = reinterpret_cast<const std::uint8_t*>(s.data());
        std::size_t want = naive_close(s);
        for (std::size_t split = 0; split <= s.size(); ++split) {
            std::uint8_t quote = 0;
            std::size_t got = find_tag_close(p, 0, split, quote);
            if (got == split) got = find_tag_close(p, split, s.size(), quote);
            ASSERT_EQ(got, want) << s << " split " << split;
        }
    }
}

TEST(XmlSearch, FindByte) {
    std::string s(100, 'a');
    s[3] = 'x';
    s[40] = 'y';
    auto* p = reinterpret_cast<const std::uint8_t*>(s.data());
    EXPECT_EQ(find_byte(p, 0, s.size(), 'x'), 3u);
    EXPECT_EQ(find_byte(p, 4, s.size(), 'x'), s.size());
    EXPECT_EQ(find_byte(p, 0, s.size(), 'y'), 40u);
    EXPECT_EQ(find_byte(p, 0, 40, 'y'), 40u);
    EXPECT_EQ(find_byte(p, 50, 20, 'a'), 20u);  // an empty range
    EXPECT_TRUE(contains(p, s.size(), "ax", 2));
    EXPECT_FALSE(contains(p, 2, "aaa", 3));
}
