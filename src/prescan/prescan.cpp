// Outside <sheetData> the pull reader does the work; inside, the bytes are
// scanned for row and cell start tags only, at close to memory speed. Every
// construct for which such a scan could disagree with a real parse is
// refused instead.
#include <prescan/prescan.hpp>

#include <lib/errors.hpp>
#include <lib/pyref.hpp>
#include <pysource.hpp>
#include <sheet/helpers.hpp>
#include <utils/cell_text.hpp>
#include <xml/reader.hpp>

#include <climits>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace brindle {
namespace {

using R = XmlResult<void>;

[[nodiscard, gnu::cold, gnu::noinline]] std::unexpected<XmlError> py_error() {
    return std::unexpected(XmlError::source());
}

struct PosHash {
    std::size_t operator()(const std::pair<std::int64_t, std::int64_t>& p) const noexcept {
        return std::hash<std::int64_t>{}(p.first * 0x9E3779B97F4A7C15ull ^ std::uint64_t(p.second));
    }
};
using Pos = std::pair<std::int64_t, std::int64_t>;

bool tag_follow(std::uint8_t c) noexcept {
    return c == '\t' || c == '\n' || c == '\r' || c == ' ' || c == '/' || c == '>';
}

struct RawAttr {
    std::string_view prefix;  // empty: unprefixed
    std::string_view local;
    std::string value;  // references decoded
};

class Prescan {
public:
    Prescan(PyObject* source, bool want_rows, PyObject* row_index)
        : reader_(source), want_rows_(want_rows), row_index_(row_index) {}

    std::unordered_set<Pos, PosHash> wanted;
    std::unordered_set<std::int64_t> wanted_rows;

    [[nodiscard]] R run();
    PyObject* result();
    PyObject* raise(const XmlError& e) { return fallback_err(e, &reader_.win.source.held()); }

private:
    Reader<PySource> reader_;
    bool want_rows_;
    PyObject* row_index_;  // borrowed from the helpers dict, alive for the call
    std::int64_t row_ = 0, col_ = 0;
    bool sd_seen_ = false;
    PyRef head_ = PyRef::steal(PyList_New(0));
    PyRef tail_ = PyRef::steal(PyList_New(0));
    PyRef rows_ = PyRef::steal(PyList_New(0));
    std::vector<std::pair<Pos, std::optional<std::string>>> found_;
    std::unordered_map<Pos, std::size_t, PosHash> found_at_;
    std::vector<RawAttr> attrs_;
    std::string scratch_;

    const std::uint8_t* b() const noexcept { return reader_.win.buf.data(); }
    [[nodiscard]] R capture();
    [[nodiscard]] R sheet_data();
    [[nodiscard]] XmlResult<std::size_t> tag_end(std::size_t from);
    [[nodiscard]] R parse_attrs(std::size_t from, std::size_t end);
    [[nodiscard]] R row_tag(std::size_t lt, std::size_t gt);
    [[nodiscard]] R cell_tag(std::size_t lt, std::size_t gt);
};

PyObject* ns_list(const NamespaceList& ns) {
    PyRef list = PyRef::steal(PyList_New(Py_ssize_t(ns.size())));
    if (!list) return nullptr;
    for (std::size_t k = 0; k < ns.size(); ++k) {
        PyObject* t = Py_BuildValue("(s#s#)", ns[k].first.data(), Py_ssize_t(ns[k].first.size()),
                                    ns[k].second.data(), Py_ssize_t(ns[k].second.size()));
        if (!t) return nullptr;
        PyList_SET_ITEM(list.get(), Py_ssize_t(k), t);
    }
    return list.release();
}

R Prescan::capture() {
    auto& r = reader_;
    r.begin_capture();
    struct Guard {
        Reader<PySource>& r;
        ~Guard() { r.win.capture_on = false; }
    } guard{r};
    if (r.last_kind() == Event::EmptyTag) {
        BR_TRY(r.next());
    } else {
        const std::size_t depth = r.depth();
        for (;;) {
            const Event ev = BR_TRY(r.next());
            if (ev == Event::EndOfDocument) return malformed("unexpected eof");
            if (ev == Event::EndTag && r.depth() < depth) break;
        }
    }
    std::string bytes = r.end_capture();
    PyRef data = PyRef::steal(PyBytes_FromStringAndSize(bytes.data(), Py_ssize_t(bytes.size())));
    if (!data) return py_error();
    PyRef ns = PyRef::steal(ns_list(r.in_scope_namespaces()));
    if (!ns) return py_error();
    PyRef item = PyRef::steal(PyTuple_Pack(2, data.get(), ns.get()));
    if (!item || PyList_Append((sd_seen_ ? tail_ : head_).get(), item.get()) < 0) return py_error();
    return {};
}

R Prescan::run() {
    if (!head_ || !tail_ || !rows_) return py_error();
    auto& r = reader_;
    for (;;) {
        const Event ev = BR_TRY(r.next());
        if (ev == Event::EndOfDocument) return {};
        if (ev != Event::StartTag && ev != Event::EmptyTag) continue;
        const std::size_t depth = r.depth();
        if (depth == 1) continue;
        if (depth != 2) return unsupported("unexpected nesting");
        if (r.elem_ns == kNsMain && r.view(r.elem_local) == "sheetData") {
            // The raw scan below looks for "<row", "<c" and "</sheetData" as
            // written: only an unprefixed sheetData in the main default
            // namespace makes those the elements a parse would see.
            const std::uint8_t* p = b() + r.win.tag_start;
            const std::size_t n = r.win.tag_end - r.win.tag_start;
            if (n < 11 || std::memcmp(p + 1, "sheetData", 9) != 0 || p[10] == ':' || is_name_char(p[10]) ||
                r.default_ns() != kNsMain)
                return unsupported("prefixed sheetData");
            sd_seen_ = true;
            if (ev == Event::StartTag) BR_TRY_VOID(sheet_data());
            continue;
        }
        BR_TRY_VOID(capture());
    }
}

// The '>' ending the tag whose body starts at `from`; refills as needed.
XmlResult<std::size_t> Prescan::tag_end(std::size_t from) {
    auto& w = reader_.win;
    std::uint8_t quote = 0;
    std::size_t rel = from - w.pos;
    for (;;) {
        const std::size_t end = w.filled();
        const std::size_t i = find_tag_close(b(), w.pos + rel, end, quote);
        if (i < end) return i;
        rel = end - w.pos;
        if (!BR_TRY(w.more())) return malformed("eof in tag");
    }
}

R Prescan::sheet_data() {
    auto& w = reader_.win;
    const bool rows = want_rows_ || !wanted.empty();
    const bool cells = !wanted.empty();
    for (;;) {
        std::size_t lt = find_byte(b(), w.pos, w.filled(), '<');
        if (lt == w.filled()) {
            w.pos = lt;
            if (!BR_TRY(w.more())) return malformed("eof in element");
            continue;
        }
        w.pos = lt;
        BR_TRY(w.ensure(12));
        const std::uint8_t* p = b() + w.pos;
        const std::size_t avail = w.filled() - w.pos;
        if (avail < 2) return malformed("eof in element");
        if (p[1] == '!' || p[1] == '?') return unsupported("comment/cdata/pi in sheetData");
        if (avail >= 12 && std::memcmp(p, "</sheetData", 11) == 0 &&
            (p[11] == '\t' || p[11] == '\n' || p[11] == '\r' || p[11] == ' ' || p[11] == '>'))
            return {};  // the reader reads the end tag itself
        const bool is_row = rows && avail >= 5 && std::memcmp(p, "<row", 4) == 0 && tag_follow(p[4]);
        const bool is_cell = !is_row && cells && avail >= 3 && p[1] == 'c' && tag_follow(p[2]);
        if (!is_row && !is_cell) {
            ++w.pos;
            continue;
        }
        // Offsets from pos survive the compaction a refill may do.
        const std::size_t gt_rel = BR_TRY(tag_end(w.pos + 1)) - w.pos;
        if (is_row) BR_TRY_VOID(row_tag(w.pos, w.pos + gt_rel));
        else BR_TRY_VOID(cell_tag(w.pos, w.pos + gt_rel));
        w.pos += gt_rel + 1;
    }
}

// Attributes of a raw tag between `from` and `end` (before '>' or "/>").
R Prescan::parse_attrs(std::size_t from, std::size_t end) {
    attrs_.clear();
    const std::uint8_t* p = b();
    std::size_t j = from;
    for (;;) {
        const std::size_t ws0 = j;
        while (j < end && is_ws(p[j])) ++j;
        if (j == end) return {};
        if (j == ws0) return malformed("missing whitespace between attributes");
        const std::size_t n0 = j;
        if (!is_name_start(p[j])) return malformed("attribute name");
        while (j < end && is_name_char(p[j])) ++j;
        std::string_view name(reinterpret_cast<const char*>(p) + n0, j - n0);
        while (j < end && is_ws(p[j])) ++j;
        if (j == end || p[j] != '=') return malformed("expected =");
        ++j;
        while (j < end && is_ws(p[j])) ++j;
        if (j == end || (p[j] != '"' && p[j] != '\'')) return malformed("expected quote");
        const std::uint8_t q = p[j];
        const std::size_t v0 = j + 1;
        const std::size_t v1 = find_byte(p, v0, end, q);
        if (v1 == end) return malformed("unterminated value");
        j = v1 + 1;
        if (name == "xmlns" || name.starts_with("xmlns:")) return unsupported("namespace declaration");
        if (find_byte(p, v0, v1, '<') < v1) return malformed("< in attribute");
        BR_TRY_VOID(validate_chars(p + v0, v1 - v0));
        BR_TRY_VOID(validate_refs(p + v0, v1 - v0));
        RawAttr a;
        const std::size_t colon = name.find(':');
        if (colon != std::string_view::npos) {
            if (colon == 0 || colon + 1 == name.size() || name.find(':', colon + 1) != std::string_view::npos ||
                !is_local_start(std::uint8_t(name[colon + 1])))
                return malformed("qname");
            a.prefix = name.substr(0, colon);
            a.local = name.substr(colon + 1);
        } else {
            a.local = name;
        }
        std::string_view raw(reinterpret_cast<const char*>(p) + v0, v1 - v0);
        a.value.assign(decode_attr(raw, scratch_));
        attrs_.push_back(std::move(a));
        if (j < end && !is_ws(p[j])) return malformed("missing whitespace");
    }
}

R Prescan::row_tag(std::size_t lt, std::size_t gt) {
    const std::uint8_t* p = b();
    col_ = 0;
    if (!want_rows_ && gt - lt > 8 && std::memcmp(p + lt + 1, "row r=\"", 7) == 0) {
        const std::size_t v0 = lt + 8;
        const std::size_t q = find_byte(p, v0, gt, '"');
        if (q < gt) {
            if (auto v = short_decimal({reinterpret_cast<const char*>(p) + v0, q - v0})) {
                row_ = *v;
                return {};
            }
        }
    }
    const std::size_t body_end = p[gt - 1] == '/' ? gt - 1 : gt;
    BR_TRY_VOID(parse_attrs(lt + 4, body_end));
    const RawAttr* r = nullptr;
    bool other = false;
    for (const RawAttr& a : attrs_) {
        if (!a.prefix.empty()) continue;
        if (a.local == "r") r = &a;
        else if (a.local != "spans") other = true;
    }
    if (!r) {
        if (row_ == INT64_MAX) return unsupported("row index");
        ++row_;
    } else if (auto v = short_decimal(r->value)) {
        row_ = *v;
    } else {
        PyRef text = PyRef::steal(PyUnicode_FromStringAndSize(r->value.data(), Py_ssize_t(r->value.size())));
        if (!text) return py_error();
        PyRef res = PyRef::steal(PyObject_CallOneArg(row_index_, text.get()));
        if (!res) return py_error();
        long long v2 = PyLong_AsLongLong(res.get());
        if (v2 == -1 && PyErr_Occurred()) {
            if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return py_error();
            PyErr_Clear();
            return unsupported("row index");
        }
        row_ = v2;
    }
    if (!want_rows_ || !other) return {};
    NamespaceList scope;
    bool scoped = false;
    PyRef list = PyRef::steal(PyList_New(0));
    if (!list) return py_error();
    for (const RawAttr& a : attrs_) {
        std::string key;
        if (!a.prefix.empty()) {
            std::string_view uri;
            bool bound = false;
            if (a.prefix == "xml") {
                uri = kXmlNamespace;
                bound = true;
            } else {
                if (!scoped) scope = reader_.in_scope_namespaces(), scoped = true;
                for (const auto& [pre, u] : scope)
                    if (pre == a.prefix) uri = u, bound = !u.empty();
            }
            if (!bound) return malformed("unbound prefix");
            key.append("{").append(uri).append("}");
        }
        key.append(a.local);
        PyRef item = PyRef::steal(Py_BuildValue("(s#s#)", key.data(), Py_ssize_t(key.size()), a.value.data(),
                                                Py_ssize_t(a.value.size())));
        if (!item || PyList_Append(list.get(), item.get()) < 0) return py_error();
    }
    PyRef entry = PyRef::steal(Py_BuildValue("(LO)", static_cast<long long>(row_), list.get()));
    if (!entry || PyList_Append(rows_.get(), entry.get()) < 0) return py_error();
    return {};
}

R Prescan::cell_tag(std::size_t lt, std::size_t gt) {
    const std::uint8_t* p = b();
    if (gt - lt > 6 && std::memcmp(p + lt + 1, "c r=\"", 5) == 0) {
        const std::size_t v0 = lt + 6;
        const std::size_t q = find_byte(p, v0, gt, '"');
        if (q < gt) {
            if (auto rc = fast_coordinate({reinterpret_cast<const char*>(p) + v0, q - v0})) {
                col_ = rc->second;
                if (!wanted_rows.contains(rc->first)) return {};
            }
        }
    }
    const std::size_t body_end = p[gt - 1] == '/' ? gt - 1 : gt;
    BR_TRY_VOID(parse_attrs(lt + 2, body_end));
    const RawAttr* r = nullptr;
    const RawAttr* s = nullptr;
    for (const RawAttr& a : attrs_) {
        if (!a.prefix.empty()) continue;
        if (a.local == "r") r = &a;
        else if (a.local == "s") s = &a;
    }
    Pos pos;
    if (r && !r->value.empty()) {
        auto rc = fast_coordinate(r->value);
        if (!rc) return unsupported("coordinate");
        pos = *rc;
        col_ = rc->second;
    } else {
        if (col_ == INT64_MAX) return unsupported("column index");
        pos = {row_, ++col_};
    }
    if (!wanted.contains(pos)) return {};
    std::optional<std::string> style;
    if (s) style = s->value;
    if (auto it = found_at_.find(pos); it != found_at_.end()) {
        found_[it->second].second = std::move(style);
    } else {
        found_at_.emplace(pos, found_.size());
        found_.emplace_back(pos, std::move(style));
    }
    return {};
}

PyObject* Prescan::result() {
    PyRef corners = PyRef::steal(PyDict_New());
    if (!corners) return nullptr;
    for (const auto& [pos, style] : found_) {
        PyRef key = PyRef::steal(Py_BuildValue("(LL)", static_cast<long long>(pos.first),
                                               static_cast<long long>(pos.second)));
        if (!key) return nullptr;
        PyRef val = style ? PyRef::steal(PyUnicode_FromStringAndSize(style->data(), Py_ssize_t(style->size())))
                          : PyRef::borrow(Py_None);
        if (!val || PyDict_SetItem(corners.get(), key.get(), val.get()) < 0) return nullptr;
    }
    return Py_BuildValue("{s:O,s:O,s:O,s:O}", "head", head_.get(), "tail", tail_.get(), "rows", rows_.get(),
                         "corners", corners.get());
}

PyResult<bool> read_corners(PyObject* corners, Prescan& scan) {
    if (corners == Py_None) return true;
    PyRef it = PyRef::steal(PyObject_GetIter(corners));
    if (!it) return py_err();
    while (PyRef item = PyRef::steal(PyIter_Next(it.get()))) {
        PyRef pair = PyRef::steal(PySequence_Tuple(item.get()));
        if (!pair) return py_err();
        if (PyTuple_GET_SIZE(pair.get()) != 2) {
            PyErr_Format(PyExc_ValueError, "corners must hold (row, column) pairs, got %zd items",
                         PyTuple_GET_SIZE(pair.get()));
            return py_err();
        }
        long long row = PyLong_AsLongLong(PyTuple_GET_ITEM(pair.get(), 0));
        if (row == -1 && PyErr_Occurred()) return py_err();
        long long col = PyLong_AsLongLong(PyTuple_GET_ITEM(pair.get(), 1));
        if (col == -1 && PyErr_Occurred()) return py_err();
        scan.wanted.insert({row, col});
        scan.wanted_rows.insert(row);
    }
    if (PyErr_Occurred()) return py_err();
    return true;
}

}  // namespace

PyObject* prescan_sheet(PyObject* source, PyObject* want_rows, PyObject* corners, PyObject* helpers) {
    if (!PyBool_Check(want_rows))
        return PyErr_Format(PyExc_TypeError, "prescan_sheet() argument 'want_rows' must be bool, not %.200s",
                            Py_TYPE(want_rows)->tp_name);
    if (!PyDict_Check(helpers))
        return PyErr_Format(PyExc_TypeError, "prescan_sheet() argument 'helpers' must be dict, not %.200s",
                            Py_TYPE(helpers)->tp_name);
    try {
        PyResult<PyRef> row_index = require_helper(helpers, "row_index");
        if (!row_index) return nullptr;
        Prescan scan(source, want_rows == Py_True, row_index->get());
        if (!read_corners(corners, scan)) return nullptr;
        if (auto r = scan.run(); !r) return scan.raise(r.error());
        return scan.result();
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

}  // namespace brindle
