// The part of the cell store that loading fills: the row index, the packed
// records and the pool of 64-bit values that do not fit a record.
#pragma once

#include <store/chunk_vec.hpp>
#include <store/fx_hash.hpp>
#include <store/record.hpp>

#include <cstdint>
#include <optional>
#include <unordered_map>
#include <vector>

namespace brindle {

// Records [first, end) of one row, in ascending column order.
struct RowRange {
    std::uint64_t first = 0;
    std::uint64_t end = 0;
};

struct Base {
    // While the pool holds more values than this, a pool index would no
    // longer fit a record's payload.
    static constexpr std::uint64_t kMaxWide = 4'294'967'294ULL;
    // Record indexes live in 32-bit row offsets and overflow-map keys.
    static constexpr std::uint64_t kMaxRecords = 0xFFFFFFFFULL;

    std::vector<std::uint32_t> rows;     // strictly ascending
    std::vector<std::uint32_t> offsets;  // rows.size() + 1 entries once a row exists
    ChunkVec<Rec> recs;
    ChunkVec<std::uint64_t> wide;
    std::unordered_map<std::uint32_t, std::uint32_t> style_overflow;       // record index -> style
    std::unordered_map<std::uint64_t, std::uint32_t, FxHash> wide_intern;  // text location -> pool index
    std::uint64_t live = 0;                                                // records whose tag is not kDeleted

    struct Encoded {
        std::uint8_t tag;
        std::uint32_t payload;
    };
    // The record form of a value kind and its 64-bit payload (pushing to the
    // wide pool where needed).
    [[nodiscard]] Encoded encode(std::uint8_t kind, std::uint64_t payload);

    // Record `index`, known to be in `row`, decoded.
    [[nodiscard]] Entry decode(std::uint64_t index, std::uint32_t row) const;

    void set_style(std::uint64_t index, std::uint32_t style);
    [[nodiscard]] std::uint32_t style_of(std::uint64_t index) const;

    [[nodiscard]] std::optional<RowRange> row_range(std::uint32_t row) const;
    // The live record of (row, col), by two bisections.
    [[nodiscard]] std::optional<std::uint64_t> find(std::uint32_t row, std::uint32_t col) const;
    // The row of record `index` (bisection over the offsets).
    [[nodiscard]] std::uint32_t row_of(std::uint64_t index) const;

    // Whether (row, col) can be appended as the next compact record.
    [[nodiscard]] bool can_append(std::uint32_t row, std::uint32_t col) const noexcept;
    // Appends (row, col); can_append must hold.
    void append(std::uint32_t row, std::uint32_t col, std::uint8_t kind, std::uint64_t payload, std::uint32_t style,
                std::uint8_t dtype);
    // Re-encodes record `index` in place with a new value, style and type.
    void overwrite(std::uint64_t index, std::uint8_t kind, std::uint64_t payload, std::uint32_t style,
                   std::uint8_t dtype);

    void clear();
    void trim();
};

}  // namespace brindle
