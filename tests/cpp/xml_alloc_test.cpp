// The reader's steady state allocates nothing per event: spans index the
// window and every table is reused. Counted with a replaced global allocator.
#include <xml/reader.hpp>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <string>

// The replacements pair malloc with free; GCC cannot see that through
// inlining and warns about each call site.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

namespace {
std::atomic<long> g_allocs{0};
std::atomic<bool> g_counting{false};
}  // namespace

void* operator new(std::size_t n) {
    if (g_counting.load(std::memory_order_relaxed)) g_allocs.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(n ? n : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

using namespace brindle;

TEST(XmlReaderAllocations, NoneInSteadyState) {
    std::string doc =
        "<worksheet xmlns='http://schemas.openxmlformats.org/spreadsheetml/2006/main' "
        "xmlns:x14ac='urn:x'><sheetData>";
    for (int i = 1; i <= 20000; ++i)
        doc += "<row r=\"" + std::to_string(i) + "\" x14ac:dyDescent=\"0.25\"><c r=\"A" + std::to_string(i) +
               "\" t=\"s\"><v>" + std::to_string(i) + "</v></c><c r=\"B" + std::to_string(i) +
               "\"><f>A1&amp;\"x\"</f><v>1&#10;2</v></c><!-- c --><c/></row>";
    doc += "</sheetData></worksheet>";
    // The window grows to its final size while reading the first rows (the
    // source's chunk is larger than the window's start capacity).
    Reader<MemorySource> r(doc.data(), doc.size(), 100000);
    std::string scratch;
    scratch.reserve(256);
    std::size_t events = 0, sink = 0;
    for (;;) {
        if (events == 5000) g_counting = true;
        auto ev = r.next();
        ASSERT_TRUE(ev.has_value());
        ++events;
        if (*ev == Event::EndOfDocument) break;
        for (const Attr& a : r.attrs()) sink += r.attr_value(a, scratch).size();
        if (*ev == Event::CharData) sink += r.text_str(scratch).size();
    }
    g_counting = false;
    EXPECT_GT(sink, 0u);
    EXPECT_EQ(g_allocs.load(), 0);
    // The counter itself works.
    g_counting = true;
    void* probe = ::operator new(16);
    g_counting = false;
    ::operator delete(probe);
    EXPECT_EQ(g_allocs.load(), 1);
}
