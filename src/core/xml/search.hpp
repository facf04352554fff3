// Vectorised byte searches over the window.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace brindle {

// Index in [from, end) of the first byte equal to c; `end` if none.
inline std::size_t find_byte(const std::uint8_t* p, std::size_t from, std::size_t end, std::uint8_t c) noexcept {
    // PERF: most searches inside a tag end within a few bytes, where the
    // library call costs more than the bytes it looks at.
    if (from >= end) return end;
    std::size_t lim = end - from < 16 ? end : from + 16;
    for (std::size_t i = from; i < lim; ++i)
        if (p[i] == c) return i;
    if (lim == end) return end;
    auto* q = static_cast<const std::uint8_t*>(std::memchr(p + lim, c, end - lim));
    return q ? static_cast<std::size_t>(q - p) : end;
}

// Index in [from, end) of the '>' that closes a start tag, with quoted runs
// skipped; `quote` carries an open quote in and out, so that a search can
// resume where the window ended. Returns `end` if not found.
inline std::size_t find_tag_close(const std::uint8_t* p, std::size_t from, std::size_t end,
                                  std::uint8_t& quote) noexcept {
    std::size_t i = from;
#if defined(__SSE2__)
    // One load per 16 bytes answers all three bytes at once; the quote state
    // is then walked through the (few) hits of the block.
    const __m128i vg = _mm_set1_epi8('>');
    const __m128i vd = _mm_set1_epi8('"');
    const __m128i va = _mm_set1_epi8('\'');
    for (; i + 16 <= end; i += 16) {
        __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
        unsigned bits = static_cast<unsigned>(_mm_movemask_epi8(
            _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(x, vg), _mm_cmpeq_epi8(x, vd)), _mm_cmpeq_epi8(x, va))));
        while (bits) {
            std::size_t k = i + static_cast<std::size_t>(__builtin_ctz(bits));
            bits &= bits - 1;
            std::uint8_t c = p[k];
            if (quote) {
                if (c == quote) quote = 0;
            } else if (c == '>') {
                return k;
            } else {
                quote = c;
            }
        }
    }
#endif
    for (; i < end; ++i) {
        std::uint8_t c = p[i];
        if (quote) {
            if (c == quote) quote = 0;
        } else if (c == '>') {
            return i;
        } else if (c == '"' || c == '\'') {
            quote = c;
        }
    }
    return end;
}

// Whether [p, p+n) contains the needle.
inline bool contains(const std::uint8_t* p, std::size_t n, const char* needle, std::size_t m) noexcept {
    return n >= m && ::memmem(p, n, needle, m) != nullptr;
}

}  // namespace brindle
