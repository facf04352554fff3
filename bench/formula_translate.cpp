// Shared-formula expansion: one translator per master, one translation per
// dependent cell into a reused buffer. Prints nanoseconds per cell for each
// master given on the command line (or a default set).
//   formula_translate_bench CELLS [FORMULA...]
#include <formula/translator.hpp>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

using namespace brindle;

int main(int argc, char** argv) {
    const long cells = argc > 1 ? std::atol(argv[1]) : 1'000'000;
    std::vector<std::string> masters;
    for (int i = 2; i < argc; ++i) masters.emplace_back(argv[i]);
    if (masters.empty())
        masters = {"=A1*2", "=SUM($A1:D1)/COUNT(Sheet1!A1:A100)", "=IF(B2>0,'Data Sheet'!C2&\" ok\",#N/A)"};
    std::string out;
    std::size_t total = 0;
    for (const std::string& m : masters) {
        auto start = std::chrono::steady_clock::now();
        auto t = Translator::make(m, CellPos{1, 1});
        if (!t) return 1;
        for (long r = 0; r < cells; ++r) {
            out.clear();
            if (!t->translate_into(CellPos{2 + r % 1'000'000, 1 + r % 7}, out)) return 1;
            total += out.size();
        }
        const double ns = std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count();
        std::printf("%.1f\t%s\n", ns / double(cells), m.c_str());
    }
    return total == 0;
}
