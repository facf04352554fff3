#include <utils/strip.hpp>
namespace brindle {
std::string_view py_strip(std::string_view text) noexcept { return text; }
}  // namespace brindle
