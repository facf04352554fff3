// libFuzzer target: tokenize and translate arbitrary bytes. The first four
// bytes pick the master cell and the destination, the rest is the formula.
#include <formula/tokenizer.hpp>
#include <formula/translator.hpp>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

using namespace brindle;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 4) return 0;
    const CellPos origin{1 + data[0], 1 + data[1] * 71};
    const CellPos dest{1 + data[2], 1 + data[3] * 71};
    const std::string_view formula(reinterpret_cast<const char*>(data + 4), size - 4);

    auto t = Translator::make(formula, origin);
    if (!t) {
        if (t.error().kind == FormulaErrorKind::Translator) std::abort();  // only moves fail so
        return 0;
    }
    // Unmoved, every reference is the master's own: nothing can leave the sheet.
    if (!t->translate(std::nullopt) || !t->check(std::nullopt)) std::abort();

    std::string out = "prefix";
    auto moved = t->translate_into(dest, out);
    if (moved.has_value() != t->check(dest).has_value()) std::abort();
    if (!moved && moved.error().kind != FormulaErrorKind::Translator) std::abort();
    if (!std::string_view(out).starts_with("prefix")) std::abort();
    return 0;
}
