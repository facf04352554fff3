#include <store/base.hpp>

#include <algorithm>

namespace brindle {

Base::Encoded Base::encode(std::uint8_t kind, std::uint64_t payload) {
    switch (kind) {
        case tag::kInt: {
            const auto v = static_cast<std::int64_t>(payload);
            if (v >= INT32_MIN && v <= INT32_MAX) return {tag::kInt32, static_cast<std::uint32_t>(payload)};
            return {tag::kInt, static_cast<std::uint32_t>(wide.push(payload))};
        }
        case tag::kFloat:
        case tag::kDateInt:
        case tag::kDateFloat:
            return {kind, static_cast<std::uint32_t>(wide.push(payload))};
        case tag::kText: {
            auto [it, added] = wide_intern.try_emplace(payload, 0);
            if (added) it->second = static_cast<std::uint32_t>(wide.push(payload));
            return {tag::kText, it->second};
        }
        default:
            return {kind, static_cast<std::uint32_t>(payload)};
    }
}

Entry Base::decode(std::uint64_t index, std::uint32_t row) const {
    const Rec r = recs[index];
    Entry e;
    e.key = pack_key(row, r.column);
    e.tag = r.tag;
    e.dtype = r.dtype;
    e.style = style_of(index);
    switch (r.tag) {
        case tag::kInt32:
            e.tag = tag::kInt;
            e.payload = static_cast<std::uint64_t>(static_cast<std::int64_t>(static_cast<std::int32_t>(r.payload)));
            break;
        case tag::kInt:
        case tag::kFloat:
        case tag::kText:
        case tag::kDateInt:
        case tag::kDateFloat:
            e.payload = wide[r.payload];
            break;
        default:
            e.payload = r.payload;
    }
    return e;
}

void Base::set_style(std::uint64_t index, std::uint32_t style) {
    if (style >= kStyleOverflow) {
        recs[index].style = kStyleOverflow;
        style_overflow[static_cast<std::uint32_t>(index)] = style;
    } else {
        // A record overwritten with a smaller style must not leave a stale
        // overflow entry behind.
        if (recs[index].style == kStyleOverflow) style_overflow.erase(static_cast<std::uint32_t>(index));
        recs[index].style = static_cast<std::uint16_t>(style);
    }
}

std::uint32_t Base::style_of(std::uint64_t index) const {
    const std::uint16_t s = recs[index].style;
    if (s != kStyleOverflow) return s;
    auto it = style_overflow.find(static_cast<std::uint32_t>(index));
    return it == style_overflow.end() ? kStyleOverflow : it->second;
}

std::optional<RowRange> Base::row_range(std::uint32_t row) const {
    auto it = std::lower_bound(rows.begin(), rows.end(), row);
    if (it == rows.end() || *it != row) return std::nullopt;
    const auto j = static_cast<std::size_t>(it - rows.begin());
    return RowRange{offsets[j], offsets[j + 1]};
}

std::optional<std::uint64_t> Base::find(std::uint32_t row, std::uint32_t col) const {
    if (col > kMaxCompactColumn) return std::nullopt;
    const auto range = row_range(row);
    if (!range) return std::nullopt;
    std::uint64_t lo = range->first, hi = range->end;
    while (lo < hi) {
        const std::uint64_t mid = lo + (hi - lo) / 2;
        if (recs[mid].column < col) lo = mid + 1;
        else hi = mid;
    }
    if (lo < range->end && recs[lo].column == col && recs[lo].tag != tag::kDeleted) return lo;
    return std::nullopt;
}

std::uint32_t Base::row_of(std::uint64_t index) const {
    // offsets[j] <= index < offsets[j + 1]; empty rows never exist.
    auto it = std::upper_bound(offsets.begin(), offsets.end(), static_cast<std::uint32_t>(index));
    return rows[static_cast<std::size_t>(it - offsets.begin()) - 1];
}

bool Base::can_append(std::uint32_t row, std::uint32_t col) const noexcept {
    if (col > kMaxCompactColumn || wide.size() > kMaxWide || recs.size() >= kMaxRecords) return false;
    if (rows.empty() || row > rows.back()) return true;
    return row == rows.back() && col > recs.back().column;
}

void Base::append(std::uint32_t row, std::uint32_t col, std::uint8_t kind, std::uint64_t payload,
                  std::uint32_t style, std::uint8_t dtype) {
    if (rows.empty() || row > rows.back()) {
        if (offsets.empty()) offsets.push_back(0);
        rows.push_back(row);
        offsets.push_back(static_cast<std::uint32_t>(recs.size()));
    }
    const Encoded enc = encode(kind, payload);
    if (style < kStyleOverflow) [[likely]] {
        recs.push(Rec{static_cast<std::uint16_t>(col), enc.tag, dtype, static_cast<std::uint16_t>(style),
                      enc.payload});
    } else {
        const std::uint64_t index =
            recs.push(Rec{static_cast<std::uint16_t>(col), enc.tag, dtype, 0, enc.payload});
        set_style(index, style);
    }
    offsets.back() = static_cast<std::uint32_t>(recs.size());
    ++live;
}

void Base::overwrite(std::uint64_t index, std::uint8_t kind, std::uint64_t payload, std::uint32_t style,
                     std::uint8_t dtype) {
    const Encoded enc = encode(kind, payload);
    Rec& r = recs[index];
    r.tag = enc.tag;
    r.payload = enc.payload;
    r.dtype = dtype;
    set_style(index, style);
}

void Base::clear() {
    rows.clear();
    rows.shrink_to_fit();
    offsets.clear();
    offsets.shrink_to_fit();
    recs.clear();
    wide.clear();
    style_overflow = {};
    wide_intern = {};
    live = 0;
}

void Base::trim() {
    rows.shrink_to_fit();
    offsets.shrink_to_fit();
    recs.trim();
    wide.trim();
    wide_intern = {};
}

}  // namespace brindle
