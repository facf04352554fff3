// The store's table of owned objects, with recycled slots. A template so that
// the plain core stays free of the interpreter: the binding instantiates it
// with its owning reference type, the tests with anything movable.
#pragma once

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

namespace brindle {

template <class T>
class ObjTable {
public:
    // Stores `v` and returns its slot: the most recently freed slot if any,
    // else a new one. Whatever a recycled slot still held is destroyed only
    // after the table is consistent again, since destroying an object may run
    // code that looks at the table.
    std::uint32_t put(T v) {
        if (!free_.empty()) {
            const std::uint32_t slot = free_.back();
            free_.pop_back();
            std::optional<T> old = vacate(slot);
            slots_[slot].emplace(std::move(v));
            ++live_;
            return slot;  // `old` dies here, after the table is updated
        }
        slots_.emplace_back(std::move(v));
        ++live_;
        return static_cast<std::uint32_t>(slots_.size() - 1);
    }

    // Clears the slot and makes it the next one `put` reuses. Dropping an
    // empty or unknown slot does nothing.
    void drop(std::uint32_t slot) {
        if (slot >= slots_.size() || !slots_[slot]) return;
        std::optional<T> old = vacate(slot);
        free_.push_back(slot);
        --live_;
    }

    // Moves the object out and frees the slot.
    [[nodiscard]] std::optional<T> take(std::uint32_t slot) {
        if (slot >= slots_.size() || !slots_[slot]) return std::nullopt;
        std::optional<T> v = vacate(slot);
        free_.push_back(slot);
        --live_;
        return v;
    }

    [[nodiscard]] T* get(std::uint32_t slot) noexcept {
        return slot < slots_.size() && slots_[slot] ? &*slots_[slot] : nullptr;
    }
    [[nodiscard]] const T* get(std::uint32_t slot) const noexcept {
        return slot < slots_.size() && slots_[slot] ? &*slots_[slot] : nullptr;
    }

    // Empties the table. The objects are destroyed after the table is already
    // empty, for the same reason as in `put`.
    void clear() {
        std::vector<std::optional<T>> old;
        old.swap(slots_);
        free_.clear();
        free_.shrink_to_fit();
        live_ = 0;
    }

    template <class F>
    void for_each(F&& f) {
        for (auto& s : slots_)
            if (s) f(*s);
    }
    template <class F>
    void for_each(F&& f) const {
        for (const auto& s : slots_)
            if (s) f(*s);
    }

    [[nodiscard]] std::size_t slot_count() const noexcept { return slots_.size(); }
    [[nodiscard]] std::size_t live() const noexcept { return live_; }

private:
    std::vector<std::optional<T>> slots_;
    std::vector<std::uint32_t> free_;
    std::size_t live_ = 0;

    // Moves a slot's object out, leaving the slot empty.
    std::optional<T> vacate(std::uint32_t slot) {
        std::optional<T> old(std::move(slots_[slot]));
        slots_[slot].reset();
        return old;
    }
};

}  // namespace brindle
