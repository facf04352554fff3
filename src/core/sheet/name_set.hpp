// A hash set of byte strings that answers lookups by string_view, so the text
// parser can test an element name straight from the byte window. The same
// type as the string items' sets, so the helpers' sets are handed over as is.
#pragma once

#include <xml/namespaces.hpp>

#include <functional>
#include <string>
#include <unordered_set>

namespace brindle {

using NameSet = std::unordered_set<std::string, UriHash, std::equal_to<>>;

}  // namespace brindle
