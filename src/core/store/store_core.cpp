#include <store/store_core.hpp>

#include <algorithm>

namespace brindle {

std::optional<std::uint64_t> StoreCore::store_text(std::string_view text) {
    if (text.size() >= kMaxTextLen || arena_.size() >= kMaxArena) return std::nullopt;
    const std::uint64_t h = text_hash(text);
    auto [it, added] = text_intern_.try_emplace(h, 0);
    if (!added) {
        const std::uint64_t loc = it->second;
        if (text_length(loc) == text.size() && this->text(loc) == text) return loc;
    }
    // A colliding hash forgets the earlier text; equal texts met later are
    // then copied again, which costs space but never correctness.
    const std::uint64_t loc = (std::uint64_t{arena_.size()} << 24) + text.size();
    arena_.append(text);
    it->second = loc;
    return loc;
}

std::optional<Entry> StoreCore::load_cell(std::uint32_t row, std::uint32_t col, std::uint8_t kind,
                                          std::uint64_t payload, std::uint32_t style, std::uint8_t dtype) {
    if (side_.empty() && base_.can_append(row, col)) {
        base_.append(row, col, kind, payload, style, dtype);
        return std::nullopt;
    }
    const std::uint64_t key = pack_key(row, col);
    const std::optional<Loc> loc = find_key(key);
    if (!loc) {
        push_side(key, SideEntry{key, payload, static_cast<std::int32_t>(style), kind, dtype});
        return std::nullopt;
    }
    // The worksheet repeats a cell: the last value wins, the first position stays.
    Entry old = entry(*loc);
    if (loc->kind == Loc::kSide) {
        SideEntry& e = side_[loc->index];
        e.payload = payload;
        e.style = static_cast<std::int32_t>(style);
        e.tag = kind;
        e.dtype = dtype;
    } else {
        base_.overwrite(loc->index, kind, payload, style, dtype);
    }
    return old;
}

bool StoreCore::keep_as_read(std::uint64_t key, std::uint8_t kind, std::string_view text) {
    if (text.size() >= kMaxAsReadLen || arena_.size() >= kMaxArena) return false;
    const std::uint64_t len = text.size();
    std::uint64_t offset = last_as_read_ >> 24;
    if (as_read_.empty() || (last_as_read_ & 0xFFFF) != len || this->text((offset << 24) | len) != text) {
        offset = arena_.size();
        arena_.append(text);
    }
    last_as_read_ = (offset << 24) | (std::uint64_t{kind} << 16) | len;
    if (!as_read_.empty() && as_read_.back().key >= key) as_read_sorted_ = false;
    as_read_.push(AsReadEntry{key, last_as_read_});
    return true;
}

void StoreCore::forget_as_read(std::uint64_t key) {
    if (as_read_.empty()) return;
    if (!as_read_final_) {
        // Still loading: a marker that wins over what came before when the
        // entries are sorted.
        as_read_sorted_ = false;
        as_read_.push(AsReadEntry{key, 0});
        return;
    }
    const std::uint64_t i = as_read_at(key);
    if (i < as_read_.size() && as_read_[i].key == key) as_read_[i].drop();
}

std::optional<StoreCore::AsRead> StoreCore::as_read(std::uint64_t key) const {
    const std::uint64_t i = as_read_at(key);
    if (i >= as_read_.size() || as_read_[i].key != key || as_read_[i].kind() == 0) return std::nullopt;
    const AsReadEntry& e = as_read_[i];
    const std::uint64_t offset = e.packed >> 24, len = e.packed & 0xFFFF;
    return AsRead{e.kind(), text((offset << 24) | len)};
}

std::uint64_t StoreCore::as_read_at(std::uint64_t key) const noexcept {
    std::uint64_t lo = 0, hi = as_read_.size();
    while (lo < hi) {
        const std::uint64_t mid = lo + (hi - lo) / 2;
        if (as_read_[mid].key < key) lo = mid + 1;
        else hi = mid;
    }
    return lo;
}

void StoreCore::finish_loading() {
    if (!as_read_sorted_) {
        // A repeated cell's entries: the last one loaded wins.
        std::vector<AsReadEntry> all;
        all.reserve(static_cast<std::size_t>(as_read_.size()));
        for (std::uint64_t i = 0; i < as_read_.size(); ++i) all.push_back(as_read_[i]);
        std::stable_sort(all.begin(), all.end(),
                         [](const AsReadEntry& a, const AsReadEntry& b) { return a.key < b.key; });
        as_read_.clear();
        for (std::size_t i = 0; i < all.size(); ++i) {
            if (i + 1 < all.size() && all[i + 1].key == all[i].key) continue;
            if (all[i].kind() != 0) as_read_.push(all[i]);
        }
        as_read_sorted_ = true;
    }
    as_read_.trim();
    as_read_final_ = true;
    base_.trim();
    text_intern_ = {};
    arena_.shrink_to_fit();
    templates_.finish_loading();
    side_.shrink_to_fit();
}

void StoreCore::reset() {
    base_.clear();
    side_.clear();
    side_.shrink_to_fit();
    side_map_ = {};
    arena_.clear();
    arena_.shrink_to_fit();
    // The maps and templates of an earlier (possibly abandoned) load describe
    // an arena that no longer exists.
    text_intern_ = {};
    templates_.clear();
    as_read_.clear();
    as_read_sorted_ = true;
    as_read_final_ = false;
    last_as_read_ = 0;
    live_side_ = 0;
    ++changes_;
}

std::optional<Loc> StoreCore::find_key(std::uint64_t key) const {
    const std::uint32_t row = key_row(key), col = key_col(key);
    if (auto i = base_.find(row, col)) return Loc{Loc::kRecord, row, *i};
    if (auto s = find_side(key)) return Loc{Loc::kSide, 0, *s};
    return std::nullopt;
}

std::optional<std::uint64_t> StoreCore::find_side(std::uint64_t key) const {
    if (side_map_.empty()) return std::nullopt;
    auto it = side_map_.find(key);
    if (it == side_map_.end()) return std::nullopt;
    return it->second;
}

Entry StoreCore::entry(const Loc& loc) const {
    if (loc.kind == Loc::kRecord) return base_.decode(loc.index, loc.row);
    const SideEntry& s = side_[loc.index];
    return Entry{s.key, s.payload, s.style, s.tag, s.dtype};
}

std::uint64_t StoreCore::key_of(const Loc& loc) const {
    if (loc.kind == Loc::kRecord) return pack_key(loc.row, base_.recs[loc.index].column);
    return side_[loc.index].key;
}

std::string_view StoreCore::text(std::uint64_t loc) const noexcept {
    const std::uint64_t off = text_offset(loc), len = text_length(loc);
    if (off > arena_.size() || len > arena_.size() - off) return {};
    return std::string_view(arena_).substr(static_cast<std::size_t>(off), static_cast<std::size_t>(len));
}

void StoreCore::push_side(std::uint64_t key, const SideEntry& e) {
    side_.push_back(e);
    side_.back().key = key;
    side_map_[key] = static_cast<std::uint32_t>(side_.size() - 1);
    ++live_side_;
}

void StoreCore::insert_new(std::uint64_t key, const SideEntry& e) {
    push_side(key, e);
    ++changes_;
}

Entry StoreCore::remove(const Loc& loc) {
    Entry old = entry(loc);
    if (old.tag == tag::kDeleted) return old;  // already gone: nothing to count twice
    if (loc.kind == Loc::kSide) {
        side_[loc.index].tag = tag::kDeleted;
        side_map_.erase(old.key);
        --live_side_;
    } else {
        base_.recs[loc.index].tag = tag::kDeleted;
        --base_.live;
    }
    ++changes_;
    if (!as_read_.empty()) forget_as_read(old.key);
    const std::uint64_t dead = side_.size() - live_side_;
    if (dead > 1023 && dead >= live_side_) compact_side();
    return old;
}

void StoreCore::compact_side() {
    std::size_t n = 0;
    for (const SideEntry& e : side_)
        if (e.tag != tag::kDeleted) side_[n++] = e;
    side_.resize(n);
    side_map_.clear();
    for (std::size_t i = 0; i < n; ++i) side_map_[side_[i].key] = static_cast<std::uint32_t>(i);
}

void StoreCore::set_materialized(const Loc& loc, std::uint32_t slot) {
    // The cell object carries what was read from now on.
    if (!as_read_.empty()) forget_as_read(key_of(loc));
    if (loc.kind == Loc::kSide) {
        side_[loc.index].tag = tag::kCell;
        side_[loc.index].payload = slot;
    } else {
        Rec& r = base_.recs[loc.index];
        r.tag = tag::kCell;
        r.payload = slot;
    }
}

std::vector<Loc> StoreCore::locs() const {
    std::vector<Loc> out;
    out.reserve(static_cast<std::size_t>(size()));
    for (std::size_t j = 0; j < base_.rows.size(); ++j)
        for (std::uint64_t i = base_.offsets[j]; i < base_.offsets[j + 1]; ++i)
            if (base_.recs[i].tag != tag::kDeleted) out.push_back(Loc{Loc::kRecord, base_.rows[j], i});
    for (std::size_t i = 0; i < side_.size(); ++i)
        if (side_[i].tag != tag::kDeleted) out.push_back(Loc{Loc::kSide, 0, i});
    return out;
}

std::vector<std::pair<std::uint64_t, Loc>> StoreCore::gen_sorted() const {
    std::vector<std::pair<std::uint64_t, Loc>> out;
    out.reserve(static_cast<std::size_t>(live_side_));
    for (std::size_t i = 0; i < side_.size(); ++i)
        if (side_[i].tag != tag::kDeleted) out.emplace_back(side_[i].key, Loc{Loc::kSide, 0, i});
    std::sort(out.begin(), out.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    return out;
}

std::optional<Loc> StoreCore::next_loc(KeyCursor& c) const {
    const std::uint64_t nrec = base_.recs.size();
    while (c.pos < nrec) {
        const std::uint64_t i = c.pos++;
        if (base_.recs[i].tag == tag::kDeleted) continue;
        // The hint only moves forward; a stale one is recomputed.
        if (c.row_ix >= base_.rows.size() || base_.offsets[c.row_ix] > i) c.row_ix = 0;
        while (base_.offsets[c.row_ix + 1] <= i) ++c.row_ix;
        return Loc{Loc::kRecord, base_.rows[c.row_ix], i};
    }
    while (c.pos - nrec < side_.size()) {
        const std::uint64_t i = c.pos++ - nrec;
        if (side_[i].tag != tag::kDeleted) return Loc{Loc::kSide, 0, i};
    }
    return std::nullopt;
}

std::optional<Loc> StoreCore::last_loc() const {
    for (std::size_t i = side_.size(); i-- > 0;)
        if (side_[i].tag != tag::kDeleted) return Loc{Loc::kSide, 0, i};
    for (std::uint64_t i = base_.recs.size(); i-- > 0;)
        if (base_.recs[i].tag != tag::kDeleted) return Loc{Loc::kRecord, base_.row_of(i), i};
    return std::nullopt;
}

std::optional<Bounds> StoreCore::bounds() const {
    std::optional<Bounds> b;
    auto add = [&b](std::uint32_t row, std::uint32_t col) {
        if (!b) {
            b = Bounds{row, row, col, col};
            return;
        }
        b->min_row = std::min(b->min_row, row);
        b->max_row = std::max(b->max_row, row);
        b->min_col = std::min(b->min_col, col);
        b->max_col = std::max(b->max_col, col);
    };
    for (std::size_t j = 0; j < base_.rows.size(); ++j)
        for (std::uint64_t i = base_.offsets[j]; i < base_.offsets[j + 1]; ++i)
            if (base_.recs[i].tag != tag::kDeleted) add(base_.rows[j], base_.recs[i].column);
    for (const SideEntry& e : side_)
        if (e.tag != tag::kDeleted) add(key_row(e.key), key_col(e.key));
    return b;
}

std::uint64_t StoreCore::materialized_count() const {
    std::uint64_t n = 0;
    for (std::uint64_t i = 0; i < base_.recs.size(); ++i) n += base_.recs[i].tag == tag::kCell;
    for (const SideEntry& e : side_) n += e.tag == tag::kCell;
    return n;
}

}  // namespace brindle
