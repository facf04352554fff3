// libFuzzer target: formula templates over arbitrary bytes. The first four
// bytes pick two cells, the rest is the formula text. Any text must come back
// byte for byte from its own template, and a template built at one cell must
// agree with matches() wherever it is rendered.
#include <ftemplate/template.hpp>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

using namespace brindle;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 4) return 0;
    const std::int64_t row = 1 + data[0] * 4099, col = 1 + data[1] * 71;
    const std::int64_t row2 = data[2] * 4099, col2 = data[3] * 73;  // may leave the sheet
    const std::string_view text(reinterpret_cast<const char*>(data + 4), size - 4);

    const Template t = build(text, row, col);
    std::string out = "prefix";
    if (!render_into(t, row, col, out) || std::string_view(out).substr(6) != text) std::abort();
    if (!matches(t, text, row, col)) std::abort();

    // The second sighting of a shape always yields a template for that cell.
    TemplateTable tt;
    if (tt.template_for(text, row, col)) std::abort();
    const auto idx = tt.template_for(text, row, col);
    if (idx.has_value() != (text.size() >= 4)) std::abort();

    out.clear();
    const bool ok = render_into(t, row2, col2, out);
    // (Rendered elsewhere, a row may grow past seven digits, so the text
    // need not scan to the same shape again; matching is what must hold.)
    if (ok && !matches(t, out, row2, col2)) std::abort();
    return 0;
}
