#include <xml/window.hpp>
#include <gtest/gtest.h>
#include <string>
using namespace brindle;
TEST(Window, Smoke) {
    std::string s = "<a/>";
    Window<MemorySource> w(s.data(), s.size(), 1);
    ASSERT_TRUE(w.check_prolog_bytes().has_value());
    EXPECT_EQ(w.filled(), 4u);
}
