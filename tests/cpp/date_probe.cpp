// Line-driven front end to the serial-date conversions, so that Python
// property tests can check them against datetime arithmetic without the
// conversions becoming part of the module's surface.
//
//   E year month day hour minute second microsecond is_1900   set the epoch
//   I serial                                                  from_excel_int
//   F hexfloat                                                from_excel_float
//   S D|T year month day hour minute second microsecond       to_excel_serial
//
// Answers, one line each: "D y m d H M S us", "T H M S us", "X" (out of
// range), or for S the serial as a hexadecimal float or "X".
#include <dates/dates.hpp>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <sstream>
#include <string>

using namespace brindle;

namespace {

void print(const DateParts& p) {
    switch (p.kind) {
        case DateParts::Kind::OutOfRange:
            std::printf("X\n");
            break;
        case DateParts::Kind::Time:
            std::printf("T %d %d %d %u\n", p.hour, p.minute, p.second, p.microsecond);
            break;
        case DateParts::Kind::DateTime:
            std::printf("D %d %d %d %d %d %d %u\n", p.year, p.month, p.day, p.hour, p.minute,
                        p.second, p.microsecond);
            break;
    }
}

}  // namespace

int main() {
    Epoch epoch = Epoch::make(1899, 12, 30, 0, 0, 0, 0, true);
    std::string line;
    while (std::getline(std::cin, line)) {
        std::istringstream in(line);
        char op = 0;
        in >> op;
        if (op == 'E') {
            long long f[7];
            int is_1900 = 0;
            for (auto& v : f) in >> v;
            in >> is_1900;
            epoch = Epoch::make(f[0], f[1], f[2], f[3], f[4], f[5], f[6], is_1900 != 0);
            std::printf("ok\n");
        } else if (op == 'I') {
            long long s = 0;
            in >> s;
            print(from_excel_int(s, epoch));
        } else if (op == 'F') {
            std::string hex;
            in >> hex;
            print(from_excel_float(std::strtod(hex.c_str(), nullptr), epoch));
        } else if (op == 'S') {
            char kind = 0;
            long long f[7];
            in >> kind;
            for (auto& v : f) in >> v;
            DateParts p;
            p.kind = kind == 'D' ? DateParts::Kind::DateTime : DateParts::Kind::Time;
            p.year = static_cast<std::int32_t>(f[0]);
            p.month = static_cast<std::uint8_t>(f[1]);
            p.day = static_cast<std::uint8_t>(f[2]);
            p.hour = static_cast<std::uint8_t>(f[3]);
            p.minute = static_cast<std::uint8_t>(f[4]);
            p.second = static_cast<std::uint8_t>(f[5]);
            p.microsecond = static_cast<std::uint32_t>(f[6]);
            if (auto s = to_excel_serial(p, epoch))
                std::printf("%a\n", *s);
            else
                std::printf("X\n");
        } else {
            std::printf("?\n");
        }
        std::fflush(stdout);
    }
    return 0;
}
