#include <xml/chars.hpp>

#include <gtest/gtest.h>

#include <string>

using namespace brindle;

namespace {

std::string check(std::string_view s) {
    auto r = validate_chars(reinterpret_cast<const std::uint8_t*>(s.data()), s.size());
    return r ? "ok" : r.error().reason;
}

std::string ref(std::string_view name) {
    auto r = resolve_ref(name);
    if (!r) return r.error().reason;
    std::string out;
    append_utf8(out, *r);
    return out;
}

}  // namespace

TEST(XmlChars, ValidateChars) {
    struct {
        std::string in;
        const char* out;
    } cases[] = {
        {"plain ascii text, long enough to fill a vector block", "ok"},
        {"\t\n\r", "ok"},
        {std::string("abc\0def", 7), "invalid character"},
        {"0123456789abcde\x1f", "invalid character"},
        {"0123456789abcdef0123\x0b", "invalid character"},
        {"\x7f\xC2\x80\xC2\x9F", "ok"},
        {"\xED\x9F\xBF\xEE\x80\x80\xEF\xBF\xBD\xF0\x90\x80\x80\xF4\x8F\xBF\xBF", "ok"},
        {"\xEF\xBF\xBE", "invalid character"},
        {"0123456789abcdef\xEF\xBF\xBF", "invalid character"},
        {"\xED\xA0\x80", "invalid utf-8"},
        {"\xC1\xBF", "invalid utf-8"},
        {"\xE0\x9F\xBF", "invalid utf-8"},
        {"\xF0\x8F\xBF\xBF", "invalid utf-8"},
        {"\xF4\x90\x80\x80", "invalid utf-8"},
        {"\xC3", "invalid utf-8"},
        {"\xE2\x82", "invalid utf-8"},
        {"\xC3\xC3", "invalid utf-8"},
        {"\xBF", "invalid utf-8"},
        {"\xFF", "invalid utf-8"},
        // A control byte anywhere wins over any UTF-8 fault.
        {"\xC3 \x01", "invalid character"},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.in);
        EXPECT_EQ(check(c.in), c.out);
    }
}

TEST(XmlChars, ScanFlagsAcrossBlocks) {
    // Each marker placed at every offset of a 40-byte span, so that both the
    // vector blocks and the scalar tail see it.
    for (char marker : {'&', '<', '>', '\r', '\t', '\n', '\x01', '\x80'}) {
        for (std::size_t at = 0; at < 40; ++at) {
            std::string s(40, 'a');
            s[at] = marker;
            SpanFlags f = scan_span(reinterpret_cast<const std::uint8_t*>(s.data()), s.size());
            EXPECT_EQ(f.amp, marker == '&');
            EXPECT_EQ(f.lt, marker == '<');
            EXPECT_EQ(f.gt, marker == '>');
            EXPECT_EQ(f.cr, marker == '\r');
            EXPECT_EQ(f.tab_lf, marker == '\t' || marker == '\n');
            EXPECT_EQ(f.bad_ctrl, marker == '\x01');
            EXPECT_EQ(f.high, marker == '\x80');
        }
    }
}

TEST(XmlChars, ResolveRef) {
    struct {
        const char* name;
        const char* out;
    } cases[] = {
        // clang-format off
        {"lt", "<"}, {"gt", ">"}, {"amp", "&"}, {"apos", "'"}, {"quot", "\""},
        {"#x41", "A"}, {"#65", "A"}, {"#0000000065", "A"}, {"#xe9", "\xC3\xA9"}, {"#x20AC", "\xE2\x82\xAC"},
        {"#x10FFFF", "\xF4\x8F\xBF\xBF"}, {"#9", "\t"}, {"#xD", "\r"}, {"#xD7FF", "\xED\x9F\xBF"},
        {"#xE000", "\xEE\x80\x80"}, {"#xFFFD", "\xEF\xBF\xBD"}, {"#x10000", "\xF0\x90\x80\x80"},
        {"#X41", "bad char ref"}, {"#x", "bad char ref"}, {"#00000000065", "bad char ref"},
        {"#x-1", "bad char ref"}, {"#+1", "bad char ref"}, {"# 1", "bad char ref"}, {"#x100000000", "bad char ref"},
        {"#xD800", "invalid char ref"}, {"#xDFFF", "invalid char ref"}, {"#xFFFE", "invalid char ref"},
        {"#xFFFF", "invalid char ref"}, {"#0", "invalid char ref"}, {"#x1F", "invalid char ref"},
        {"#x110000", "invalid char ref"}, {"#xFFFFFFFF", "invalid char ref"},
        {"nbsp", "undefined entity"}, {"AMP", "undefined entity"}, {"", "undefined entity"}, {"#", "undefined entity"},
        // clang-format on
        {"lt ", "undefined entity"},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(ref(c.name), c.out);
    }
}

TEST(XmlChars, ValidateRefs) {
    auto vr = [](std::string_view s) -> std::string {
        auto r = validate_refs(reinterpret_cast<const std::uint8_t*>(s.data()), s.size());
        return r ? "ok" : r.error().reason;
    };
    EXPECT_EQ(vr("a &amp; b &lt;&gt;"), "ok");
    EXPECT_EQ(vr("a ; &amp"), "bad reference");
    EXPECT_EQ(vr("&amp;&"), "bad reference");
    EXPECT_EQ(vr("&a b;"), "undefined entity");
    EXPECT_EQ(vr("&#x41;&#xFFFE;"), "invalid char ref");
}

TEST(XmlChars, DecodeAttr) {
    struct {
        std::string in;
        std::string out;
    } cases[] = {
        {"plain", "plain"},
        {"a\r\n\tb", "a  b"},
        // clang-format off
        {"\r\r\n\n\t", "   " " "},
        // clang-format on
        {"&#13;&#10;&#9;", "\r\n\t"},
        {"  x  ", "  x  "},
        {"&lt;&amp;lt;", "<&lt;"},
        {"x&#x20AC;y\nz", "x\xE2\x82\xACy z"},
    };
    std::string scratch;
    for (auto& c : cases) {
        SCOPED_TRACE(c.in);
        EXPECT_EQ(decode_attr(c.in, scratch), c.out);
    }
    std::string_view plain = "no rewrite";
    EXPECT_EQ(decode_attr(plain, scratch).data(), plain.data());
}

TEST(XmlChars, DecodeText) {
    std::string scratch;
    EXPECT_EQ(decode_text("a\r\nb\rc\n", false, scratch), "a\nb\nc\n");
    EXPECT_EQ(decode_text("&#13;&amp;amp;\r", false, scratch), "\r&amp;\n");
    EXPECT_EQ(decode_text("&amp;\r\n", true, scratch), "&amp;\n");
    std::string_view plain = "a & b";
    EXPECT_EQ(decode_text(plain, true, scratch).data(), plain.data());
}
