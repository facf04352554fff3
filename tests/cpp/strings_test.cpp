#include "xml_event_stream.hpp"

#include <prescan/dimension.hpp>
#include <text/x005f.hpp>

#include <gtest/gtest.h>

#include <string>

using namespace brindle;
using brindle::testing::error_text;

TEST(RemoveX005F, LeftToRightWithoutRescan) {
    struct {
        const char* in;
        const char* out;
    } cases[] = {
        {"", ""},
        {"plain", "plain"},
        {"_x005F_x0041_", "_x0041_"},
        {"x005F_", ""},
        {"x005F_x005F_", ""},
        {"xx005F_005F_", "x005F_"},  // the join is not searched again
        {"ax005Fb", "ax005Fb"},
        {"X005F_x005f_", "X005F_x005f_"},
        {"\xC3\xA9x005F_\xE2\x82\xAC", "\xC3\xA9\xE2\x82\xAC"},
        {"x005F", "x005F"},
    };
    for (const auto& c : cases) {
        std::string s = c.in;
        remove_x005f(s);
        EXPECT_EQ(s, c.out) << c.in;
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
