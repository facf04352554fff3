// CellStore._row: one row of Worksheet._cells_by_row.
#pragma once

#include <store/py_store.hpp>

#include <cstdint>

namespace brindle {

struct RowRequest {
    std::uint32_t row;
    std::uint32_t min_col;
    std::uint32_t max_col;  // below min_col: an empty row
    bool values_only;
};

// (tuple of cells or values, whether cells were created). A missing cell is
// created as a side entry without style or value; the collector is paused
// while cells are built.
[[nodiscard]] PyResult<PyRef> store_row(PyStore& st, const RowRequest& rq);

}  // namespace brindle
