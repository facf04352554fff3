#include <xml/window.hpp>

#include <gtest/gtest.h>

#include <string>
#include <string_view>

using namespace brindle;

namespace {

std::string pattern(std::size_t n) {
    std::string s(n, '\0');
    for (std::size_t i = 0; i < n; ++i) s[i] = char('a' + (i * 7) % 26);
    return s;
}

std::string_view window_bytes(const Window<MemorySource>& w, std::size_t from) {
    return {reinterpret_cast<const char*>(w.buf.data()) + from, w.filled() - from};
}

// Consumes everything pulled so far, chunk by chunk, to the end.
void consume_all(Window<MemorySource>& w) {
    while (true) {
        w.pos = w.filled();
        auto got = w.more();
        ASSERT_TRUE(got.has_value());
        if (!*got) break;
    }
}

TEST(Window, EndOfDataIsSticky) {
    const std::string s = "<a/>";
    Window<MemorySource> w(s.data(), s.size(), 1);
    consume_all(w);
    EXPECT_TRUE(w.eof);
    const std::size_t calls = w.source.calls();
    EXPECT_EQ(w.more(), XmlResult<bool>(false));
    EXPECT_EQ(w.source.calls(), calls);
    EXPECT_EQ(w.abs_pos(), 4u);
}

TEST(Window, CompactionRule) {
    // With three chunks filled, the kept-from point (the consumed position,
    // or an earlier open capture) is discarded only when it is at least a
    // chunk and at least half of the filled window.
    constexpr std::size_t npos = std::string::npos;
    constexpr std::size_t half = 3 * kChunk / 2;
    struct Case {
        std::size_t pos;
        std::size_t capture;  // open capture start, or npos
        std::size_t base;     // expected discarded prefix
    } cases[] = {
        {kChunk - 1, npos, 0},
        {kChunk, npos, 0},  // a chunk, but under half the window
        {half - 1, npos, 0},
        {half, npos, half},
        {3 * kChunk, npos, 3 * kChunk},
        {3 * kChunk, 10, 0},               // an early capture holds everything
        {3 * kChunk, half + 5, half + 5},  // only bytes before the capture go
        {3 * kChunk, half - 5, 0},
    };
    const std::string data = pattern(6 * kChunk);
    for (const auto& c : cases) {
        Window<MemorySource> w(data.data(), data.size());
        ASSERT_TRUE(w.ensure(3 * kChunk).value());
        ASSERT_EQ(w.filled(), 3 * kChunk);
        w.pos = c.pos;
        w.tag_start = 3;
        w.tag_end = c.pos;
        if (c.capture != npos) {
            w.capture_on = true;
            w.capture_start = c.capture;
        }
        ASSERT_TRUE(w.more().value());
        EXPECT_EQ(w.base, c.base) << c.pos << " " << c.capture;
        EXPECT_EQ(w.pos, c.pos - c.base);
        EXPECT_EQ(w.tag_start, c.base ? 0u : 3u);  // lowered, but not below 0
        EXPECT_EQ(w.tag_end, c.pos - c.base);
        if (c.capture != npos) {
            EXPECT_EQ(w.capture_start, c.capture - c.base);
        }
        EXPECT_EQ(window_bytes(w, 0), std::string_view(data).substr(c.base, w.filled()));
    }
}

TEST(Window, OpenCaptureSurvivesALongDocument) {
    const std::string data = pattern(40 * kChunk + 123);
    for (std::size_t chunk : {std::size_t(1000), kChunk, 5 * kChunk}) {
        Window<MemorySource> w(data.data(), data.size(), chunk);
        ASSERT_TRUE(w.ensure(20).value());
        w.capture_on = true;
        w.capture_start = 17;
        consume_all(w);
        EXPECT_EQ(w.base, 0u) << "nothing after the capture start may go";
        EXPECT_EQ(window_bytes(w, w.capture_start), std::string_view(data).substr(17));
        // Closing the capture lets the next pull discard the prefix.
        w.capture_on = false;
        w.eof = false;
        EXPECT_EQ(w.more(), XmlResult<bool>(false));
        EXPECT_EQ(w.abs_pos(), data.size());
    }
    // With a capture opened late, only the bytes before it are discarded.
    Window<MemorySource> w(data.data(), data.size(), 1000);
    while (w.abs_pos() < 10 * kChunk) {
        w.pos = w.filled();
        ASSERT_TRUE(w.more().value());
    }
    const std::uint64_t at = w.abs_pos();
    w.capture_on = true;
    w.capture_start = w.pos;
    consume_all(w);
    EXPECT_EQ(w.base + w.capture_start, at);
    EXPECT_EQ(window_bytes(w, w.capture_start), std::string_view(data).substr(at));
}

TEST(Window, PrologBytes) {
    struct Case {
        std::string data;
        bool ok;
        std::size_t pos;
    } cases[] = {
        {"\xEF\xBB\xBF<?xml version=\"1.0\"?><a/>", true, 3},
        {"\xEF\xBB\xBF", true, 3},
        {"\xEF\xBB", true, 0},  // not a whole mark: left to the reader
        {std::string("\xFF\xFE<\0a\0", 6), false, 0},
        {std::string("\xFE\xFF\0<\0a", 6), false, 0},
        {std::string("<\0a\0", 4), false, 0},  // UTF-16LE without a mark
        {std::string("\0<\0a", 4), false, 0},  // UTF-16BE without a mark
        {std::string("\0", 1), false, 0},
        {"<a/>", true, 0},
        {"<", true, 0},
        {"", true, 0},
        {std::string("<a>\0", 4), true, 0},  // only the first two bytes are looked at
    };
    for (const auto& c : cases) {
        for (std::size_t chunk : {std::size_t(1), std::size_t(2), kChunk}) {
            Window<MemorySource> w(c.data.data(), c.data.size(), chunk);
            auto r = w.check_prolog_bytes();
            EXPECT_TRUE(w.started);
            ASSERT_EQ(r.has_value(), c.ok) << testing::PrintToString(c.data) << " chunk " << chunk;
            if (r) EXPECT_EQ(w.pos, c.pos);
            else EXPECT_EQ(r.error(), XmlError::unsupported("utf-16"));
        }
    }
}

}  // namespace
