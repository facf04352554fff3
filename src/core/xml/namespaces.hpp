// Namespace URIs interned to small ids, and the stack of prefix bindings in
// scope. Parsers recognise SpreadsheetML elements by comparing one integer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace brindle {

inline constexpr std::string_view kXmlNamespace = "http://www.w3.org/XML/1998/namespace";
inline constexpr std::string_view kXmlnsNamespace = "http://www.w3.org/2000/xmlns/";
inline constexpr std::string_view kMainNamespace =
    "http://schemas.openxmlformats.org/spreadsheetml/2006/main";

// Fixed ids: every reader interns these three first.
inline constexpr std::uint32_t kNsNone = 0;
inline constexpr std::uint32_t kNsXml = 1;
inline constexpr std::uint32_t kNsMain = 2;
inline constexpr std::uint32_t kNsUnbound = 0xFFFFFFFFu;

// Seeded per process so that crafted URIs cannot aim at one bucket.
struct UriHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const noexcept;
};

class UriTable {
public:
    UriTable();
    // The id of a URI, adding it when new. Ids are stable for the table's life.
    std::uint32_t intern(std::string_view uri);
    const std::string& uri(std::uint32_t id) const noexcept { return uris_[id]; }
    std::size_t size() const noexcept { return uris_.size(); }

private:
    std::vector<std::string> uris_;
    std::unordered_map<std::string, std::uint32_t, UriHash, std::equal_to<>> ids_;
};

using NamespaceList = std::vector<std::pair<std::string, std::string>>;

// Prefix bindings, outermost first. The default namespace is the empty prefix.
// Prefix bytes live in one buffer that grows and shrinks with the stack, so
// binding costs no allocation once the buffers have grown.
class Bindings {
public:
    void push(std::string_view prefix, std::uint32_t id);
    void pop(std::size_t n) noexcept;
    std::size_t size() const noexcept { return stack_.size(); }
    // Names what is in scope: equal tokens mean equal stacks, so a list of the
    // bindings made once serves every element under the same declarations.
    // (Each push gets a serial never handed out again, and a stack's top
    // serial fixes everything beneath it.)
    std::uint64_t scope_token() const noexcept { return stack_.empty() ? 0 : stack_.back().serial; }

    // `xml` always resolves to its namespace; with no binding the empty
    // prefix is no namespace and any other prefix is kNsUnbound.
    std::uint32_t lookup(std::string_view prefix) const noexcept;

    // (prefix, URI) pairs in scope; a redeclared prefix keeps the position of
    // its first declaration and takes the innermost URI.
    NamespaceList in_scope(const UriTable& uris) const;
    // The same pairs appended to `out` as NUL-separated text, without
    // allocating once `out` has grown: a key for what is in scope.
    void append_scope_key(const UriTable& uris, std::string& out) const;

private:
    static constexpr std::uint32_t kNone = 0xFFFFFFFFu;
    // Up to this many bindings a walk from the top beats hashing the prefix.
    static constexpr std::size_t kWalkLimit = 8;
    struct Binding {
        std::uint32_t off;
        std::uint32_t len;
        std::uint32_t id;
        std::uint32_t shadowed;  // the previous binding of the same prefix, or kNone
        std::uint64_t serial;    // from 1, in order of pushing
    };
    std::string_view prefix(const Binding& b) const noexcept { return {prefixes_.data() + b.off, b.len}; }
    std::string prefixes_;
    std::vector<Binding> stack_;
    // Innermost binding per prefix. Kept so that deep documents that declare
    // at every level resolve each name in constant time, not in their depth.
    std::unordered_map<std::string, std::uint32_t, UriHash, std::equal_to<>> innermost_;
    // The innermost default-namespace binding: every unprefixed element asks.
    std::uint32_t default_top_ = kNone;
    std::uint64_t pushes_ = 0;
};

}  // namespace brindle
