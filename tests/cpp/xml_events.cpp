// Prints the reader's events for XML documents, for comparison with other
// parsers from scripts.
//
//   xml_events [FILE]            one document (stdin without FILE); one JSON
//                                line per event, or one error line
//   xml_events --batch [CHUNK]   documents on stdin, each as a decimal byte
//                                count, a newline and the bytes; one JSON line
//                                per document: {"events": [...]} or the error
#include <xml/reader.hpp>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

using namespace brindle;

namespace {

void json_str(std::string& out, std::string_view s) {
    out.push_back('"');
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out.push_back('\\');
            out.push_back(static_cast<char>(c));
        } else if (c < 0x20) {
            char b[8];
            std::snprintf(b, sizeof b, "\\u%04x", c);
            out += b;
        } else {
            out.push_back(static_cast<char>(c));
        }
    }
    out.push_back('"');
}

// Appends the events as JSON objects, separated by `sep`; on an error returns
// false with the error object in `err`.
bool dump(std::string_view doc, std::size_t chunk, std::string& out, const char* sep, std::string& err) {
    Reader<MemorySource> r(doc.data(), doc.size(), chunk);
    std::string scratch, key;
    bool first = true;
    for (;;) {
        auto ev = r.next();
        if (!ev) {
            const XmlError& e = ev.error();
            err = "{\"error\": ";
            json_str(err, e.kind == XmlErrorKind::Malformed ? "malformed" : "unsupported");
            err += ", \"reason\": ";
            json_str(err, e.reason);
            err += "}";
            return false;
        }
        if (!first && *ev != Event::EndOfDocument) out += sep;
        first = false;
        switch (*ev) {
            case Event::StartTag:
            case Event::EmptyTag: {
                out += "{\"start\": ";
                json_str(out, r.open_name());
                out += ", \"ns\": ";
                json_str(out, r.uri(r.elem_ns));
                out += ", \"local\": ";
                json_str(out, r.view(r.elem_local));
                out += ", \"attrs\": {";
                bool f = true;
                for (const Attr& a : r.attrs()) {
                    if (!f) out += ", ";
                    f = false;
                    r.attr_key(a, key);
                    json_str(out, key);
                    out += ": ";
                    json_str(out, r.attr_value(a, scratch));
                }
                out += "}}";
                break;
            }
            case Event::EndTag:
                out += "{\"end\": ";
                json_str(out, r.view(r.elem_local));
                out += ", \"ns\": ";
                json_str(out, r.uri(r.elem_ns));
                out += "}";
                break;
            case Event::CharData:
                out += "{\"text\": ";
                json_str(out, r.text_str(scratch));
                out += "}";
                break;
            case Event::EndOfDocument:
                return true;
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    std::ios::sync_with_stdio(false);
    if (argc >= 2 && std::strcmp(argv[1], "--batch") == 0) {
        std::size_t chunk = argc >= 3 ? std::strtoul(argv[2], nullptr, 10) : kChunk;
        std::string doc, out;
        for (;;) {
            std::size_t n;
            if (std::scanf("%zu", &n) != 1) break;
            if (std::getchar() != '\n') return 2;
            doc.resize(n);
            if (n && std::fread(doc.data(), 1, n, stdin) != n) return 2;
            out = "{\"events\": [";
            std::string err;
            if (dump(doc, chunk, out, ", ", err)) out += "]}\n";
            else out = err + "\n";
            std::fwrite(out.data(), 1, out.size(), stdout);
        }
        return 0;
    }
    std::string doc;
    if (argc >= 2) {
        std::FILE* f = std::fopen(argv[1], "rb");
        if (!f) {
            std::perror(argv[1]);
            return 2;
        }
        char buf[65536];
        std::size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) doc.append(buf, n);
        std::fclose(f);
    } else {
        doc.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
    }
    std::string out, err;
    bool ok = dump(doc, kChunk, out, "\n", err);
    if (!ok) out += (out.empty() ? "" : "\n") + err;
    out += "\n";
    std::fwrite(out.data(), 1, out.size(), stdout);
    return ok ? 0 : 1;
}
