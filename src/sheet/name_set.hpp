// A hash set of byte strings that answers lookups by string_view, so the text
// parser can test an element name straight from the byte window.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_set>

namespace brindle {

struct NameHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const noexcept {
        return std::hash<std::string_view>{}(s);
    }
};

class NameSet {
public:
    void insert(std::string_view name) { names_.emplace(name); }
    [[nodiscard]] bool contains(std::string_view name) const { return names_.contains(name); }
    std::size_t size() const noexcept { return names_.size(); }
    bool empty() const noexcept { return names_.empty(); }

private:
    std::unordered_set<std::string, NameHash, std::equal_to<>> names_;
};

}  // namespace brindle
