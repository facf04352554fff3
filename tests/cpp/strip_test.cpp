#include <utils/strip.hpp>

#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <string>

using namespace brindle;

namespace {

std::string utf8(char32_t c) {
    std::string s;
    if (c < 0x80) {
        s += char(c);
    } else if (c < 0x800) {
        s += char(0xC0 | (c >> 6));
        s += char(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        s += char(0xE0 | (c >> 12));
        s += char(0x80 | ((c >> 6) & 0x3F));
        s += char(0x80 | (c & 0x3F));
    } else {
        s += char(0xF0 | (c >> 18));
        s += char(0x80 | ((c >> 12) & 0x3F));
        s += char(0x80 | ((c >> 6) & 0x3F));
        s += char(0x80 | (c & 0x3F));
    }
    return s;
}

// The interpreter's own whitespace set, exported once into the test data.
std::set<char32_t> python_whitespace() {
    std::ifstream in(BRINDLE_TEST_DATA "/py_whitespace.txt");
    std::set<char32_t> out;
    std::string line;
    while (std::getline(in, line))
        if (!line.empty() && line[0] != '#') out.insert(char32_t(std::stoul(line, nullptr, 16)));
    return out;
}

}  // namespace

TEST(PyStrip, EveryCodePointAgainstPythonsTable) {
    const auto ws = python_whitespace();
    ASSERT_EQ(ws.size(), 29u);
    for (char32_t c = 0; c <= 0x10FFFF; ++c) {
        if (c >= 0xD800 && c <= 0xDFFF) continue;
        const bool space = ws.contains(c);
        ASSERT_EQ(py_isspace(c), space) << std::hex << unsigned(c);
        const std::string e = utf8(c);
        const std::string s = e + e + "x" + e + "y" + e;
        ASSERT_EQ(py_strip(s), space ? "x" + e + "y" : s) << std::hex << unsigned(c);
    }
}

TEST(PyStrip, Cases) {
    struct Case {
        std::string in, out;
    } cases[] = {
        {"\xC2\xA0 x \xE3\x80\x80", "x"},
        {"\xE2\x80\x8Bx", "\xE2\x80\x8Bx"},  // U+200B is not whitespace
        {"", ""},
        {" \t\r\n\x1C\xC2\x85\xE2\x80\xA8", ""},
        {"a b", "a b"},
        {" \xF0\x9F\x98\x80 ", "\xF0\x9F\x98\x80"},
        // Malformed bytes are never whitespace and stop the trim.
        {"\xC0\xA0x", "\xC0\xA0x"},          // overlong U+0020
        {"x\xE3\x80", "x\xE3\x80"},          // truncated U+3000
        {"\x80 x \x80", "\x80 x \x80"},      // stray continuation bytes
        {"x \xA0", "x \xA0"},                // continuation without lead
        {"\xE0\x80\xA0x", "\xE0\x80\xA0x"},  // overlong three-byte U+0020
    };
    for (const auto& c : cases) EXPECT_EQ(py_strip(c.in), c.out) << c.in;
}

TEST(PyStrip, ResultIsASubSlice) {
    const std::string s = "  abc  ";
    auto r = py_strip(s);
    EXPECT_EQ(r.data(), s.data() + 2);
    EXPECT_EQ(r.size(), 3u);
}
