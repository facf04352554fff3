// Formula templates: a formula text reduced to its literal pieces and its
// cell references relative to the cell that holds it, so that the long runs
// of shifted copies of one formula that worksheets are full of share one
// stored shape and render back to their exact text.
#pragma once

#include <store/fx_hash.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace brindle {

struct Part {
    // clang-format off
    enum Kind : std::uint8_t { kLiteral = 0, kColumn = 1, kRow = 2 };
    // clang-format on
    std::uint8_t kind = kLiteral;
    std::uint8_t absolute = 0;  // kColumn, kRow: "$" form, `value` is the number itself
    std::int64_t value = 0;     // relative: offset from the cell's column or row
    std::string text;           // kLiteral
};

struct Template {
    std::vector<Part> parts;
};

// The hash of the text's shape relative to the cell (row, col): shifted
// copies of one formula hash alike.
[[nodiscard]] std::uint64_t shape_hash(std::string_view text, std::int64_t row, std::int64_t col);

// The template of `text` relative to (row, col), trimmed to size.
[[nodiscard]] Template build(std::string_view text, std::int64_t row, std::int64_t col);

// Appends the text of `t` as it reads in cell (row, col). False when a
// relative reference leaves the sheet (column outside A to ZZZ, row below 1);
// what was appended until then stays in `out`.
[[nodiscard]] bool render_into(const Template& t, std::int64_t row, std::int64_t col, std::string& out);

// Whether `t` rendered for (row, col) exists and is exactly `text`.
[[nodiscard]] bool matches(const Template& t, std::string_view text, std::int64_t row, std::int64_t col);

// The templates of one store, and while it loads, the map from shape hash to
// template index that decides when a shape earns a template.
class TemplateTable {
public:
    // Lookup-map value of a shape seen once that has no template yet.
    static constexpr std::uint32_t kSeenOnce = 0xFFFFFFFF;

    // The template index under which the formula `text` of the cell
    // (row, col) can be stored, if any. The first sighting of a shape only
    // records it; the second builds the template.
    [[nodiscard]] std::optional<std::uint32_t> template_for(std::string_view text, std::int64_t row,
                                                            std::int64_t col);

    [[nodiscard]] bool render(std::uint32_t index, std::int64_t row, std::int64_t col, std::string& out) const {
        return index < list_.size() && render_into(list_[index], row, col, out);
    }

    [[nodiscard]] const Template& operator[](std::uint32_t index) const { return list_[index]; }
    [[nodiscard]] std::size_t size() const noexcept { return list_.size(); }

    // End of loading: the lookup map is no longer needed.
    void finish_loading();
    void clear();

private:
    std::vector<Template> list_;
    std::unordered_map<std::uint64_t, std::uint32_t, FxHash> lookup_;
};

}  // namespace brindle
