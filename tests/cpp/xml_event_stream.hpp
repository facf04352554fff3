// Renders a reader's whole event stream as text, so that runs over different
// chunkings of one document can be compared with a single string equality.
#pragma once

#include <xml/reader.hpp>

#include <string>
#include <string_view>

namespace brindle::testing {

inline std::string error_text(const XmlError& e) {
    switch (e.kind) {
        case XmlErrorKind::Malformed: return std::string("malformed: ") + e.reason;
        case XmlErrorKind::Unsupported: return std::string("unsupported: ") + e.reason;
        case XmlErrorKind::Source: return "source";
        case XmlErrorKind::Limit: return std::string("limit: ") + e.reason;
    }
    return "?";
}

// One line per event: S/E (start, empty) with {uri}local, the raw tag and the
// attributes as key=value; / for an end; T/C for text and CDATA; $ at the end;
// or the error as the last line. With `fast`, tags are first offered to the
// reader's fast start and end paths, as the worksheet parser does.
inline std::string event_stream(std::string_view doc, std::size_t chunk, bool fast = false) {
    Reader<MemorySource> r(doc.data(), doc.size(), chunk);
    std::string out, scratch, key;
    bool prev_text = false;
    for (;;) {
        // clang-format off
        XmlResult<Event> ev = fast && (r.fast_start_tag() || r.fast_end_tag()) ? XmlResult<Event>(r.last_kind())
                                                                                  : r.next();
        // clang-format on
        if (!ev) return out + error_text(ev.error());
        switch (*ev) {
            case Event::StartTag:
            case Event::EmptyTag:
                out += *ev == Event::StartTag ? "S " : "E ";
                out += "{" + r.uri(r.elem_ns) + "}" + std::string(r.view(r.elem_local));
                out += " [" + std::string(r.view({r.win.tag_start, r.win.tag_end})) + "]";
                for (const Attr& a : r.attrs()) {
                    r.attr_key(a, key);
                    out += " " + key + "=" + std::string(r.attr_value(a, scratch));
                }
                break;
            case Event::EndTag:
                out += "/ {" + r.uri(r.elem_ns) + "}" + std::string(r.view(r.elem_local));
                out += " [" + std::string(r.view({r.win.tag_start, r.win.tag_end})) + "]";
                break;
            case Event::CharData:
                // A long run comes in pieces, cut where the window happens
                // to end: the run is what counts.
                if (!r.text_cdata && prev_text) out.pop_back();
                else out += r.text_cdata ? "C " : "T ";
                out += r.text_str(scratch);
                break;
            case Event::EndOfDocument:
                return out + "$";
        }
        prev_text = *ev == Event::CharData && !r.text_cdata;
        out += "\n";
    }
}

}  // namespace brindle::testing
