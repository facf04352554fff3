// The plain store core: record encoding, placement of loaded cells, the key
// index, removal and the walks the binding builds on.
#include <store/chunk_vec.hpp>
#include <store/obj_table.hpp>
#include <store/store_core.hpp>

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <memory>
#include <string>
#include <vector>

namespace brindle {
namespace {

std::uint64_t bits(double d) { return std::bit_cast<std::uint64_t>(d); }
std::uint64_t i64(std::int64_t v) { return static_cast<std::uint64_t>(v); }

TEST(FxHash, KnownValues) {
    // Computed independently of this code.
    FxHasher h;
    h.write(42);
    EXPECT_EQ(h.finish(), 0x255858394b61ab76ULL);
    EXPECT_EQ(text_hash(""), 0u);
    EXPECT_EQ(text_hash("hello"), 0x6a20d7c94fe2b70fULL);
    EXPECT_EQ(text_hash("0123456789abcdef!"), 0x3f38ebf2fccf225cULL);
}

TEST(ChunkVec, ChunksNeverMoveAndTrimKeepsValues) {
    ChunkVec<std::uint64_t> v;
    v.push(7);
    const std::uint64_t* first = &v[0];
    for (std::uint64_t i = 1; i <= 65'536; ++i) EXPECT_EQ(v.push(i * 3), i);
    EXPECT_EQ(&v[0], first);
    EXPECT_EQ(v.size(), 65'537u);
    EXPECT_EQ(v[65'535], 65'535u * 3);
    EXPECT_EQ(v[65'536], 65'536u * 3);
    v.trim();
    EXPECT_EQ(v.capacity_bytes(), 65'537u * sizeof(std::uint64_t));
    // Growing again after a trim restores a full chunk.
    for (std::uint64_t i = 0; i < 70'000; ++i) v.push(i);
    EXPECT_EQ(v[65'536], 65'536u * 3);
    EXPECT_EQ(v[65'537], 0u);
    EXPECT_EQ(v.back(), 69'999u);
}

struct Counted {
    static inline int alive = 0;
    int v;
    explicit Counted(int x) : v(x) { ++alive; }
    Counted(Counted&& o) noexcept : v(o.v) { ++alive; }
    Counted& operator=(Counted&&) = delete;
    ~Counted() { --alive; }
};

TEST(ObjTable, RecyclesTheLastFreedSlotAndOwnsItsObjects) {
    Counted::alive = 0;
    {
        ObjTable<Counted> t;
        EXPECT_EQ(t.put(Counted(1)), 0u);
        EXPECT_EQ(t.put(Counted(2)), 1u);
        EXPECT_EQ(t.put(Counted(3)), 2u);
        t.drop(0);
        t.drop(2);
        EXPECT_EQ(Counted::alive, 1);
        EXPECT_EQ(t.get(0), nullptr);
        EXPECT_EQ(t.put(Counted(4)), 2u);
        EXPECT_EQ(t.put(Counted(5)), 0u);
        EXPECT_EQ(t.put(Counted(6)), 3u);
        EXPECT_EQ(t.get(0)->v, 5);
        t.drop(7);  // unknown slots are ignored
        t.drop(1);
        t.drop(1);  // and so is a second drop
        EXPECT_EQ(t.live(), 3u);
        auto taken = t.take(2);
        ASSERT_TRUE(taken);
        EXPECT_EQ(taken->v, 4);
        EXPECT_EQ(t.put(Counted(8)), 2u);
        t.clear();
        EXPECT_EQ(t.live(), 0u);
    }
    EXPECT_EQ(Counted::alive, 0);
}

struct Value {
    std::uint8_t kind;
    std::uint64_t payload;
};

// One of every value kind, with the edges of the inline integer range.
std::vector<Value> sample_values(StoreCore& s) {
    return {
        {tag::kNone, 0},
        {tag::kInt, i64(0)},
        {tag::kInt, i64(INT32_MAX)},
        {tag::kInt, i64(INT32_MIN)},
        {tag::kInt, i64(std::int64_t{INT32_MAX} + 1)},
        {tag::kInt, i64(std::int64_t{INT32_MIN} - 1)},
        {tag::kInt, i64(INT64_MAX)},
        {tag::kInt, i64(INT64_MIN)},
        {tag::kFloat, bits(-0.0)},
        {tag::kFloat, bits(1e308)},
        {tag::kFloat, bits(std::numeric_limits<double>::quiet_NaN())},
        {tag::kBool, 1},
        {tag::kSharedString, 0xFFFFFFFFu},
        {tag::kText, *s.store_text("héllo")},
        {tag::kText, *s.store_text("")},
        {tag::kSharedFormula, 3},
        {tag::kSharedMaster, 4},
        {tag::kDateInt, i64(-5)},
        {tag::kDateFloat, bits(0.25)},
        {tag::kObject, 9},
        {tag::kTemplate, 2},
        {tag::kCell, 11},
    };
}

void expect_entry(const StoreCore& s, std::uint32_t row, std::uint32_t col, const Value& v, std::int64_t style,
                  std::uint8_t dt, std::uint32_t loc_kind) {
    auto loc = s.find_key(pack_key(row, col));
    ASSERT_TRUE(loc) << row << "," << col;
    EXPECT_EQ(loc->kind, loc_kind);
    const Entry e = s.entry(*loc);
    EXPECT_EQ(e.key, pack_key(row, col));
    EXPECT_EQ(e.tag, v.kind);
    EXPECT_EQ(e.payload, v.payload) << "kind " << int(v.kind);
    EXPECT_EQ(e.style, style);
    EXPECT_EQ(e.dtype, dt);
}

TEST(StoreCore, EveryValueKindRoundTripsAsRecordAndAsSideEntry) {
    StoreCore s;
    const auto values = sample_values(s);
    for (std::uint32_t i = 0; i < values.size(); ++i)
        EXPECT_FALSE(s.load_cell(5, i + 1, values[i].kind, values[i].payload, i, static_cast<std::uint8_t>(i % 9)));
    // An earlier row turns everything from here on into side entries.
    for (std::uint32_t i = 0; i < values.size(); ++i)
        EXPECT_FALSE(s.load_cell(2, i + 1, values[i].kind, values[i].payload, 70'000 + i, 200));
    EXPECT_EQ(s.live_compact(), values.size());
    EXPECT_EQ(s.live_side(), values.size());
    for (std::uint32_t i = 0; i < values.size(); ++i) {
        expect_entry(s, 5, i + 1, values[i], i, static_cast<std::uint8_t>(i % 9), Loc::kRecord);
        expect_entry(s, 2, i + 1, values[i], 70'000 + i, 200, Loc::kSide);
    }
}

TEST(StoreCore, SmallIntegersStayInTheRecord) {
    StoreCore s;
    const std::int64_t ints[] = {INT32_MAX, INT32_MIN, -1, std::int64_t{INT32_MAX} + 1, std::int64_t{INT32_MIN} - 1};
    for (std::uint32_t i = 0; i < 5; ++i) (void)s.load_cell(1, i + 1, tag::kInt, i64(ints[i]), 0, 0);
    const char expected[] = {tag::kInt32, tag::kInt32, tag::kInt32, tag::kInt, tag::kInt};
    for (std::uint32_t i = 0; i < 5; ++i) EXPECT_EQ(s.record(i).tag, expected[i]);
    EXPECT_EQ(s.base().wide.size(), 2u);
}

TEST(StoreCore, EqualTextsShareOneCopyAndOnePoolSlot) {
    StoreCore s;
    const auto a = *s.store_text("shared text");
    const auto e = *s.store_text("");
    const auto b = *s.store_text("shared text");
    EXPECT_EQ(a, b);
    EXPECT_EQ(text_length(e), 0u);
    EXPECT_EQ(s.arena_bytes(), 11u);
    EXPECT_EQ(s.text(a), "shared text");
    (void)s.load_cell(1, 1, tag::kText, a, 0, 1);
    (void)s.load_cell(1, 2, tag::kText, b, 0, 1);
    (void)s.load_cell(2, 1, tag::kText, *s.store_text("other"), 0, 1);
    EXPECT_EQ(s.record(0).payload, s.record(1).payload);
    EXPECT_EQ(s.base().wide.size(), 2u);
    EXPECT_EQ(s.text(s.entry(*s.find_key(pack_key(2, 1))).payload), "other");
}

TEST(StoreCore, VeryLongTextsAreLeftToTheCaller) {
    StoreCore s;
    std::string t(StoreCore::kMaxTextLen, 'x');
    EXPECT_FALSE(s.store_text(t));
    t.pop_back();
    const auto loc = s.store_text(t);
    ASSERT_TRUE(loc);
    EXPECT_EQ(text_length(*loc), t.size());
    EXPECT_EQ(s.text(*loc), t);
}

TEST(StoreCore, LargeStylesGoThroughTheOverflowMap) {
    StoreCore s;
    (void)s.load_cell(1, 1, tag::kNone, 0, 65'534, 0);
    (void)s.load_cell(1, 2, tag::kNone, 0, 65'535, 0);
    (void)s.load_cell(1, 3, tag::kNone, 0, 1'000'000, 0);
    EXPECT_EQ(s.record(0).style, 65'534);
    EXPECT_EQ(s.record(1).style, kStyleOverflow);
    EXPECT_EQ(s.entry(*s.find_key(pack_key(1, 2))).style, 65'535);
    EXPECT_EQ(s.entry(*s.find_key(pack_key(1, 3))).style, 1'000'000);
    // A repeated cell with a small style drops the overflow entry.
    (void)s.load_cell(1, 2, tag::kNone, 0, 4, 0);
    EXPECT_EQ(s.entry(*s.find_key(pack_key(1, 2))).style, 4);
    EXPECT_EQ(s.base().style_overflow.size(), 1u);
}

TEST(StoreCore, RecordsAcrossTheChunkBoundary) {
    StoreCore s;
    const std::uint32_t n = 65'537 + 10;
    for (std::uint32_t i = 0; i < n; ++i)
        (void)s.load_cell(i / 100 + 1, i % 100 + 1, tag::kInt, i64(std::int64_t{i} * 100'000), i % 70'000, 0);
    s.finish_loading();
    EXPECT_EQ(s.size(), n);
    for (std::uint32_t i : {0u, 65'535u, 65'536u, 65'537u, n - 1}) {
        const Entry e = s.entry(*s.find_key(pack_key(i / 100 + 1, i % 100 + 1)));
        EXPECT_EQ(e.payload, i64(std::int64_t{i} * 100'000)) << i;
        EXPECT_EQ(e.style, i % 70'000);
    }
}

TEST(StoreCore, OutOfOrderCellsBecomeSideEntriesInDocumentOrder) {
    StoreCore s;
    (void)s.load_cell(5, 1, tag::kBool, 1, 0, 3);
    (void)s.load_cell(5, 4, tag::kBool, 0, 0, 3);
    (void)s.load_cell(3, 2, tag::kInt, 32, 0, 0);
    (void)s.load_cell(6, 1, tag::kInt, 61, 0, 0);  // in order, but a side entry exists
    (void)s.load_cell(6, 2, tag::kInt, 62, 0, 0);
    (void)s.load_cell(5, 3, tag::kInt, 53, 0, 0);  // same row, smaller column
    EXPECT_EQ(s.live_compact(), 2u);
    EXPECT_EQ(s.live_side(), 4u);
    std::vector<std::uint64_t> keys;
    for (const Loc& l : s.locs()) keys.push_back(s.key_of(l));
    const std::vector<std::uint64_t> want = {pack_key(5, 1), pack_key(5, 4), pack_key(3, 2),
                                             pack_key(6, 1), pack_key(6, 2), pack_key(5, 3)};
    EXPECT_EQ(keys, want);
    std::vector<std::uint64_t> sorted;
    for (const auto& [k, l] : s.gen_sorted()) {
        EXPECT_EQ(s.key_of(l), k);
        sorted.push_back(k);
    }
    EXPECT_EQ(sorted, (std::vector<std::uint64_t>{pack_key(3, 2), pack_key(5, 3), pack_key(6, 1), pack_key(6, 2)}));
    EXPECT_EQ(s.changes(), 0u);  // loading counts no changes
}

TEST(StoreCore, ARepeatedCellKeepsItsPlaceAndTakesTheLastValue) {
    StoreCore s;
    (void)s.load_cell(1, 1, tag::kObject, 4, 0, 0);
    (void)s.load_cell(1, 2, tag::kInt, 12, 0, 0);
    auto old = s.load_cell(1, 1, tag::kFloat, bits(2.5), 70'000, 4);  // compact record repeated
    ASSERT_TRUE(old);
    EXPECT_TRUE(old->holds_object());
    EXPECT_EQ(old->payload, 4u);
    (void)s.load_cell(1, 70'000, tag::kInt, 1, 0, 0);
    old = s.load_cell(1, 70'000, tag::kText, *s.store_text("again"), 2, 1);  // side entry repeated
    ASSERT_TRUE(old);
    EXPECT_EQ(old->payload, 1u);
    EXPECT_EQ(s.size(), 3u);
    const auto locs = s.locs();
    ASSERT_EQ(locs.size(), 3u);
    EXPECT_EQ(s.key_of(locs[0]), pack_key(1, 1));
    expect_entry(s, 1, 1, {tag::kFloat, bits(2.5)}, 70'000, 4, Loc::kRecord);
    EXPECT_EQ(s.text(s.entry(locs[2]).payload), "again");
}

TEST(StoreCore, WideColumnsAndEverythingAfterThemAreSideEntries) {
    StoreCore s;
    (void)s.load_cell(1, 65'535, tag::kNone, 0, 0, 0);
    (void)s.load_cell(1, 70'000, tag::kNone, 0, 0, 0);
    (void)s.load_cell(2, 1, tag::kNone, 0, 0, 0);
    EXPECT_EQ(s.live_compact(), 1u);
    EXPECT_EQ(s.find_key(pack_key(1, 70'000))->kind, Loc::kSide);
    EXPECT_EQ(s.find_key(pack_key(2, 1))->kind, Loc::kSide);
    EXPECT_FALSE(s.find_key(pack_key(1, 70'001)));
    EXPECT_FALSE(s.find_key(pack_key(1, 70'000 - 65'536)));  // not mistaken for a 16-bit column
    EXPECT_EQ(s.bounds(), (Bounds{1, 2, 1, 70'000}));
}

TEST(StoreCore, RemovalCompactsSideEntriesOnceMostAreDead) {
    StoreCore s;
    (void)s.load_cell(1, 1, tag::kNone, 0, 0, 0);
    s.finish_loading();
    const std::uint64_t c0 = s.changes();
    for (std::uint32_t i = 0; i < 1'500; ++i) s.insert_new(pack_key(10 + i, 3), SideEntry{0, i, -1, tag::kInt, 0});
    EXPECT_EQ(s.changes(), c0 + 1'500);
    // Every even key first, then odd ones until 1,024 are gone.
    std::vector<std::uint32_t> order;
    for (std::uint32_t i = 0; i < 1'500; i += 2) order.push_back(i);
    for (std::uint32_t i = 1; order.size() < 1'024; i += 2) order.push_back(i);
    for (std::size_t n = 0; n < order.size(); ++n) {
        const Entry old = s.remove(*s.find_key(pack_key(10 + order[n], 3)));
        EXPECT_EQ(old.payload, order[n]);
        if (n + 1 == 1'023) {
            EXPECT_EQ(s.side_total(), 1'500u);  // not yet
        }
    }
    EXPECT_EQ(s.live_side(), 476u);
    EXPECT_EQ(s.side_total(), 476u);
    std::vector<bool> gone(1'500);
    for (auto i : order) gone[i] = true;
    std::vector<std::uint64_t> want = {pack_key(1, 1)};
    for (std::uint32_t i = 0; i < 1'500; ++i) {
        auto loc = s.find_key(pack_key(10 + i, 3));
        EXPECT_EQ(bool(loc), !gone[i]) << i;
        if (loc) {
            EXPECT_EQ(s.entry(*loc).payload, i);
            want.push_back(pack_key(10 + i, 3));
        }
    }
    std::vector<std::uint64_t> keys;
    for (const Loc& l : s.locs()) keys.push_back(s.key_of(l));
    EXPECT_EQ(keys, want);
}

TEST(StoreCore, WalksSkipDeletedCellsAndAgree) {
    StoreCore s;
    for (std::uint32_t r = 1; r <= 4; ++r)
        for (std::uint32_t c = 1; c <= 3; ++c) (void)s.load_cell(r, c, tag::kInt, r * 10 + c, 0, 0);
    s.finish_loading();
    s.insert_new(pack_key(0, 5), SideEntry{0, 0, -1, tag::kNone, 0});
    s.insert_new(pack_key(2, 9), SideEntry{0, 0, -1, tag::kNone, 0});
    (void)s.remove(*s.find_key(pack_key(2, 1)));
    (void)s.remove(*s.find_key(pack_key(3, 1)));
    (void)s.remove(*s.find_key(pack_key(3, 2)));
    (void)s.remove(*s.find_key(pack_key(3, 3)));  // a row with no live record left
    (void)s.remove(*s.find_key(pack_key(0, 5)));
    EXPECT_FALSE(s.find_key(pack_key(3, 2)));
    const auto locs = s.locs();
    EXPECT_EQ(locs.size(), s.size());
    KeyCursor c;
    std::vector<Loc> walked;
    while (auto l = s.next_loc(c)) walked.push_back(*l);
    EXPECT_EQ(walked, locs);
    EXPECT_EQ(s.key_of(locs.back()), pack_key(2, 9));
    EXPECT_EQ(*s.last_loc(), locs.back());
    (void)s.remove(locs.back());
    EXPECT_EQ(s.key_of(*s.last_loc()), pack_key(4, 3));
    EXPECT_EQ(s.last_loc()->row, 4u);
    EXPECT_EQ(s.bounds(), (Bounds{1, 4, 1, 3}));
    // A deleted key set again goes to the end of the order.
    s.insert_new(pack_key(2, 1), SideEntry{0, 7, -1, tag::kInt, 0});
    EXPECT_EQ(s.key_of(s.locs().back()), pack_key(2, 1));
    auto range = s.row_range(2);
    ASSERT_TRUE(range);
    EXPECT_EQ(range->end - range->first, 3u);
    EXPECT_EQ(s.record(range->first).tag, tag::kDeleted);
}

TEST(StoreCore, MaterialisingPatchesOnlyTagAndPayload) {
    StoreCore s;
    (void)s.load_cell(1, 1, tag::kInt, i64(INT64_MAX), 70'000, 6);
    (void)s.load_cell(1, 1'000'000, tag::kText, *s.store_text("t"), 3, 1);
    s.finish_loading();
    const std::uint64_t c0 = s.changes();
    for (const Loc& l : s.locs()) s.set_materialized(l, 17);
    EXPECT_EQ(s.materialized_count(), 2u);
    expect_entry(s, 1, 1, {tag::kCell, 17}, 70'000, 6, Loc::kRecord);
    expect_entry(s, 1, 1'000'000, {tag::kCell, 17}, 3, 1, Loc::kSide);
    EXPECT_EQ(s.changes(), c0);
}

TEST(StoreCore, ResetEmptiesEverythingAndCountsAChange) {
    StoreCore s;
    (void)s.load_cell(1, 1, tag::kText, *s.store_text("abc"), 0, 0);
    (void)s.load_cell(1, 99'999, tag::kNone, 0, 0, 0);
    (void)s.template_for("B2*2", 2, 3);
    EXPECT_TRUE(s.template_for("B3*2", 3, 3));
    const std::uint64_t c0 = s.changes();
    s.reset();
    EXPECT_EQ(s.changes(), c0 + 1);
    EXPECT_EQ(s.size(), 0u);
    EXPECT_EQ(s.arena_bytes(), 0u);
    EXPECT_EQ(s.template_count(), 0u);
    EXPECT_FALSE(s.find_key(pack_key(1, 1)));
    EXPECT_FALSE(s.bounds());
    EXPECT_FALSE(s.last_loc());
    // No stale intern entries: the text is copied into the new arena, and a
    // shape seen before the reset counts as new.
    EXPECT_EQ(*s.store_text("abc"), 3u);
    EXPECT_EQ(s.arena_bytes(), 3u);
    EXPECT_FALSE(s.template_for("B4*2", 4, 3));
}

}  // namespace
}  // namespace brindle
