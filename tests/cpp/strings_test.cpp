#include "xml_event_stream.hpp"

#include <prescan/dimension.hpp>
#include <text/x005f.hpp>

#include <gtest/gtest.h>

#include <string>

using namespace brindle;
using brindle::testing::error_text;

// Each case: what decoding gives, and that encoding then decoding gives the
// text back.
TEST(Escapes, DecodeLeftToRight) {
    using namespace std::string_literals;
    struct {
        std::string in;
        std::string out;
    } cases[] = {
        {"", ""},
        {"plain", "plain"},
        {"_x005F_x0041_", "_x0041_"},
        {"_x005f_x0041_", "_x0041_"},
        // A bare "x005F_" is text: only a whole escape is decoded.
        {"x005F_", "x005F_"},
        {"x005F_x005F_", "x005F_"},
        {"xx005F_005F_", "xx005F_005F_"},
        {"ax005Fb", "ax005Fb"},
        {"X005F_x005f_", "X005F_"},
        {"\xC3\xA9x005F_\xE2\x82\xAC", "\xC3\xA9x005F_\xE2\x82\xAC"},
        {"_x0041_", "A"},
        {"_x000d__x000A_", "\r\n"},
        {"_x0000_", "\0"s},
        {"__x0041_", "_A"},
        {"_x0041__x0042_", "AB"},
        {"_x00e9_", "\xC3\xA9"},
        {"_xFFFF_", "\xEF\xBF\xBF"},
        {"_xD83D__xDE00_", "\xF0\x9F\x98\x80"},
        {"_xd83d__xde00_", "\xF0\x9F\x98\x80"},
        // Lone surrogates are no characters: left as written.
        {"_xD83D_", "_xD83D_"},
        {"_xDE00__x0041_", "_xDE00_A"},
        {"_xD83D__x0041_", "_xD83D_A"},
        // Malformed.
        {"_x004_", "_x004_"},
        {"_x00G1_", "_x00G1_"},
        {"_x0041", "_x0041"},
        {"_X0041_", "_X0041_"},
        {"_x+041_", "_x+041_"},
    };
    for (const auto& c : cases) {
        std::string s = c.in;
        decode_escapes(s);
        EXPECT_EQ(s, c.out) << c.in;
    }
}

TEST(Escapes, EncodeThenDecodeIsIdentity) {
    using namespace std::string_literals;
    struct {
        std::string in;
        std::string encoded;
    } cases[] = {
        {"plain", "plain"},
        {"tab\tand\nline", "tab\tand\nline"},
        {"\r\n", "\r\n"},  // a CR is left to the XML escaping
        {"a\0b"s, "a_x0000_b"},
        {"\x01\x1f\x0b\x0c\x0e", "_x0001__x001F__x000B__x000C__x000E_"},
        {"\xEF\xBF\xBE\xEF\xBF\xBF", "_xFFFE__xFFFF_"},
        {"\xEF\xBF\xBD", "\xEF\xBF\xBD"},
        {"_x0041_", "_x005F_x0041_"},
        {"_x005F_", "_x005F_x005F_"},
        {"_x00e9_", "_x005F_x00e9_"},
        // An escape written next to literal text must not complete it.
        {"_x0041\x01", "_x005F_x0041_x0001_"},
        {"_x004\x01", "_x004_x0001_"},
        {"_x0041", "_x0041"},
        {"__x", "__x"},
        {"_xD83D_", "_x005F_xD83D_"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(needs_escapes(c.in), c.in != c.encoded || c.in.find("_x") != std::string::npos) << c.in;
        std::string out;
        encode_escapes(out, c.in);
        EXPECT_EQ(out, c.encoded) << c.in;
        decode_escapes(out);
        EXPECT_EQ(out, c.in) << c.in;
    }
}

namespace {

const std::string kMain = "http://schemas.openxmlformats.org/spreadsheetml/2006/main";

// The outcome as text.
std::string dimension_of(const std::string& doc, std::size_t chunk) {
    Reader<MemorySource> r(doc.data(), doc.size(), chunk);
    auto hit = find_dimension_in(r);
    if (!hit) return error_text(hit.error());
    if (!*hit) return "none";
    std::string out = (*hit)->snippet;
    for (const auto& [p, u] : (*hit)->namespaces) out += " [" + p + "=" + u + "]";
    return out;
}

}  // namespace

TEST(FindDimension, Outcomes) {
    const std::string ns = " xmlns='" + kMain + "'";
    struct {
        std::string doc;
        std::string out;
    } cases[] = {
        {"<worksheet" + ns + "><dimension ref='A1:B2'/><sheetData/></worksheet>",
         "<dimension ref='A1:B2'/> [=" + kMain + "]"},
        {"<x:worksheet xmlns:x='" + kMain + "'><x:dimension ref='A1'></x:dimension></x:worksheet>",
         "<x:dimension ref='A1'></x:dimension> [x=" + kMain + "]"},
        {"<worksheet" + ns + "><sheetData><row/></sheetData><dimension ref='A1'/></worksheet>", "none"},
        {"<worksheet><dimension ref='A1'/></worksheet>", "none"},
        {"<worksheet" + ns + "><dimension><sheetData/></dimension></worksheet>",
         "unsupported: nested element handled by dispatcher"},
        {"<worksheet" + ns + "><dimension>", "malformed: unclosed element"},
        {"<worksheet" + ns + "><a><dimension ref='B'/></a></worksheet>", "<dimension ref='B'/> [=" + kMain + "]"},
    };
    for (const auto& c : cases)
        for (std::size_t chunk : {std::size_t(1), std::size_t(7), std::size_t(1) << 20})
            EXPECT_EQ(dimension_of(c.doc, chunk), c.out) << c.doc << " chunk " << chunk;
}
