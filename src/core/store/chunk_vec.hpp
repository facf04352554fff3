// A growable array of fixed 64 Ki-element chunks. Chunks are never moved
// while the vector grows, so an element keeps its address and large stores
// never pay for a reallocating copy.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

namespace brindle {

template <class T>
class ChunkVec {
public:
    static constexpr unsigned kShift = 16;
    static constexpr std::uint64_t kChunk = std::uint64_t{1} << kShift;
    static constexpr std::uint64_t kMask = kChunk - 1;

    [[nodiscard]] std::uint64_t size() const noexcept { return count_; }
    [[nodiscard]] bool empty() const noexcept { return count_ == 0; }

    // Returns the index of the new element.
    std::uint64_t push(const T& v) {
        const std::uint64_t slot = count_ & kMask;
        if (slot == 0) {
            chunks_.push_back(std::make_unique_for_overwrite<T[]>(kChunk));
            last_cap_ = kChunk;
        } else if (slot == last_cap_) {
            regrow_last();  // only after trim(): restore the full chunk
        }
        chunks_.back()[slot] = v;
        return count_++;
    }

    T& operator[](std::uint64_t i) noexcept { return chunks_[i >> kShift][i & kMask]; }
    const T& operator[](std::uint64_t i) const noexcept { return chunks_[i >> kShift][i & kMask]; }
    T& back() noexcept { return (*this)[count_ - 1]; }
    const T& back() const noexcept { return (*this)[count_ - 1]; }

    void clear() noexcept {
        chunks_.clear();
        chunks_.shrink_to_fit();
        count_ = 0;
        last_cap_ = 0;
    }

    // Shrinks the last chunk to the elements it holds. A later push
    // reallocates it at full size (the one case where a chunk moves).
    void trim() {
        const std::uint64_t used = count_ & kMask;
        if (used == 0 || used == last_cap_) return;
        auto c = std::make_unique_for_overwrite<T[]>(used);
        for (std::uint64_t i = 0; i < used; ++i) c[i] = chunks_.back()[i];
        chunks_.back() = std::move(c);
        last_cap_ = used;
        chunks_.shrink_to_fit();
    }

    // Bytes held by the chunks.
    [[nodiscard]] std::uint64_t capacity_bytes() const noexcept {
        if (chunks_.empty()) return 0;
        return ((chunks_.size() - 1) * kChunk + last_cap_) * sizeof(T);
    }

private:
    std::vector<std::unique_ptr<T[]>> chunks_;
    std::uint64_t count_ = 0;
    std::uint64_t last_cap_ = 0;  // elements allocated in the last chunk

    void regrow_last() {
        auto c = std::make_unique_for_overwrite<T[]>(kChunk);
        for (std::uint64_t i = 0; i < last_cap_; ++i) c[i] = chunks_.back()[i];
        chunks_.back() = std::move(c);
        last_cap_ = kChunk;
    }
};

}  // namespace brindle
