// How large a worksheet can be (XFD1048576), as the host's limits module has
// it. A file naming a row or cell outside is refused by both readers in the
// same words, because a sheet that took it in could not be saved and read again.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace brindle {

inline constexpr std::int64_t kLastRow = 1'048'576;
inline constexpr std::int64_t kLastColumn = 16'384;

[[nodiscard]] constexpr bool row_in_sheet(std::int64_t row) noexcept { return row > 0 && row <= kLastRow; }

[[nodiscard]] constexpr bool cell_in_sheet(std::int64_t row, std::int64_t column) noexcept {
    return row_in_sheet(row) && column > 0 && column <= kLastColumn;
}

[[nodiscard]] inline std::string row_outside_message(std::int64_t row) {
    return "row " + std::to_string(row) + " outside the rows of a worksheet (1 to 1048576)";
}

[[nodiscard]] inline std::string cell_outside_message(std::string_view ref) {
    std::string m = "cell ";
    m.append(ref);
    m.append(" outside the cells of a worksheet (A1:XFD1048576)");
    return m;
}

}  // namespace brindle
