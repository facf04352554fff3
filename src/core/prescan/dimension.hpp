// The worksheet's <dimension> element, found before a load: the host parses
// the element itself, so the scan hands back its exact bytes and the
// bindings needed to read them, and stops reading the part right there.
#pragma once

#include <xml/namespaces.hpp>
#include <xml/reader.hpp>

#include <optional>
#include <string>
#include <string_view>

namespace brindle {

struct DimensionHit {
    std::string snippet;       // the element, from its '<' to the end of its end tag
    NamespaceList namespaces;  // bindings in scope once it has ended
};

namespace detail {
inline bool is_main(std::uint32_t ns, std::string_view local, std::string_view want) noexcept {
    return ns == kNsMain && local == want;
}
}  // namespace detail

// Absent when the worksheet has no dimension before the end of <sheetData>
// (or of the document).
template <ByteSource Src>
[[nodiscard]] XmlResult<std::optional<DimensionHit>> find_dimension_in(Reader<Src>& r) {
    for (;;) {
        const Event ev = BR_TRY(r.next());
        switch (ev) {
            case Event::EndOfDocument:
                return std::nullopt;
            case Event::EndTag:
                if (detail::is_main(r.elem_ns, r.view(r.elem_local), "sheetData")) return std::nullopt;
                continue;
            case Event::CharData:
                continue;
            case Event::StartTag:
            case Event::EmptyTag:
                break;
        }
        if (!detail::is_main(r.elem_ns, r.view(r.elem_local), "dimension")) continue;
        r.begin_capture();
        const std::size_t depth = r.depth();
        if (r.last_kind() == Event::EmptyTag) {
            BR_TRY(r.next());
        } else {
            for (;;) {
                const Event in = BR_TRY(r.next());
                if (in == Event::EndOfDocument) {
                    r.win.capture_on = false;
                    return malformed("unexpected eof");
                }
                if (in == Event::EndTag) {
                    if (r.depth() < depth) break;
                    continue;
                }
                if (in == Event::CharData) continue;
                const std::string_view local = r.view(r.elem_local);
                if (detail::is_main(r.elem_ns, local, "sheetData") || detail::is_main(r.elem_ns, local, "dimension")) {
                    r.win.capture_on = false;
                    return unsupported("nested element handled by dispatcher");
                }
            }
        }
        DimensionHit hit;
        hit.snippet = r.end_capture();
        hit.namespaces = r.in_scope_namespaces();
        return std::optional<DimensionHit>(std::move(hit));
    }
}

}  // namespace brindle
