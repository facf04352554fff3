#include <xml/namespaces.hpp>

#include <chrono>
#include <cstring>
#include <random>

namespace brindle {

namespace {

std::uint64_t process_seed() noexcept {
    static const std::uint64_t seed = [] {
        std::uint64_t s = static_cast<std::uint64_t>(
            std::chrono::steady_clock::now().time_since_epoch().count());
        try {
            std::random_device rd;
            s ^= (static_cast<std::uint64_t>(rd()) << 32) | rd();
        } catch (...) {
            // The clock alone still varies between processes.
        }
        return s | 1;
    }();
    return seed;
}

inline std::uint64_t mix(std::uint64_t x) noexcept {
    x ^= x >> 33;
    x *= 0xff51afd7ed558ccdULL;
    x ^= x >> 33;
    x *= 0xc4ceb9fe1a85ec53ULL;
    x ^= x >> 33;
    return x;
}

}  // namespace

std::size_t UriHash::operator()(std::string_view s) const noexcept {
    std::uint64_t h = process_seed() ^ (s.size() * 0x9E3779B97F4A7C15ULL);
    std::size_t i = 0;
    for (; i + 8 <= s.size(); i += 8) {
        std::uint64_t w;
        std::memcpy(&w, s.data() + i, 8);
        h = mix(h ^ w);
    }
    std::uint64_t tail = 0;
    if (i < s.size()) std::memcpy(&tail, s.data() + i, s.size() - i);
    return static_cast<std::size_t>(mix(h ^ tail));
}

UriTable::UriTable() {
    intern("");
    intern(kXmlNamespace);
    intern(kMainNamespace);
}

std::uint32_t UriTable::intern(std::string_view uri) {
    if (auto it = ids_.find(uri); it != ids_.end()) return it->second;
    auto id = static_cast<std::uint32_t>(uris_.size());
    uris_.emplace_back(uri);
    ids_.emplace(uris_.back(), id);
    return id;
}

void Bindings::push(std::string_view prefix, std::uint32_t id) {
    auto at = static_cast<std::uint32_t>(stack_.size());
    std::uint32_t shadowed = kNone;
    if (auto it = innermost_.find(prefix); it != innermost_.end()) {
        shadowed = it->second;
        it->second = at;
    } else {
        innermost_.emplace(prefix, at);
    }
    stack_.push_back({static_cast<std::uint32_t>(prefixes_.size()), static_cast<std::uint32_t>(prefix.size()), id,
                      shadowed, ++pushes_});
    if (prefix.empty()) default_top_ = at;
    prefixes_.append(prefix);
}

void Bindings::pop(std::size_t n) noexcept {
    if (n == 0) return;
    std::size_t keep = stack_.size() - n;
    for (std::size_t i = stack_.size(); i-- > keep;) {
        const Binding& b = stack_[i];
        auto it = innermost_.find(prefix(b));
        if (b.shadowed == kNone) innermost_.erase(it);
        else it->second = b.shadowed;
        if (b.len == 0) default_top_ = b.shadowed;
    }
    prefixes_.resize(stack_[keep].off);
    stack_.resize(keep);
}

std::uint32_t Bindings::lookup(std::string_view p) const noexcept {
    if (p.empty()) return default_top_ == kNone ? kNsNone : stack_[default_top_].id;
    if (p == "xml") return kNsXml;
    if (stack_.size() <= kWalkLimit) {
        for (std::size_t i = stack_.size(); i-- > 0;) {
            if (prefix(stack_[i]) == p) return stack_[i].id;
        }
    } else if (auto it = innermost_.find(p); it != innermost_.end()) {
        return stack_[it->second].id;
    }
    return p.empty() ? kNsNone : kNsUnbound;
}

NamespaceList Bindings::in_scope(const UriTable& uris) const {
    NamespaceList out;
    // Walking outermost first and keeping the first position of each prefix:
    // its entry then holds the innermost URI, which the per-prefix index
    // gives directly.
    for (const Binding& b : stack_) {
        if (b.shadowed != kNone) continue;  // a redeclaration: its prefix is listed already
        std::string_view p = prefix(b);
        auto it = innermost_.find(p);
        out.emplace_back(std::string(p), uris.uri(stack_[it->second].id));
    }
    return out;
}

void Bindings::append_scope_key(const UriTable& uris, std::string& out) const {
    for (const Binding& b : stack_) {
        if (b.shadowed != kNone) continue;
        std::string_view p = prefix(b);
        // NUL cannot occur in a well-formed document.
        out.push_back('\0');
        out.append(p);
        out.push_back('\0');
        out.append(uris.uri(stack_[innermost_.find(p)->second].id));
    }
}

}  // namespace brindle
