// Walking the worksheet: the top-level dispatch, rows and the children of
// cells. Value interpretation is in interpret.cpp, Python objects in
// convert.cpp.
#include <sheet/parser.hpp>

#include <frame/args.hpp>
#include <xml/pyxml.hpp>

#include <text/element_text.hpp>
#include <sheet/limits.hpp>
#include <text/x005f.hpp>
#include <utils/cell_text.hpp>
#include <xml/fast_attrs.hpp>

#include <algorithm>
#include <array>
#include <charconv>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#include <climits>
#include <cstring>

namespace brindle {
namespace {

constexpr std::array<std::string_view, 22> kDispatched = {
    // clang-format off
    "row", "col", "extLst", "sheetPr", "rowBreaks", "colBreaks", "pageSetup", "scenarios",
    "autoFilter", "sheetViews", "tableParts", "hyperlinks", "mergeCells", "pageMargins",
    "printOptions", "headerFooter", "legacyDrawing", "sheetFormatPr", "sheetProtection",
    "dataValidations", "conditionalFormatting", "customSheetViews",
    // clang-format on
};

// The host's worksheet parts in their order of the file format; sorted below
// for the search. Only these are worth capturing for a host that keeps the
// sheet's other parts.
constexpr std::array<std::string_view, 39> kKeepable = [] {
    std::array<std::string_view, 39> names = {
        // clang-format off
        "sheetPr", "dimension", "sheetViews", "sheetFormatPr", "cols", "sheetData", "sheetCalcPr",
        "sheetProtection", "protectedRanges", "scenarios", "autoFilter", "sortState",
        "dataConsolidate", "customSheetViews", "mergeCells", "phoneticPr", "conditionalFormatting",
        "dataValidations", "hyperlinks", "printOptions", "pageMargins", "pageSetup", "headerFooter",
        "rowBreaks", "colBreaks", "customProperties", "cellWatches", "ignoredErrors", "smartTags",
        "drawing", "legacyDrawing", "legacyDrawingHF", "drawingHF", "picture", "oleObjects",
        "controls", "webPublishItems", "tableParts", "extLst",
        // clang-format on
    };
    std::ranges::sort(names);
    return names;
}();

auto forbid = [](std::uint32_t ns, std::string_view local) { return forbid_dispatch(ns, local); };

// Cell texts the fast path may take byte for byte: what the reader would
// hand over unchanged (no references, no CR, no '>' that could end "]]>"),
// in valid UTF-8 without the two non-characters XML excludes.
bool plain_text(const std::uint8_t* p, std::size_t n) noexcept {
    SpanFlags f = scan_span(p, n);
    if (f.bad_ctrl || f.cr || f.amp || f.gt || f.lt) return false;
    return !f.high || validate_utf8(p, n).has_value();
}

// Byte classes of the short-text scan: 0 plain ASCII, 1 the '<' that ends
// the text, 2 a byte that sends the cell to the general path, 3 non-ASCII.
constexpr auto kTextClass = [] {
    std::array<std::uint8_t, 256> t{};
    for (int c = 0; c < 0x20; ++c) t[c] = 2;
    t['\t'] = t['\n'] = 0;
    t['&'] = t['>'] = 2;
    t['<'] = 1;
    for (int c = 0x80; c < 0x100; ++c) t[c] = 3;
    return t;
}();

// The index of the '<' that ends the plain text starting at `from`, or `n`
// when the text is not plain or not all in the window.
std::size_t plain_run(const std::uint8_t* p, std::size_t from, std::size_t n) noexcept {
#if defined(__SSE2__)
    // PERF: most values end within 32 bytes: a block or two answer where
    // the text ends and whether anything before that needs a closer look,
    // with no branch on each byte.
    auto block = [p](std::size_t at, unsigned& special) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + at));
        // Signed: below 0x20, and every byte from 0x80 up.
        const __m128i low_or_high = _mm_cmplt_epi8(x, _mm_set1_epi8(0x20));
        const __m128i tab_lf =
            _mm_or_si128(_mm_cmpeq_epi8(x, _mm_set1_epi8('\t')), _mm_cmpeq_epi8(x, _mm_set1_epi8('\n')));
        special = unsigned(_mm_movemask_epi8(
            _mm_or_si128(_mm_andnot_si128(tab_lf, low_or_high),
                         _mm_or_si128(_mm_cmpeq_epi8(x, _mm_set1_epi8('&')), _mm_cmpeq_epi8(x, _mm_set1_epi8('>'))))));
        return unsigned(_mm_movemask_epi8(_mm_cmpeq_epi8(x, _mm_set1_epi8('<'))));
    };
    if (n - from >= 16) {
        unsigned special;
        const unsigned lt = block(from, special);
        if (lt != 0) {
            const unsigned first = unsigned(__builtin_ctz(lt));
            if ((special & ((1u << first) - 1)) == 0) return from + first;
        } else if (special == 0 && n - from >= 32) {
            unsigned special2;
            const unsigned lt2 = block(from + 16, special2);
            if (lt2 != 0) {
                const unsigned first = unsigned(__builtin_ctz(lt2));
                if ((special2 & ((1u << first) - 1)) == 0) return from + 16 + first;
            }
        }
    }
#endif
    // Cell values are a few bytes long: one table lookup per byte beats the
    // setup of the vectorised scans, which take the long ones.
    const std::size_t lim = n - from < 32 ? n : from + 32;
    bool high = false;
    for (std::size_t k = from; k < lim; ++k) {
        const std::uint8_t cls = kTextClass[p[k]];
        if (cls == 0) [[likely]]
            continue;
        if (cls == 1) return !high || validate_utf8(p + from, k - from).has_value() ? k : n;
        if (cls == 2) return n;
        high = true;
    }
    if (lim == n) return n;
    const std::size_t lt = find_byte(p, from, n, '<');
    if (lt == n || !plain_text(p + from, lt - from)) return n;
    return lt;
}

// The closing quote of a plain attribute value starting at `from`, or `n`.
std::size_t plain_attr_run(const std::uint8_t* p, std::size_t from, std::size_t n) noexcept {
#if defined(__SSE2__)
    // PERF: references, style ids and types end within 16 bytes.
    if (n - from >= 16) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + from));
        const unsigned quote = unsigned(_mm_movemask_epi8(_mm_cmpeq_epi8(x, _mm_set1_epi8('"'))));
        if (quote != 0) {
            // Signed: below 0x20, and every byte from 0x80 up.
            const __m128i bad = _mm_or_si128(_mm_cmplt_epi8(x, _mm_set1_epi8(0x20)),
                                             _mm_or_si128(_mm_cmpeq_epi8(x, _mm_set1_epi8('&')),
                                                          _mm_cmpeq_epi8(x, _mm_set1_epi8('<'))));
            const unsigned first = unsigned(__builtin_ctz(quote));
            if ((unsigned(_mm_movemask_epi8(bad)) & ((1u << first) - 1)) == 0) return from + first;
            return n;
        }
    }
#endif
    for (std::size_t k = from; k < n; ++k) {
        const std::uint8_t cls = kAttrByteClass.v[p[k]];
        if (cls == 0) [[likely]]
            continue;
        return cls == 1 ? k : n;
    }
    return n;
}

// The cell tag's usual form: single-space separated r, s and t attributes,
// straight into the cell's texts. Anything else goes through the general
// fast scan.
FastScan cell_attrs(const std::uint8_t* p, std::size_t n, std::size_t start, CellTexts& c,
                    CellTagCollector& tag) noexcept {
    constexpr FastScan kNo{0, FastStatus::NotTaken};
    auto view = [p](std::size_t a, std::size_t b) {
        return std::string_view(reinterpret_cast<const char*>(p) + a, b - a);
    };
    std::size_t i = start;
    unsigned seen = 0;
    for (;;) {
        if (i >= n) return kNo;
        const std::uint8_t ch = p[i];
        if (ch == '>') return {i + 1, FastStatus::Start};
        if (ch == '/') {
            if (i + 1 < n && p[i + 1] == '>') return {i + 2, FastStatus::Empty};
            return kNo;
        }
        if (ch != ' ' || n - i < 4 || p[i + 2] != '=' || p[i + 3] != '"') break;
        const std::uint8_t name = p[i + 1];
        // clang-format off
        const unsigned bit = name == 'r' ? 1u : name == 's' ? 2u : name == 't' ? 4u : 0u;
        // clang-format on
        if (!bit || (seen & bit)) break;
        seen |= bit;
        const std::size_t v0 = i + 4;
        const std::size_t v1 = plain_attr_run(p, v0, n);
        if (v1 == n) return kNo;
        if (bit == 1) c.r = view(v0, v1), c.has_r = true;
        else if (bit == 2) c.s = view(v0, v1), c.has_s = true;
        else c.t = view(v0, v1), c.has_t = true;
        i = v1 + 1;
    }
    tag.reset();
    const FastScan f = fast_attrs(p, n, start, tag);
    auto take = [&](const FastValue& fv, std::string_view& dst, bool& has) {
        dst = fv.present ? view(fv.span.start, fv.span.end) : std::string_view();
        has = fv.present;
    };
    take(tag.r, c.r, c.has_r);
    take(tag.s, c.s, c.has_s);
    take(tag.t, c.t, c.has_t);
    return f;
}

}  // namespace

bool keepable_element(std::uint32_t ns, std::string_view local) noexcept {
    return ns == kNsMain && std::ranges::binary_search(kKeepable, local);
}

bool forbid_dispatch(std::uint32_t ns, std::string_view local) noexcept {
    if (ns != kNsMain) return false;
    for (std::string_view d : kDispatched)
        if (d == local) return true;
    return false;
}

SheetParser::SheetParser(PyObject* source, Helpers helpers, Settings settings, PyRef actions,
                         PyRef row_dimensions)
    : reader(source), settings_(std::move(settings)), helpers_(std::move(helpers)),
      actions_(std::move(actions)), row_dimensions_(std::move(row_dimensions)) {
    for (int k = 0; k < kDtCount; ++k) {
        dt_[k] = PyRef::steal(PyUnicode_InternFromString(kDtNames[k].data()));
        if (!dt_[k]) break;  // reported by create()
    }
    text_.item_dangerous = helpers_.text_dangerous;
    text_.run_dangerous = helpers_.rich_dangerous;
}

PyResult<std::unique_ptr<SheetParser>> SheetParser::create(PyObject* source, Helpers helpers, Settings settings,
                                                           PyRef actions, PyRef row_dimensions) {
    auto p = std::make_unique<SheetParser>(source, std::move(helpers), std::move(settings), std::move(actions),
                                           std::move(row_dimensions));
    for (const PyRef& d : p->dt_)
        if (!d) return py_err();
    return p;
}

PyResult<void> SheetParser::next_item_into(Item& out) {
    for (;;) {
        // Row tags inside <sheetData> are nearly always in the plain form.
        const Event ev = in_sheet_data_ && reader.fast_start_tag() ? reader.last_kind() : BR_TRY(reader.next());
        switch (ev) {
            case Event::EndOfDocument:
                BR_TRY(close_run());
                out.kind = Item::Kind::End;
                return {};
            case Event::CharData:
                continue;
            case Event::EndTag:
                if (reader.depth() == 1) in_sheet_data_ = false;
                continue;
            case Event::StartTag:
            case Event::EmptyTag:
                break;
        }
        const std::size_t depth = reader.depth();
        if (depth == 1) continue;
        const bool main = reader.elem_ns == kNsMain;
        std::string_view local = reader.view(reader.elem_local);
        if (depth == 2 && main && local == "sheetData") {
            // An empty <sheetData/> is left again by its end event.
            in_sheet_data_ = true;
            continue;
        }
        if (depth == 3 && in_sheet_data_ && main && local == "row") {
            other_rows_ = false;
            BR_TRY_VOID(parse_row(out));
            out.other_rows = other_rows_;
            return {};
        }
        if (depth == 2 || (depth == 3 && in_sheet_data_)) {
            if (BR_TRY(child_element(out))) return {};
            continue;
        }
        return unsupported("unexpected nesting");
    }
}

// A child of the worksheet or of <sheetData> other than a row, at its start
// tag: true with `out` filled when it is reported.
PyResult<bool> SheetParser::child_element(Item& out) {
    if (!keep_elements_) {
        BR_TRY(skip_element());
        return false;
    }
    if (!keepable_element(reader.elem_ns, reader.view(reader.elem_local))) {
        // Skipped unread, named once: a sheet of countless such elements
        // costs what reading past them costs.
        // By local name, the name the host's warning shows.
        std::string_view local = reader.view(reader.elem_local);
        const bool first = !unkept_.contains(local) && unkept_.emplace(local).second;
        if (first) out.bytes.assign(local);
        BR_TRY(skip_element());
        if (!first) return false;
        out.kind = Item::Kind::Unknown;
        out.namespaces.reset();
        return true;
    }
    reader.begin_capture();
    {
        detail::CaptureGuard<PySource> guard{reader};
        BR_TRY(skip_element());
        out.bytes = reader.end_capture();
    }
    // PERF: the bindings are listed once per scope, not once per element:
    // thousands of declarations over thousands of elements stay linear.
    if (const std::uint64_t token = reader.scope_token(); !scope_ || token != scope_token_) {
        scope_ = std::make_shared<const NamespaceList>(reader.in_scope_namespaces());
        scope_token_ = token;
    }
    out.kind = Item::Kind::Element;
    out.namespaces = scope_;
    return true;
}

// Reads through the end of the element whose start event was just reported.
PyResult<void> SheetParser::skip_element() {
    if (reader.last_kind() == Event::EmptyTag) {
        BR_TRY(reader.next());
        return {};
    }
    const std::size_t depth = reader.depth();
    for (;;) {
        const Event ev = BR_TRY(reader.next());
        if (ev == Event::EndOfDocument) return malformed("unexpected eof");
        if (ev == Event::EndTag && reader.depth() < depth) return {};
    }
}

PyResult<std::pair<std::string, NamespaceList>> SheetParser::capture_checked() {
    reader.begin_capture();
    detail::CaptureGuard<PySource> guard{reader};
    if (reader.last_kind() == Event::EmptyTag) {
        BR_TRY(reader.next());
    } else {
        const std::size_t depth = reader.depth();
        for (;;) {
            const Event ev = BR_TRY(reader.next());
            if (ev == Event::EndOfDocument) return malformed("unexpected eof");
            if (ev == Event::EndTag && reader.depth() < depth) break;
        }
    }
    std::string bytes = reader.end_capture();
    return std::pair{std::move(bytes), reader.in_scope_namespaces()};
}

PyResult<PyRef> SheetParser::attr_dict(bool skip_r) {
    PyRef d = PyRef::steal(PyDict_New());
    if (!d) return py_err();
    std::string key;
    for (const Attr& a : reader.attrs()) {
        if (skip_r && a.ns == 0 && reader.view(a.local) == "r") continue;
        reader.attr_key(a, key);
        std::string_view v = reader.attr_value(a, scratch_);
        PyRef k = PyRef::steal(PyUnicode_FromStringAndSize(key.data(), Py_ssize_t(key.size())));
        if (!k) return py_err();
        PyRef val = PyRef::steal(PyUnicode_FromStringAndSize(v.data(), Py_ssize_t(v.size())));
        if (!val || PyDict_SetItem(d.get(), k.get(), val.get()) < 0) return py_err();
    }
    return d;
}

namespace {
// What stands for one attribute in a row's bytes, ahead of its name and value.
struct AttrHead {
    std::int32_t ns;
    std::uint32_t local_size;
    std::uint32_t value_size;
};
}  // namespace

// Files that give rows settings mostly give every row the same ones (a
// height on each after a change of font): rows alike share one dict, which
// the host then reads once.
// PERF: a row is told from the last by the bytes of its attributes, so that
// a row like the last makes no Python object but its number, and the bytes
// are compared where they lie, copied only when they change. Equal bytes
// under equal namespace ids give equal dicts; bytes that differ (another
// order, another way of writing a character) still get the dicts compared.
PyResult<void> SheetParser::keep_row_attrs() {
    // Each attribute but `r` as its parts: a head (namespace id and sizes),
    // its local name, its value; `put` returns false to stop.
    const auto each_part = [&](auto&& put) {
        for (const Attr& a : reader.attrs()) {
            std::string_view local = reader.view(a.local);
            if (a.ns == 0 && local == "r") continue;
            std::string_view value = reader.view(a.value);
            const AttrHead head{a.ns, static_cast<std::uint32_t>(local.size()),
                                static_cast<std::uint32_t>(value.size())};
            if (!put(std::string_view(reinterpret_cast<const char*>(&head), sizeof head), local, value))
                return;
        }
    };
    bool same = static_cast<bool>(last_row_attrs_);
    std::size_t at = 0;
    const auto match = [&](std::string_view part) noexcept {
        same = same && last_row_bytes_.size() - at >= part.size() &&
               std::memcmp(last_row_bytes_.data() + at, part.data(), part.size()) == 0;
        at += part.size();
    };
    each_part([&](std::string_view head, std::string_view local, std::string_view value) {
        match(head);
        match(local);
        match(value);
        return same;
    });
    if (!same || at != last_row_bytes_.size()) {
        row_bytes_.clear();
        each_part([&](std::string_view head, std::string_view local, std::string_view value) {
            row_bytes_.append(head);
            row_bytes_.append(local);
            row_bytes_.append(value);
            return true;
        });
        PyRef d = BR_TRY(attr_dict(true));
        int equal = 0;
        if (last_row_attrs_) {
            equal = PyObject_RichCompareBool(d.get(), last_row_attrs_.get(), Py_EQ);
            if (equal < 0) return py_err();
        }
        if (!equal) last_row_attrs_ = std::move(d);
        // Either way the bytes now stand for the dict kept.
        last_row_bytes_.swap(row_bytes_);
    }
    if (row_runs_) return extend_run();
    // The row number as the host's str() writes it, ASCII digits.
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof digits, row_counter_).ptr;
    const Py_ssize_t n = end - digits;
    PyRef key = PyRef::steal(PyUnicode_New(n, 127));
    if (!key) return py_err();
    std::memcpy(PyUnicode_1BYTE_DATA(key.get()), digits, static_cast<std::size_t>(n));
    if (PyDict_SetItem(row_dimensions_.get(), key.get(), last_row_attrs_.get()) < 0) return py_err();
    return {};
}

// PERF: a run of rows alike is one [first, last, attributes] list, grown
// by its last row number alone; no Python object is made per row.
PyResult<void> SheetParser::extend_run() {
    if (run_ && PyList_GET_ITEM(run_.get(), 2) == last_row_attrs_.get() && row_counter_ - 1 == run_last_) {
        run_last_ = row_counter_;
        return {};
    }
    BR_TRY(close_run());
    PyRef first = PyRef::steal(PyLong_FromLongLong(row_counter_));
    if (!first) return py_err();
    PyRef run = PyRef::steal(PyList_New(3));
    if (!run) return py_err();
    PyList_SET_ITEM(run.get(), 0, first.clone().release());
    PyList_SET_ITEM(run.get(), 1, first.release());
    PyList_SET_ITEM(run.get(), 2, last_row_attrs_.clone().release());
    if (PyList_Append(row_runs_.get(), run.get()) < 0) return py_err();
    run_ = std::move(run);
    run_first_ = run_last_ = row_counter_;
    return {};
}

PyResult<void> SheetParser::close_run() {
    if (!run_) return {};
    if (run_last_ != run_first_) {
        PyRef last = PyRef::steal(PyLong_FromLongLong(run_last_));
        if (!last) return py_err();
        if (PyList_SetItem(run_.get(), 1, last.release()) < 0) return py_err();
    }
    run_ = PyRef();
    return {};
}

PyResult<void> SheetParser::parse_row(Item& out) {
    out.kind = Item::Kind::Row;
    out.cells.clear();
    const Attr* r_attr = nullptr;
    bool other = false;
    for (const Attr& a : reader.attrs()) {
        if (a.ns != 0) continue;
        std::string_view local = reader.view(a.local);
        if (local == "r") r_attr = &a;
        else if (local != "spans") other = true;
    }
    if (!r_attr) {
        if (row_counter_ == INT64_MAX) return unsupported("row index");
        ++row_counter_;
    } else {
        std::string_view text = reader.attr_value(*r_attr, scratch_);
        if (auto v = short_decimal(text)) {
            row_counter_ = *v;
        } else {
            PyRef res = BR_TRY(py_call1(helpers_.row_index.get(), text));
            // The host's ints have no bound; past 64 bits the host reads the sheet.
            const std::optional<std::int64_t> big = BR_TRY(index_int64(res.get()));
            if (!big) return unsupported("row index");
            row_counter_ = *big;
        }
    }
    if (!row_in_sheet(row_counter_)) [[unlikely]] {
        raise_limit(row_outside_message(row_counter_).c_str());
        return py_err();
    }
    col_counter_ = 0;
    out.row = row_counter_;
    if (other) {
        BR_TRY(keep_row_attrs());
    }
    if (reader.last_kind() == Event::EmptyTag) {
        BR_TRY(reader.next());
        return {};
    }
    const std::size_t depth = reader.depth();
    const bool fast = !settings_.rich_text && reader.default_ns() == kNsMain;
    for (;;) {
        if (fast) {
            if (BR_TRY(fast_cell(out.cells))) continue;
            if (reader.fast_end_tag()) {
                if (reader.depth() < depth) return {};
                continue;
            }
        }
        const Event ev = BR_TRY(reader.next());
        switch (ev) {
            case Event::EndOfDocument:
                return malformed("eof in row");
            case Event::CharData:
                continue;
            case Event::EndTag:
                if (reader.depth() < depth) return {};
                continue;
            case Event::StartTag:
            case Event::EmptyTag:
                if (forbid_dispatch(reader.elem_ns, reader.view(reader.elem_local)))
                    return unsupported("dispatch tag inside row");
                BR_TRY_VOID(parse_cell(out.cells));
                continue;
        }
    }
}

PyResult<void> SheetParser::read_inline() {
    if (settings_.rich_text) {
        auto [bytes, ns] = BR_TRY(capture_checked());
        inline_ = Val::py_(BR_TRY(host_item(helpers_.rich_inline.get(), bytes, ns)));
    } else {
        // The text reader is plain C++: the host's exception waits in held_.
        auto validate = [this](std::string_view rpr, const NamespaceList& ns) -> XmlResult<bool> {
            return hold_error([&]() -> PyResult<bool> {
                PyRef res = BR_TRY(host_item(helpers_.validate_rpr.get(), rpr, ns));
                const int t = PyObject_IsTrue(res.get());
                if (t < 0) return py_err();
                return t != 0;
            }(),
                              held_);
        };
        TextItem item = BR_TRY(parse_text(reader, text_, forbid, validate));
        if (item.deferred) {
            inline_ = Val::py_(BR_TRY(host_item(helpers_.text_content.get(), item.bytes, item.namespaces)));
        } else {
            decode_escapes(item.text);
            inline_ = Val::text_(item.text);
        }
    }
    has_inline_ = true;
    return {};
}

PyResult<PyRef> SheetParser::host_item(PyObject* fn, std::string_view bytes, const NamespaceList& ns) {
    PyRef b = BR_TRY(bytes_from(bytes));
    PyRef l = BR_TRY(namespace_list(ns));
    return owned(PyObject_CallFunctionObjArgs(fn, b.get(), l.get(), nullptr));
}

void SheetParser::begin_cell() {
    bufs_.clear();
    if (dt_dict_) dt_dict_.reset();
    if (has_inline_) {
        inline_ = Val{};
        has_inline_ = false;
    }
}

PyResult<void> SheetParser::parse_cell(std::vector<CellRec>& cells) {
    begin_cell();
    for (const Attr& a : reader.attrs()) {
        if (a.ns != 0) continue;
        if (a.local.size() == 2 && settings_.as_read) {
            // A cell's metadata indexes (dynamic-array formulas, rich
            // values), kept for the cell to be written back with them.
            const std::string_view name = reader.view(a.local);
            if (name == "cm") {
                bufs_.cm.assign(reader.attr_value(a, scratch_));
                bufs_.has_cm = true;
            } else if (name == "vm") {
                bufs_.vm.assign(reader.attr_value(a, scratch_));
                bufs_.has_vm = true;
            }
            continue;
        }
        if (a.local.size() != 1) continue;
        const char c = reader.view(a.local)[0];
        // clang-format off
        std::string* dst = c == 'r' ? &bufs_.r : c == 's' ? &bufs_.s : c == 't' ? &bufs_.t : nullptr;
        if (!dst) continue;
        dst->assign(reader.attr_value(a, scratch_));
        (c == 'r' ? bufs_.has_r : c == 's' ? bufs_.has_s : bufs_.has_t) = true;
        // clang-format on
    }
    StyleId style = BR_TRY(style_of(bufs_.has_s, bufs_.s));
    if (reader.last_kind() == Event::EmptyTag) {
        BR_TRY(reader.next());
    } else {
        const bool inline_type = bufs_.has_t && bufs_.t == kDtNames[kDtInlineStr];
        bool seen_v = false, seen_is = false;
        const std::size_t depth = reader.depth();
        for (;;) {
            const Event ev = BR_TRY(reader.next());
            if (ev == Event::EndOfDocument) return malformed("eof in cell");
            if (ev == Event::CharData) continue;
            if (ev == Event::EndTag) {
                if (reader.depth() < depth) break;
                continue;
            }
            const std::uint32_t ns = reader.elem_ns;
            std::string_view local = reader.view(reader.elem_local);
            if (forbid_dispatch(ns, local)) return unsupported("dispatch tag inside cell");
            if (ns != kNsMain) {
                BR_TRY_VOID(skip_checked(reader, forbid));
            } else if (local == "v" && !seen_v) {
                seen_v = true;
                bufs_.has_v = BR_TRY(element_text_into(reader, bufs_.v, forbid));
            } else if (local == "f" && !bufs_.has_f) {
                bufs_.has_f = true;
                for (const Attr& a : reader.attrs()) {
                    if (a.ns != 0) continue;
                    std::string_view n = reader.view(a.local);
                    // clang-format off
                    std::string* dst = n == "t" ? &bufs_.f_t : n == "ref" ? &bufs_.f_ref : n == "si" ? &bufs_.f_si : nullptr;
                    if (!dst) continue;
                    dst->assign(reader.attr_value(a, scratch_));
                    (n == "t" ? bufs_.has_f_t : n == "ref" ? bufs_.has_f_ref : bufs_.has_f_si) = true;
                    // clang-format on
                }
                if (bufs_.has_f_t && bufs_.f_t == "dataTable" && !settings_.data_only)
                    dt_dict_ = BR_TRY(attr_dict());
                BR_TRY(element_text_into(reader, bufs_.f, forbid));
            } else if (local == "is" && inline_type && !seen_is) {
                seen_is = true;
                BR_TRY_VOID(read_inline());
            } else {
                BR_TRY_VOID(skip_checked(reader, forbid));
            }
        }
    }
    cur_ = CellTexts{bufs_.r, bufs_.s, bufs_.t, bufs_.v, bufs_.f, bufs_.f_t, bufs_.f_ref, bufs_.f_si,
                     bufs_.has_r, bufs_.has_s, bufs_.has_t, bufs_.has_f, bufs_.has_f_t, bufs_.has_f_ref,
                     bufs_.has_f_si};
    const std::size_t before = cells.size();
    BR_TRY(interpret(std::move(style), cells));
    if ((bufs_.has_cm || bufs_.has_vm) && cells.size() > before) BR_TRY(keep_cell_meta(cells.back()));
    return {};
}

// Cell metadata (cm) marks the formula as a dynamic array: a cell whose
// formula was not read (data_only) has nothing it could describe.
PyResult<void> SheetParser::keep_cell_meta(CellRec& rec) {
    const bool cm = bufs_.has_cm && !(bufs_.has_f && rec.data_type.code != kDtF);
    const Py_ssize_t n = Py_ssize_t{cm} + Py_ssize_t{bufs_.has_vm};
    if (n == 0) return {};
    PyRef meta = PyRef::steal(PyTuple_New(n));
    if (!meta) return py_err();
    Py_ssize_t i = 0;
    const auto put = [&](const char* name, const std::string& text) -> PyResult<void> {
        PyRef pair = PyRef::steal(Py_BuildValue("(ss#)", name, text.data(), static_cast<Py_ssize_t>(text.size())));
        if (!pair) return py_err();
        PyTuple_SET_ITEM(meta.get(), i++, pair.release());
        return {};
    };
    if (cm) BR_TRY(put("cm", bufs_.cm));
    if (bufs_.has_vm) BR_TRY(put("vm", bufs_.vm));
    rec.meta = std::move(meta);
    return {};
}

// A whole ordinary cell straight from the window: <c ...> with <v> and <f>
// children in their plain forms only. Anything else leaves the reader
// untouched and answers false, and the cell is read through events.
PyResult<bool> SheetParser::fast_cell(std::vector<CellRec>& cells) {
    auto& w = reader.win;
    const std::uint8_t* p = w.buf.data();
    const std::size_t n = w.filled();
    const std::size_t i = w.pos;
    if (n - i < 4 || p[i] != '<' || p[i + 1] != 'c') return false;
    if (p[i + 2] != ' ' && p[i + 2] != '/' && p[i + 2] != '>') return false;
    auto view = [p](std::size_t a, std::size_t b) {
        return std::string_view(reinterpret_cast<const char*>(p) + a, b - a);
    };
    // Filled as the tag is read; a refused cell leaves them to parse_cell,
    // which sets them all again.
    CellTexts& c = cur_;
    c = CellTexts{};
    const FastScan tag = cell_attrs(p, n, i + 2, c, cell_tag_);
    if (tag.status == FastStatus::NotTaken) return false;
    std::size_t j = tag.pos;
    bool seen_v = false;
    bool whole = tag.status != FastStatus::Start;
    if (!whole && n - j >= 3 && std::memcmp(p + j, "<v>", 3) == 0) {
        // PERF: most cells are one <v> and nothing else; their end is one
        // comparison instead of a turn of the child loop per tag.
        const std::size_t t0 = j + 3;
        const std::size_t lt = plain_run(p, t0, n);
        if (n - lt >= 8 && std::memcmp(p + lt, "</v></c>", 8) == 0) {
            c.v = view(t0, lt);
            j = lt + 8;
            whole = true;
        }
    }
    if (!whole) {
        for (;;) {
            if (n - j < 4 || p[j] != '<') return false;
            const std::uint8_t k = p[j + 1], d = p[j + 2];
            if (k == '/') {
                if (d != 'c' || p[j + 3] != '>') return false;
                j += 4;
                break;
            }
            if (k == 'v') {
                if (seen_v) return false;
                seen_v = true;
                if (d == '/') {
                    if (p[j + 3] != '>') return false;
                    j += 4;
                    continue;
                }
                if (d != '>') return false;
                const std::size_t t0 = j + 3;
                const std::size_t lt = plain_run(p, t0, n);
                if (n - lt < 4 || std::memcmp(p + lt, "</v>", 4) != 0) return false;
                c.v = view(t0, lt);
                j = lt + 4;
            } else if (k == 'f') {
                if (c.has_f || (d != ' ' && d != '/' && d != '>')) return false;
                c.has_f = true;
                std::size_t t0;
                if (d == '>') {
                    t0 = j + 3;
                } else {
                    f_tag_.reset();
                    const FastScan ft = fast_attrs(w, j + 2, f_tag_);
                    if (ft.status == FastStatus::NotTaken) return false;
                    auto take = [&](const FastValue& fv, std::string_view& dst, bool& has) {
                        if (fv.present) dst = view(fv.span.start, fv.span.end), has = true;
                    };
                    take(f_tag_.t, c.f_t, c.has_f_t);
                    take(f_tag_.ref, c.f_ref, c.has_f_ref);
                    take(f_tag_.si, c.f_si, c.has_f_si);
                    if (c.has_f_t && c.f_t == "dataTable") return false;
                    if (ft.status == FastStatus::Empty) {
                        j = ft.pos;
                        continue;
                    }
                    t0 = ft.pos;
                }
                const std::size_t lt = plain_run(p, t0, n);
                if (n - lt < 4 || std::memcmp(p + lt, "</f>", 4) != 0) return false;
                c.f = view(t0, lt);
                j = lt + 4;
            } else {
                return false;
            }
        }
    }
    if (dt_dict_) dt_dict_.reset();
    if (has_inline_) {
        inline_ = Val{};
        has_inline_ = false;
    }
    w.tag_start = i;
    w.tag_end = j;
    w.pos = j;
    StyleId style;
    if (c.has_s) {
        if (auto id = short_decimal(c.s)) style.id = *id;
        else style = BR_TRY(style_of(true, c.s));
    }
    BR_TRY_VOID(interpret(std::move(style), cells));
    return true;
}

PyResult<PyRef> SheetParser::py_call1(PyObject* fn, std::string_view text) {
    PyRef s = PyRef::steal(PyUnicode_FromStringAndSize(text.data(), Py_ssize_t(text.size())));
    if (!s) return py_err();
    PyRef res = PyRef::steal(PyObject_CallOneArg(fn, s.get()));
    if (!res) return py_err();
    return res;
}

PyResult<PyRef> SheetParser::py_int(std::string_view text) {
    if (auto v = short_decimal(text)) return owned(PyLong_FromLongLong(*v));
    return py_call1(helpers_.int_.get(), text);
}

PyResult<StyleId> SheetParser::style_of(bool present, std::string_view text) {
    StyleId out;
    if (!present) return out;
    // A style that is no number names no cell format: the host refuses the
    // file naming the cell, which it finds on its own reading.
    if (text.empty()) return malformed("empty style");
    if (auto v = short_decimal(text)) {
        out.id = *v;
        return out;
    }
    PyResult<PyRef> parsed = py_call1(helpers_.int_.get(), text);
    if (!parsed && PyErr_ExceptionMatches(PyExc_ValueError)) {
        PyErr_Clear();
        return malformed("style is no number");
    }
    PyRef res = BR_TRY(std::move(parsed));
    const std::optional<std::int64_t> v = BR_TRY(index_int64(res.get()));
    if (!v) out.py = std::move(res);  // kept as the host's int
    else out.id = *v;
    return out;
}

PyResult<std::pair<std::int64_t, std::int64_t>> SheetParser::coordinate(std::string_view r) {
    if (auto rc = fast_coordinate(r)) return *rc;
    PyRef res = BR_TRY(py_call1(helpers_.coordinate_to_tuple.get(), r));
    PyRef seq = PyRef::steal(PySequence_Tuple(res.get()));
    if (!seq) return py_err();
    const Py_ssize_t n = PyTuple_GET_SIZE(seq.get());
    if (n != 2) {
        if (n > 2) PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
        else PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %zd)", n);
        return py_err();
    }
    const std::optional<std::int64_t> row = BR_TRY(index_int64(PyTuple_GET_ITEM(seq.get(), 0)));
    const std::optional<std::int64_t> col = BR_TRY(index_int64(PyTuple_GET_ITEM(seq.get(), 1)));
    if (!row || !col) return unsupported("coordinate out of range");
    return std::pair<std::int64_t, std::int64_t>{*row, *col};
}

namespace {
int visit_val(const Val& v, visitproc visit, void* arg) { return v.py.visit(visit, arg); }
}  // namespace

int visit_cell(const CellRec& c, visitproc visit, void* arg) {
    if (int e = c.style.py.visit(visit, arg)) return e;
    if (int e = visit_val(c.value, visit, arg)) return e;
    if (c.pair) {
        if (int e = visit_val(c.pair->formula, visit, arg)) return e;
        if (int e = visit_val(c.pair->cached, visit, arg)) return e;
    }
    return c.data_type.py.visit(visit, arg);
}

int SheetParser::visit(visitproc visit, void* arg) const {
    const PyRef* refs[] = {&settings_.shared_strings, &settings_.epoch_obj, &helpers_.int_, &helpers_.float_,
                           &helpers_.coordinate_to_tuple, &helpers_.row_index, &helpers_.from_excel,
                           &helpers_.from_ISO8601, &helpers_.date_warning, &helpers_.ArrayFormula,
                           &helpers_.DataTableFormula, &helpers_.Translator, &helpers_.TokenizerError,
                           &helpers_.TranslatorError, &helpers_.text_content, &helpers_.rich_inline,
                           &helpers_.validate_rpr, &actions_, &row_dimensions_, &row_runs_, &run_, &last_row_attrs_, &dt_dict_,
                           &inline_.py};
    for (const PyRef* r : refs)
        if (int e = r->visit(visit, arg)) return e;
    for (const SharedMaster& s : shared_)
        if (int e = s.host.visit(visit, arg)) return e;
    for (const PyRef& d : dt_)
        if (int e = d.visit(visit, arg)) return e;
    if (int e = held_.exc.visit(visit, arg)) return e;
    return reader.win.source.visit(visit, arg);
}

}  // namespace brindle
