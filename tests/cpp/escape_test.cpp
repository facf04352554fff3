#include <writer/escape.hpp>

#include <gtest/gtest.h>

#include <string>

using namespace brindle;

namespace {

std::string attr(std::string_view s, bool lxml) {
    std::string out = "x";  // appending keeps what is there
    esc_attr(out, s, lxml);
    return out.substr(1);
}

std::string text(std::string_view s, bool lxml) {
    std::string out = "x";
    esc_text(out, s, lxml);
    return out.substr(1);
}

struct Case {
    const char* in;
    const char* attr_lxml;
    const char* attr_et;
    const char* text_lxml;
    const char* text_et;
};

}  // namespace

TEST(Escape, BothModes) {
    const Case cases[] = {
        {"", "", "", "", ""},
        {"plain 'text'", "plain 'text'", "plain 'text'", "plain 'text'", "plain 'text'"},
        {"\t", "&#9;", "&#09;", "\t", "\t"},
        // A raw CR would read back as LF: a reference in both modes.
        {"a\r\nb", "a&#13;&#10;b", "a&#13;&#10;b", "a&#13;\nb", "a&#13;\nb"},
        {"\"q\"", "&quot;q&quot;", "&quot;q&quot;", "\"q\"", "\"q\""},
        {"<&>", "&lt;&amp;&gt;", "&lt;&amp;&gt;", "&lt;&amp;&gt;", "&lt;&amp;&gt;"},
        {"\xc3\xa9", "&#233;", "\xc3\xa9", "&#233;", "\xc3\xa9"},
        {"\xf0\x9f\x98\x80!", "&#128512;!", "\xf0\x9f\x98\x80!", "&#128512;!", "\xf0\x9f\x98\x80!"},
        {"\xe2\x82\xac<\x7f", "&#8364;&lt;\x7f", "\xe2\x82\xac&lt;\x7f", "&#8364;&lt;\x7f",
         "\xe2\x82\xac&lt;\x7f"},
        {"\xc2\x80\xdf\xbf\xef\xbf\xbf\xf4\x8f\xbf\xbf", "&#128;&#2047;&#65535;&#1114111;",
         "\xc2\x80\xdf\xbf\xef\xbf\xbf\xf4\x8f\xbf\xbf", "&#128;&#2047;&#65535;&#1114111;",
         "\xc2\x80\xdf\xbf\xef\xbf\xbf\xf4\x8f\xbf\xbf"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(attr(c.in, true), c.attr_lxml) << c.in;
        EXPECT_EQ(attr(c.in, false), c.attr_et) << c.in;
        EXPECT_EQ(text(c.in, true), c.text_lxml) << c.in;
        EXPECT_EQ(text(c.in, false), c.text_et) << c.in;
    }
}

// The checks that let a caller copy text without escaping it must agree with
// the escapers themselves, byte for byte, in both modes.
TEST(Escape, NeedsEscapeAgreesWithTheEscapers) {
    const char* inputs[] = {"", "42", "inlineStr", "a b", "\t", "\n", "\r", "\"", "'", "&",
                            "<", ">", "\xc3\xa9", "x\x7f", "\xef\xbf\xbd", "1.5e-07"};
    for (const char* in : inputs) {
        for (bool lxml : {true, false}) {
            EXPECT_EQ(brindle::attr_needs_escape(in, lxml), attr(in, lxml) != in) << in << lxml;
            EXPECT_EQ(brindle::text_needs_escape(in, lxml), text(in, lxml) != in) << in << lxml;
        }
    }
}

TEST(Escape, ForbiddenCharacters) {
    struct {
        std::string_view in;
        bool forbidden;
    } cases[] = {
        // clang-format off
        {"", false},           {"\t\n\r", false},       {std::string_view("\0", 1), true},
        {"a\x01", true},       {"\x1f", true},          {"\x7f", false},
        {"\xef\xbf\xbe", true}, {"\xef\xbf\xbf", true}, {"\xef\xbf\xbd", false},
        {"\xef\xbf", false},   {"\xc3\xa9", false},
        // clang-format on
    };
    for (const auto& c : cases) EXPECT_EQ(brindle::has_forbidden_char(c.in), c.forbidden) << c.in;
}
