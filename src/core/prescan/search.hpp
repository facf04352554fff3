// Vectorised searches of the raw <sheetData> scan.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace brindle::prescan {

// Index in [from, end) of the first '<' that may start a comment, CDATA
// section or processing instruction, or a tag whose name begins with `c`,
// or an end tag whose name does; a '<' whose following bytes lie past `end`
// is reported as well, since they are unknown. `end` if none. PERF: cell
// content is dense with tags, so one pass over 16-byte blocks beats a
// library search per '<'.
inline std::size_t find_markup(const std::uint8_t* p, std::size_t from, std::size_t end, std::uint8_t c,
                               bool start_too) noexcept {
    std::size_t i = from;
#if defined(__SSE2__)
    const __m128i lt = _mm_set1_epi8('<'), bang = _mm_set1_epi8('!'), qm = _mm_set1_epi8('?');
    const __m128i sl = _mm_set1_epi8('/'), vc = _mm_set1_epi8(static_cast<char>(c));
    const __m128i vs = start_too ? vc : _mm_set1_epi8('!');
    for (; i + 18 <= end; i += 16) {
        const __m128i x0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
        const __m128i x1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i + 1));
        const __m128i x2 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i + 2));
        const __m128i follow = _mm_or_si128(
            _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(x1, bang), _mm_cmpeq_epi8(x1, qm)), _mm_cmpeq_epi8(x1, vs)),
            _mm_and_si128(_mm_cmpeq_epi8(x1, sl), _mm_cmpeq_epi8(x2, vc)));
        const unsigned bits = static_cast<unsigned>(_mm_movemask_epi8(_mm_and_si128(_mm_cmpeq_epi8(x0, lt), follow)));
        if (bits) return i + static_cast<std::size_t>(__builtin_ctz(bits));
    }
#endif
    for (; i < end; ++i) {
        if (p[i] != '<') continue;
        if (i + 2 >= end) return i;
        const std::uint8_t n = p[i + 1];
        if (n == '!' || n == '?' || (start_too && n == c) || (n == '/' && p[i + 2] == c)) return i;
    }
    return end;
}

// The '>' closing a start tag when it is found within 64 bytes of `from`
// with no single quote before it and an even number of double quotes (so it
// lies outside any value): its index, or `end` to ask the full search.
inline std::size_t quick_tag_close(const std::uint8_t* p, std::size_t from, std::size_t end) noexcept {
#if defined(__SSE2__)
    const __m128i gt = _mm_set1_epi8('>'), dq = _mm_set1_epi8('"'), sq = _mm_set1_epi8('\'');
    unsigned quotes = 0;
    for (std::size_t i = from; i + 16 <= end && i < from + 64; i += 16) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
        const unsigned g = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(x, gt)));
        const unsigned d = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(x, dq)));
        const unsigned a = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(x, sq)));
        if (g) {
            const unsigned below = (g & -g) - 1;
            if (a & below) return end;
            quotes += static_cast<unsigned>(__builtin_popcount(d & below));
            return quotes % 2 == 0 ? i + static_cast<std::size_t>(__builtin_ctz(g)) : end;
        }
        if (a) return end;
        quotes += static_cast<unsigned>(__builtin_popcount(d));
    }
#else
    (void)p;
    (void)from;
#endif
    return end;
}

}  // namespace brindle::prescan
