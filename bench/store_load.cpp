// Loading and reading the compact store without Python: cells appended in
// document order (numbers, repeated texts, shifted formulas), then every key
// looked up, then a key walk. A machine shared with other work inflates
// the numbers; compare runs made side by side. Prints nanoseconds per cell for each phase and
// the bytes held per cell.
//   store_load_bench [ROWS] [COLS]
#include <store/store_core.hpp>

#include <bit>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

using namespace brindle;

namespace {

double ns_since(std::chrono::steady_clock::time_point t0, double cells) {
    return std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - t0).count() / cells;
}

}  // namespace

int main(int argc, char** argv) {
    const std::uint32_t rows = argc > 1 ? static_cast<std::uint32_t>(std::atol(argv[1])) : 200'000;
    const std::uint32_t cols = argc > 2 ? static_cast<std::uint32_t>(std::atol(argv[2])) : 10;
    const double cells = double(rows) * cols;
    StoreCore s;
    const char* const words[] = {"north", "south", "east", "west", "a somewhat longer text value"};
    std::string formula;

    // Numbers alone: the path every plain cell takes.
    auto t0 = std::chrono::steady_clock::now();
    {
        StoreCore n;
        for (std::uint32_t r = 1; r <= rows; ++r)
            for (std::uint32_t c = 1; c <= cols; ++c) (void)n.load_cell(r, c, tag::kInt, r * 7ULL + c, 1, kDtN);
        n.finish_loading();
        std::printf("load numbers\t%.1f ns/cell\n", ns_since(t0, cells));
    }

    t0 = std::chrono::steady_clock::now();
    for (std::uint32_t r = 1; r <= rows; ++r) {
        for (std::uint32_t c = 1; c <= cols; ++c) {
            switch (c % 5) {
                case 0: (void)s.load_cell(r, c, tag::kInt, r * 7ULL, 1, kDtN); break;
                case 1: (void)s.load_cell(r, c, tag::kFloat, std::bit_cast<std::uint64_t>(r * 0.5), 2, kDtN); break;
                case 2: (void)s.load_cell(r, c, tag::kText, *s.store_text(words[r % 5]), 3, 1); break;
                case 3: (void)s.load_cell(r, c, tag::kSharedString, r % 1000, 0, 1); break;
                default: {
                    formula = "SUM(A" + std::to_string(r) + ":C" + std::to_string(r) + ")*$B$1";
                    if (auto t = s.template_for(formula, r, c)) (void)s.load_cell(r, c, tag::kTemplate, *t, 0, kDtF);
                    else (void)s.load_cell(r, c, tag::kText, *s.store_text(formula), 0, kDtF);
                }
            }
        }
    }
    s.finish_loading();
    std::printf("load mixed\t%.1f ns/cell\n", ns_since(t0, cells));

    t0 = std::chrono::steady_clock::now();
    std::uint64_t found = 0;
    for (std::uint32_t r = 1; r <= rows; ++r)
        for (std::uint32_t c = 1; c <= cols; ++c) found += s.find_key(pack_key(r, c)).has_value();
    std::printf("find_key\t%.1f ns/cell\n", ns_since(t0, cells));

    t0 = std::chrono::steady_clock::now();
    KeyCursor cur;
    std::uint64_t walked = 0;
    while (auto l = s.next_loc(cur)) walked += s.key_of(*l) != 0;
    std::printf("key walk\t%.1f ns/cell\n", ns_since(t0, cells));

    t0 = std::chrono::steady_clock::now();
    std::string out;
    std::uint64_t rendered = 0;
    for (std::uint32_t r = 1; r <= rows; ++r) {
        const Entry e = s.entry(*s.find_key(pack_key(r, 4)));
        out.clear();
        if (e.tag == tag::kTemplate && s.render_template(static_cast<std::uint32_t>(e.payload), r, 4, out)) ++rendered;
    }
    std::printf("render\t%.1f ns/formula\n", ns_since(t0, rows));

    const double bytes = double(s.base().recs.capacity_bytes() + s.base().wide.capacity_bytes() + s.arena_bytes() +
                                s.base().rows.capacity() * 4 + s.base().offsets.capacity() * 4);
    std::printf("memory\t%.2f bytes/cell (%zu templates, %llu arena bytes)\n", bytes / cells, s.template_count(),
                static_cast<unsigned long long>(s.arena_bytes()));
    return found == s.size() && walked == s.size() && rendered > 0 ? 0 : 1;
}
