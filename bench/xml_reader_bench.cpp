// Throughput of the XML reader over a document in memory, touching what a
// worksheet parser touches: every attribute value and every text.
//   xml_reader_bench FILE [REPEAT]
// Prints the best time in seconds and MB/s.
#include <xml/reader.hpp>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

using namespace brindle;

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s FILE [REPEAT]\n", argv[0]);
        return 2;
    }
    std::FILE* f = std::fopen(argv[1], "rb");
    if (!f) return 2;
    std::string doc;
    char buf[65536];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) doc.append(buf, n);
    std::fclose(f);
    int repeat = argc >= 3 ? std::atoi(argv[2]) : 5;
    double best = 1e30;
    std::size_t events = 0, sink = 0;
    std::string scratch;
    for (int i = 0; i < repeat; ++i) {
        auto t0 = std::chrono::steady_clock::now();
        Reader<MemorySource> r(doc.data(), doc.size());
        events = 0;
        for (;;) {
            auto ev = r.next();
            if (!ev) {
                std::fprintf(stderr, "error: %s\n", ev.error().reason);
                return 1;
            }
            ++events;
            if (*ev == Event::EndOfDocument) break;
            if (*ev == Event::StartTag || *ev == Event::EmptyTag) {
                for (const Attr& a : r.attrs()) sink += r.attr_value(a, scratch).size();
            } else if (*ev == Event::CharData) {
                sink += r.text_str(scratch).size();
            }
        }
        double dt = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        if (dt < best) best = dt;
    }
    std::printf("%.6f s  %.1f MB/s  %zu events  (%zu)\n", best, doc.size() / best / 1e6, events, sink % 10);
    return 0;
}
