// Vectorised byte searches over the window.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace brindle {

// Index in [from, end) of the first byte equal to a, b or c; `end` if none.
inline std::size_t find_any3(const std::uint8_t* p, std::size_t from, std::size_t end, std::uint8_t a,
                             std::uint8_t b, std::uint8_t c) noexcept {
    std::size_t i = from;
#if defined(__SSE2__)
    const __m128i va = _mm_set1_epi8(static_cast<char>(a));
    const __m128i vb = _mm_set1_epi8(static_cast<char>(b));
    const __m128i vc = _mm_set1_epi8(static_cast<char>(c));
    for (; i + 16 <= end; i += 16) {
        __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
        __m128i m = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(x, va), _mm_cmpeq_epi8(x, vb)), _mm_cmpeq_epi8(x, vc));
        unsigned bits = static_cast<unsigned>(_mm_movemask_epi8(m));
        if (bits) return i + static_cast<std::size_t>(__builtin_ctz(bits));
    }
#endif
    for (; i < end; ++i) {
        std::uint8_t x = p[i];
        if (x == a || x == b || x == c) return i;
    }
    return end;
}

// Index in [from, end) of the first byte equal to c; `end` if none.
inline std::size_t find_byte(const std::uint8_t* p, std::size_t from, std::size_t end, std::uint8_t c) noexcept {
    if (from >= end) return end;
    auto* q = static_cast<const std::uint8_t*>(std::memchr(p + from, c, end - from));
    return q ? static_cast<std::size_t>(q - p) : end;
}

// Whether [p, p+n) contains the needle.
inline bool contains(const std::uint8_t* p, std::size_t n, const char* needle, std::size_t m) noexcept {
    return n >= m && ::memmem(p, n, needle, m) != nullptr;
}

}  // namespace brindle
