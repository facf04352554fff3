// Test-only driver of the formula core: reads records from stdin and prints
// one JSON line per record, so that Python tests can hold the tokenizer and
// translator against the host's pure-Python ones, many cases per process.
//
// A record is a header line "MODE LEN OROW OCOL DROW DCOL" and then LEN bytes
// of formula text and a line feed. MODE T tokenizes and translates from the
// origin to the destination (DROW 0: none); MODE F asks whether float()
// accepts the text.
#include <formula/tokenizer.hpp>
#include <formula/translator.hpp>

#include <cstdio>
#include <iostream>
#include <string>

using namespace brindle;

namespace {

void json_string(std::string& out, std::string_view s) {
    out += '"';
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c == 0x7F) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
        } else {
            out += static_cast<char>(c);
        }
    }
    out += '"';
}

void json_error(std::string& out, const FormulaError& e) {
    constexpr const char* kinds[] = {"Tokenizer", "Translator", "PopEmpty", "NeedPython"};
    out += "[\"";
    out += kinds[static_cast<unsigned>(e.kind)];
    out += "\",";
    json_string(out, e.message);
    out += ']';
}

void translate_case(std::string& out, std::string_view formula, CellPos origin, std::optional<CellPos> dest) {
    auto t = Translator::make(formula, origin);
    if (!t) {
        out += "{\"error\":";
        json_error(out, t.error());
        out += '}';
        return;
    }
    out += "{\"tokens\":[";
    bool first = true;
    for (const Token& tok : t->tokens()) {
        if (!first) out += ',';
        first = false;
        out += '[';
        json_string(out, tok.value);
        out += ",\"";
        out += type_name(tok.type);
        out += "\",\"";
        out += subtype_name(tok.subtype);
        out += "\"]";
    }
    out += "],";
    std::string text;
    auto moved = t->translate_into(dest, text);
    if (moved) {
        out += "\"text\":";
        json_string(out, text);
    } else {
        out += "\"terror\":";
        json_error(out, moved.error());
    }
    out += ",\"check\":";
    out += t->check(dest) ? "true" : "false";
    out += '}';
}

}  // namespace

int main() {
    std::ios::sync_with_stdio(false);
    std::string line, text, out;
    while (std::getline(std::cin, line)) {
        char mode = 0;
        long long len = 0, orow = 0, ocol = 0, drow = 0, dcol = 0;
        if (std::sscanf(line.c_str(), "%c %lld %lld %lld %lld %lld", &mode, &len, &orow, &ocol, &drow, &dcol) != 6 ||
            len < 0)
            return 2;
        text.assign(static_cast<std::size_t>(len), '\0');
        if (!std::cin.read(text.data(), len) || std::cin.get() != '\n') return 2;
        out.clear();
        if (mode == 'F') {
            out += py_float_accepts_ascii(text) ? "true" : "false";
        } else {
            std::optional<CellPos> dest;
            if (drow != 0) dest = CellPos{drow, dcol};
            translate_case(out, text, CellPos{orow, ocol}, dest);
        }
        out += '\n';
        std::cout << out;
    }
    std::cout.flush();
    return 0;
}
