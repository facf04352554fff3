// The plain core of a worksheet's cell store: packed records, side entries
// for cells the compact form cannot take, the text arena and the formula
// templates. Python objects never live here: payloads of tags kCell and
// kObject are slots of the binding's ObjTable, and every operation that
// lets go of a payload hands the old entry back so that the binding can
// release its object.
#pragma once

#include <ftemplate/template.hpp>
#include <store/base.hpp>
#include <store/chunk_vec.hpp>
#include <store/fx_hash.hpp>
#include <store/record.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace brindle {

// Min and max row and column over the live cells.
struct Bounds {
    std::uint32_t min_row, max_row, min_col, max_col;
    friend bool operator==(const Bounds&, const Bounds&) = default;
};

// Position of a key walk: records first, then side entries.
struct KeyCursor {
    std::uint64_t pos = 0;
    std::size_t row_ix = 0;  // hint: the row list entry of the record at `pos`
};

class StoreCore {
public:
    // Texts this long or longer, or arriving when the arena is this large,
    // become objects instead.
    static constexpr std::uint64_t kMaxTextLen = std::uint64_t{1} << 24;
    static constexpr std::uint64_t kMaxArena = std::uint64_t{1} << 40;

    // ---- loading

    // The arena location of `text` (one copy per distinct text), or nothing
    // when the text must be kept as an object (tag kObject) instead.
    [[nodiscard]] std::optional<std::uint64_t> store_text(std::string_view text);

    // The template index for the formula text of a cell with data type "f".
    [[nodiscard]] std::optional<std::uint32_t> template_for(std::string_view text, std::uint32_t row,
                                                            std::uint32_t col) {
        return templates_.template_for(text, row, col);
    }

    // Stores one loaded cell. `kind` and `payload` are a value tag (never
    // kInt32 or kDeleted) and its 64-bit payload; `style` must be below 2^31.
    // Cells arriving in (row, column) order become compact records; the rest
    // become side entries. A cell that is already present is overwritten in
    // place and keeps its position: the old entry is returned so that its
    // object, if any, can be released.
    [[nodiscard]] std::optional<Entry> load_cell(std::uint32_t row, std::uint32_t col, std::uint8_t kind,
                                                 std::uint64_t payload, std::uint32_t style, std::uint8_t dtype);

    // Keeps, beside the cell `key` just loaded, what its <v> held (an
    // as_read kind below 256 and the text); cells without such an entry are
    // written from their values alone. False, keeping nothing, for a text
    // of kMaxAsReadLen bytes or more or a full arena.
    static constexpr std::size_t kMaxAsReadLen = 0xFFFF;
    [[nodiscard]] bool keep_as_read(std::uint64_t key, std::uint8_t kind, std::string_view text);
    // Drops the entry of `key`, if any: the cell was loaded again, changed
    // or removed.
    void forget_as_read(std::uint64_t key);

    // End of loading: drops the loading maps and trims the storage.
    void finish_loading();

    // Empties everything, including the template list and every intern map,
    // and counts as a change. The binding empties its object table with it.
    void reset();

    // ---- lookups

    [[nodiscard]] std::optional<Loc> find_key(std::uint64_t key) const;
    [[nodiscard]] Entry entry(const Loc& loc) const;
    [[nodiscard]] std::uint64_t key_of(const Loc& loc) const;
    // The bytes of a text location (valid until the next text is stored).
    [[nodiscard]] std::string_view text(std::uint64_t loc) const noexcept;
    [[nodiscard]] bool render_template(std::uint32_t index, std::uint32_t row, std::uint32_t col,
                                       std::string& out) const {
        return templates_.render(index, row, col, out);
    }

    // What `key` keeps as read: its as_read kind and text.
    struct AsRead {
        std::uint8_t kind;
        std::string_view text;
    };
    [[nodiscard]] bool has_as_read() const noexcept { return !as_read_.empty(); }
    // The position of the first entry whose key is not below `key`.
    [[nodiscard]] std::uint64_t as_read_at(std::uint64_t key) const noexcept;
    [[nodiscard]] std::optional<AsRead> as_read(std::uint64_t key) const;

    // The records of one row, walkable in column order with record().
    [[nodiscard]] std::optional<RowRange> row_range(std::uint32_t row) const { return base_.row_range(row); }
    [[nodiscard]] const Rec& record(std::uint64_t index) const noexcept { return base_.recs[index]; }
    // The live side entry of `key`.
    [[nodiscard]] std::optional<std::uint64_t> find_side(std::uint64_t key) const;

    // ---- changes after loading

    // Appends a side entry for a key that is not present.
    void insert_new(std::uint64_t key, const SideEntry& e);
    // Deletes the cell at `loc` and returns what it held.
    Entry remove(const Loc& loc);
    // Turns `loc` into a materialised cell held in object slot `slot`; style,
    // data type and position stay.
    void set_materialized(const Loc& loc, std::uint32_t slot);

    // ---- walks

    // Every live cell: records by (row, column), then side entries in the
    // order they were added.
    [[nodiscard]] std::vector<Loc> locs() const;
    // The live side entries by ascending key.
    [[nodiscard]] std::vector<std::pair<std::uint64_t, Loc>> gen_sorted() const;
    // The next live cell at or after the cursor in locs() order, advancing
    // the cursor past it.
    [[nodiscard]] std::optional<Loc> next_loc(KeyCursor& c) const;
    // The last live cell in locs() order.
    [[nodiscard]] std::optional<Loc> last_loc() const;
    [[nodiscard]] std::optional<Bounds> bounds() const;

    // ---- counters

    [[nodiscard]] std::uint64_t size() const noexcept { return base_.live + live_side_; }
    [[nodiscard]] std::uint64_t live_compact() const noexcept { return base_.live; }
    [[nodiscard]] std::uint64_t live_side() const noexcept { return live_side_; }
    [[nodiscard]] std::uint64_t changes() const noexcept { return changes_; }
    [[nodiscard]] std::uint64_t materialized_count() const;
    [[nodiscard]] std::size_t template_count() const noexcept { return templates_.size(); }
    [[nodiscard]] std::uint64_t arena_bytes() const noexcept { return arena_.size(); }
    [[nodiscard]] std::uint64_t side_total() const noexcept { return side_.size(); }

    [[nodiscard]] const Base& base() const noexcept { return base_; }
    [[nodiscard]] const TemplateTable& templates() const noexcept { return templates_; }
    [[nodiscard]] const SideEntry& side(std::uint64_t index) const noexcept { return side_[index]; }

private:
    Base base_;
    std::vector<SideEntry> side_;
    std::unordered_map<std::uint64_t, std::uint32_t, FxHash> side_map_;  // live entries only
    std::string arena_;
    std::unordered_map<std::uint64_t, std::uint64_t, FxHash> text_intern_;  // text hash -> location
    TemplateTable templates_;
    // PERF: formula cells (and the rare lossy numbers) only, so plain cells
    // cost nothing, in 16 bytes each: the text's arena offset (upper 40
    // bits), kind (8 bits) and length (16 bits) in one word; sorted by key
    // once loaded (loading appends in document order), kind 0 marks an entry
    // dropped since. Texts are not interned (no map while loading): only a
    // run of equal results shares one copy.
    struct AsReadEntry {
        std::uint64_t key;
        std::uint64_t packed;
        [[nodiscard]] std::uint8_t kind() const noexcept { return static_cast<std::uint8_t>(packed >> 16); }
        void drop() noexcept { packed &= ~(std::uint64_t{0xFF} << 16); }
    };
    std::uint64_t last_as_read_ = 0;  // the packed word of the last text kept
    // Chunked: growing it never leaves a doubled copy behind.
    ChunkVec<AsReadEntry> as_read_;
    bool as_read_sorted_ = true;  // while loading: appended in ascending key order
    bool as_read_final_ = false;  // loaded: sorted, and changed in place only
    std::uint64_t live_side_ = 0;
    std::uint64_t changes_ = 0;

    void push_side(std::uint64_t key, const SideEntry& e);
    void compact_side();
};

}  // namespace brindle
