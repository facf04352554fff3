// The multiply-rotate hash behind the store's maps, with a MurmurHash3
// finishing step so that the low bits used for buckets depend on every input
// bit.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace brindle {

[[nodiscard]] constexpr std::uint64_t fmix64(std::uint64_t h) noexcept {
    h ^= h >> 33;
    h *= 0xff51afd7ed558ccdULL;
    h ^= h >> 33;
    h *= 0xc4ceb9fe1a85ec53ULL;
    h ^= h >> 33;
    return h;
}

struct FxHasher {
    std::uint64_t h = 0;

    constexpr void write(std::uint64_t w) noexcept { h = (std::rotl(h, 5) ^ w) * 0x517cc1b727220a95ULL; }

    // The bytes as little-endian 8-byte words, the last one zero-padded.
    void write_bytes(std::string_view s) noexcept {
        const char* p = s.data();
        std::size_t n = s.size();
        for (; n >= 8; p += 8, n -= 8) write(load_le(p, 8));
        if (n > 0) write(load_le(p, n));
    }

    [[nodiscard]] constexpr std::uint64_t finish() const noexcept { return fmix64(h); }

private:
    static std::uint64_t load_le(const char* p, std::size_t n) noexcept {
        std::uint64_t w = 0;
        if constexpr (std::endian::native == std::endian::little) {
            std::memcpy(&w, p, n);
        } else {
            for (std::size_t i = 0; i < n; ++i) w |= std::uint64_t{static_cast<unsigned char>(p[i])} << (8 * i);
        }
        return w;
    }
};

// Key of the text intern map: the bytes, then the length as one more word.
[[nodiscard]] inline std::uint64_t text_hash(std::string_view s) noexcept {
    if (s.empty()) return fmix64(0);
    FxHasher h;
    h.write_bytes(s);
    h.write(s.size());
    return h.finish();
}

// Hash functor for standard containers keyed by a 64-bit integer: one word.
struct FxHash {
    std::size_t operator()(std::uint64_t k) const noexcept {
        FxHasher h;
        h.write(k);
        return static_cast<std::size_t>(h.finish());
    }
};

}  // namespace brindle
