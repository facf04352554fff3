// The shared-string table drops every "x005F_" from plain item text: the
// host does so with str.replace, left to right and without rescanning what
// the removal joins. UTF-8 is self-synchronising and the sequence is ASCII,
// so the same rule on bytes gives the same text.
#pragma once

#include <cstring>
#include <string>
#include <string_view>

namespace brindle {

inline constexpr std::string_view kX005F = "x005F_";

// Removes the sequence in place; the text is only touched when it occurs.
inline void remove_x005f(std::string& s) noexcept {
    std::size_t hit = s.find(kX005F);
    if (hit == std::string::npos) return;
    char* d = s.data();
    std::size_t w = hit;
    std::size_t r = hit + kX005F.size();
    for (;;) {
        hit = s.find(kX005F, r);
        const std::size_t end = hit == std::string::npos ? s.size() : hit;
        std::memmove(d + w, d + r, end - r);
        w += end - r;
        if (hit == std::string::npos) break;
        r = hit + kX005F.size();
    }
    s.resize(w);
}

}  // namespace brindle
