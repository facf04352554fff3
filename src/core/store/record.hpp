// The packed cell record, value tags, data-type codes and the small value
// types through which the store reports cells.
#pragma once

#include <sheet/data_type.hpp>

#include <cstdint>

namespace brindle {

// Value tags, shared by records, side entries and decoded entries.
namespace tag {
inline constexpr std::uint8_t kDeleted = 0;
inline constexpr std::uint8_t kCell = 1;  // materialised: object-table slot
inline constexpr std::uint8_t kNone = 2;
inline constexpr std::uint8_t kInt = 3;    // record: wide-pool index; decoded: the value
inline constexpr std::uint8_t kFloat = 4;  // decoded: IEEE-754 bits
inline constexpr std::uint8_t kBool = 5;
inline constexpr std::uint8_t kSharedString = 6;
inline constexpr std::uint8_t kText = 7;           // decoded: text location
inline constexpr std::uint8_t kSharedFormula = 8;  // translated to the cell's own position
inline constexpr std::uint8_t kSharedMaster = 9;   // rendered with zero offsets
inline constexpr std::uint8_t kDateInt = 10;       // decoded: the serial
inline constexpr std::uint8_t kDateFloat = 11;     // decoded: the serial's bits
inline constexpr std::uint8_t kObject = 12;        // object-table slot
inline constexpr std::uint8_t kTemplate = 13;      // template index
inline constexpr std::uint8_t kInt32 = 100;        // records only: the value inline
}  // namespace tag

// Data-type codes below kDtCount are the parser's (sheet/data_type.hpp);
// custom data types take kCustomBase + their position in the store's list,
// which holds at most kMaxCustomTypes objects.
namespace dtype {
inline constexpr std::uint8_t kCustomBase = kDtCount;
inline constexpr std::uint32_t kMaxCustomTypes = 248;
}  // namespace dtype

// The style field's marker for a style held in the overflow map.
inline constexpr std::uint16_t kStyleOverflow = 0xFFFF;
// The largest column a record can hold.
inline constexpr std::uint32_t kMaxCompactColumn = 0xFFFF;

struct [[gnu::packed]] Rec {
    std::uint16_t column;
    std::uint8_t tag;
    std::uint8_t dtype;
    std::uint16_t style;
    std::uint32_t payload;
};
static_assert(sizeof(Rec) == 10);

[[nodiscard]] constexpr std::uint64_t pack_key(std::uint32_t row, std::uint32_t col) noexcept {
    return (std::uint64_t{row} << 32) | col;
}
[[nodiscard]] constexpr std::uint32_t key_row(std::uint64_t key) noexcept { return static_cast<std::uint32_t>(key >> 32); }
[[nodiscard]] constexpr std::uint32_t key_col(std::uint64_t key) noexcept { return static_cast<std::uint32_t>(key); }

// A text's place in the arena: offset in the upper 40 bits, length in the
// lower 24.
[[nodiscard]] constexpr std::uint64_t text_offset(std::uint64_t loc) noexcept { return loc >> 24; }
[[nodiscard]] constexpr std::uint64_t text_length(std::uint64_t loc) noexcept { return loc & 0xFFFFFF; }

// A cell that is not a compact record.
struct SideEntry {
    std::uint64_t key = 0;
    std::uint64_t payload = 0;      // undecoded: a text location, a float's bits, a slot ...
    std::int32_t style = -1;        // -1: none
    std::uint8_t tag = tag::kNone;  // never kInt32; kDeleted once removed
    std::uint8_t dtype = kDtN;
};

// Where a live cell is.
struct Loc {
    // clang-format off
    enum : std::uint32_t { kRecord = 0, kSide = 1 };
    // clang-format on
    std::uint32_t kind = kRecord;
    std::uint32_t row = 0;    // kRecord only
    std::uint64_t index = 0;  // record index or side-entry index

    friend bool operator==(const Loc&, const Loc&) = default;
};

// A decoded cell: what every reader of the store works on.
struct Entry {
    std::uint64_t key = 0;
    std::uint64_t payload = 0;      // the wide value for pooled tags, the value for kInt
    std::int64_t style = -1;        // -1: none
    std::uint8_t tag = tag::kNone;  // kInt32 reads as kInt
    std::uint8_t dtype = kDtN;

    [[nodiscard]] std::uint32_t row() const noexcept { return key_row(key); }
    [[nodiscard]] std::uint32_t col() const noexcept { return key_col(key); }
    // Whether releasing this entry's payload releases an object-table slot.
    [[nodiscard]] bool holds_object() const noexcept { return tag == tag::kCell || tag == tag::kObject; }
};

}  // namespace brindle
