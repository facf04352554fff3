// The worksheet parser: walks the worksheet part with the pull reader and
// yields each row of <sheetData> as parsed cells, each other top-level
// element as raw bytes, and the end. All per-worksheet state lives here.
#pragma once

#include <Python.h>

#include <formula/translator.hpp>
#include <frame/errors.hpp>
#include <frame/pyref.hpp>
#include <xml/pysource.hpp>
#include <xml/pyxml.hpp>
#include <sheet/helpers.hpp>
#include <sheet/settings.hpp>
#include <sheet/values.hpp>
#include <text/string_item.hpp>
#include <xml/fast_attrs.hpp>
#include <xml/reader.hpp>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace brindle {

using SheetReader = Reader<PySource>;

// The elements the host's worksheet dispatcher handles itself: never to be
// swallowed inside a row, a cell or cell text.
[[nodiscard]] bool forbid_dispatch(std::uint32_t ns, std::string_view local) noexcept;

// A shared-formula master: native when the C++ translator reproduces the
// host's, else the host Translator instance.
struct SharedMaster {
    std::optional<Translator> native;
    std::int64_t row = 0, col = 0;
    PyRef host;
};

// The bindings in scope of captured elements: one list for every element
// under the same declarations, however many there are.
using SharedNamespaces = std::shared_ptr<const NamespaceList>;

struct Item {
    // Unknown: an element the host cannot keep, skipped unread; `bytes`
    // holds its local name. Reported for the first of each name only.
    // clang-format off
    enum class Kind : std::uint8_t { Row, Element, Unknown, End };
    // clang-format on
    Kind kind = Kind::End;
    std::int64_t row = 0;
    // A cell of the row names another row: a streaming reader splits it.
    bool other_rows = false;
    std::vector<CellRec> cells;
    std::string bytes;
    SharedNamespaces namespaces;
};

// The Python list of an element's bindings, made once per scope and shared
// by every element in it.
class ScopeLists {
public:
    [[nodiscard]] PyResult<PyObject*> get(const SharedNamespaces& ns) {
        if (!list_ || ns != key_) {
            list_ = BR_TRY(namespace_list(*ns));
            key_ = ns;  // kept alive, so no other scope can reuse its address
        }
        return list_.get();
    }

private:
    SharedNamespaces key_;
    PyRef list_;
};

// The children of a worksheet (or of <sheetData>) the host can keep: the
// host's own list of worksheet parts.
[[nodiscard]] bool keepable_element(std::uint32_t ns, std::string_view local) noexcept;

// The texts collected for one cell; cleared, never shrunk, between cells.
struct CellBufs {
    std::string r, s, t, v, f, f_t, f_ref, f_si, cm, vm;
    bool has_r = false, has_s = false, has_t = false, has_v = false;
    bool has_f = false, has_f_t = false, has_f_ref = false, has_f_si = false;
    bool has_cm = false, has_vm = false;
    void clear() noexcept {
        r.clear(), s.clear(), t.clear(), v.clear(), f.clear(), f_t.clear(), f_ref.clear(), f_si.clear();
        cm.clear(), vm.clear();
        has_r = has_s = has_t = has_v = has_f = has_f_t = has_f_ref = has_f_si = false;
        has_cm = has_vm = false;
    }
};

// What interpretation reads of one cell: views into the reader's window for
// a cell the fast path took, into the CellBufs otherwise. Valid until the
// reader moves on.
struct CellTexts {
    std::string_view r, s, t, v, f, f_t, f_ref, f_si;
    bool has_r = false, has_s = false, has_t = false;
    bool has_f = false, has_f_t = false, has_f_ref = false, has_f_si = false;
};

// The data-type texts the interpretation tells apart.
// clang-format off
enum class TypeText : std::uint8_t { N, S, B, D, E, F, Str, InlineStr, Other };
// clang-format on

[[nodiscard]] constexpr TypeText type_text(std::string_view t) noexcept {
    if (t.size() == 1) {
        switch (t[0]) {
            case 'n': return TypeText::N;
            case 's': return TypeText::S;
            case 'b': return TypeText::B;
            case 'd': return TypeText::D;
            case 'e': return TypeText::E;
            case 'f': return TypeText::F;
            default: return TypeText::Other;
        }
    }
    if (t == "str") return TypeText::Str;
    if (t == kDtNames[kDtInlineStr]) return TypeText::InlineStr;
    return TypeText::Other;
}

// Visits every Python object a parsed cell holds.
int visit_cell(const CellRec& c, visitproc visit, void* arg);

class SheetParser {
public:
    // Use create(): construction can fail.
    SheetParser(PyObject* source, Helpers helpers, Settings settings, PyRef actions, PyRef row_dimensions);
    [[nodiscard]] static PyResult<std::unique_ptr<SheetParser>> create(PyObject* source, Helpers helpers,
                                                                       Settings settings, PyRef actions,
                                                                       PyRef row_dimensions);
    SheetParser(const SheetParser&) = delete;
    SheetParser& operator=(const SheetParser&) = delete;

    [[nodiscard]] PyResult<void> next_item_into(Item& out);

    // A native value to its Python object (a new reference), or nullptr with
    // an exception set. Text gives up its buffer.
    [[nodiscard]] PyResult<PyRef> val_to_py(Val& v);
    // The data type / style id objects of a cell (new references).
    [[nodiscard]] PyRef dtype_to_py(const DType& d) const;
    [[nodiscard]] static PyResult<PyRef> style_to_py(const StyleId& s);

    // Sets the caller's Python exception for an error of this parser: an
    // XML Source error restores the exception its holder captured.
    [[gnu::cold]] void raise(const BindError& e) {
        if (e.kind == BindError::Kind::PyException) return raise_error(e);
        HeldException& src = reader.win.source.held();
        (void)xml_failure(e.xml, src.exc ? &src : &held_);
    }

    [[nodiscard]] std::uint64_t abs_pos() const noexcept { return reader.win.abs_pos(); }
    const Settings& settings() const noexcept { return settings_; }
    PyObject* dt(std::uint8_t code) const noexcept { return dt_[code].get(); }
    const Helpers& helpers() const noexcept { return helpers_; }

    int visit(visitproc visit, void* arg) const;

    // The shared-formula masters, for a caller that keeps cells past the
    // parse (indexes of SharedFormula values point into this array).
    [[nodiscard]] std::vector<SharedMaster> take_shared() noexcept { return std::move(shared_); }

    SheetReader reader;

    // Exposed for the prescan and the tests of the number rules.
    [[nodiscard]] PyResult<StyleId> style_of(bool present, std::string_view text);
    [[nodiscard]] PyResult<PyRef> py_int(std::string_view text);
    [[nodiscard]] PyResult<PyRef> py_call1(PyObject* fn, std::string_view text);
    [[nodiscard]] PyResult<std::pair<std::int64_t, std::int64_t>> coordinate(std::string_view r);
    [[nodiscard]] PyResult<std::pair<std::string, NamespaceList>> capture_checked();
    // False: children of the worksheet besides rows are read past, neither
    // captured nor reported (a caller that uses none of them).
    void keep_elements(bool keep) noexcept { keep_elements_ = keep; }
    // Rows with attributes go to `runs` (a list) as [first, last, attributes]
    // lists, a run per rows in sequence that share one dict, instead of one
    // row_dimensions entry per row.
    void keep_row_runs(PyRef runs) noexcept { row_runs_ = std::move(runs); }

private:
    CellBufs bufs_;
    CellTexts cur_;       // the cell being interpreted
    HeldException held_;  // what a host callback of the text reader raised
    std::vector<SharedMaster> shared_;
    std::optional<std::uint32_t> unkeyed_shared_;
    Settings settings_;
    Helpers helpers_;
    PyRef dt_[kDtCount];
    TextCtx text_;
    std::unordered_map<std::string, std::uint32_t, UriHash, std::equal_to<>> shared_by_si_;
    PyRef actions_;
    PyRef row_dimensions_;
    PyRef last_row_attrs_;  // the attributes of the last row that had some
    PyRef row_runs_;        // see keep_row_runs(); null: row_dimensions
    PyRef run_;             // the open run, whose last row is run_last_
    std::int64_t run_first_ = 0;
    std::int64_t run_last_ = 0;
    // Those attributes as written (namespace id, name and undecoded value of
    // each but `r`), and the current row's, to tell a row like the last
    // before any Python object is made.
    std::string last_row_bytes_;
    std::string row_bytes_;
    std::int64_t row_counter_ = 0;
    std::int64_t col_counter_ = 0;
    bool in_sheet_data_ = false;
    bool other_rows_ = false;        // of the row being read; see other_row()
    bool warned_other_row_ = false;  // the sheet's one warning of it was given
    bool keep_elements_ = true;
    // Local names of the elements skipped and reported.
    std::unordered_set<std::string, UriHash, std::equal_to<>> unkept_;
    SharedNamespaces scope_;  // the bindings of the last captured element
    std::uint64_t scope_token_ = ~std::uint64_t{0};
    std::string scratch_;
    std::string formula_buf_;
    PyRef dt_dict_;  // the dataTable attributes of the current cell
    Val inline_;     // the parsed <is> of the current cell
    bool has_inline_ = false;
    // Set by number_rule when the cell's date does not give its number back.
    bool lossy_ = false;
    CellTagCollector cell_tag_;
    FormulaTagCollector f_tag_;

    [[nodiscard]] PyResult<void> parse_row(Item& out);
    [[nodiscard]] PyResult<void> extend_run();
    [[nodiscard]] PyResult<void> close_run();
    [[nodiscard]] PyResult<bool> child_element(Item& out);
    [[nodiscard]] PyResult<void> skip_element();
    [[nodiscard]] PyResult<void> parse_cell(std::vector<CellRec>& cells);
    [[nodiscard]] PyResult<void> keep_cell_meta(CellRec& rec);
    [[nodiscard]] PyResult<bool> fast_cell(std::vector<CellRec>& cells);
    [[nodiscard]] PyResult<void> read_inline();
    [[nodiscard]] PyResult<PyRef> host_item(PyObject* fn, std::string_view bytes, const NamespaceList& ns);
    void begin_cell();
    [[nodiscard]] PyResult<PyRef> attr_dict(bool skip_r = false);
    [[nodiscard]] PyResult<void> keep_row_attrs();
    [[nodiscard]] PyResult<void> interpret(StyleId style, std::vector<CellRec>& cells);
    [[nodiscard]] PyResult<void> value_rule(TypeText tt, std::string_view t, const StyleId& style,
                                            bool formula_cell, Val& value, DType& dtype);
    [[nodiscard]] PyResult<void> number_rule(const StyleId& style, bool formula_cell, Val& value,
                                             DType& dtype);
    [[nodiscard]] PyResult<void> other_row(const CellRec& rec);
    [[nodiscard]] PyResult<void> date_warning(Val& value, DType& dtype, PyObject* number, bool formula_cell);
    // The cell's formula into `out`, a fresh value.
    [[nodiscard]] PyResult<void> formula_step(const CellRec& rec, Val& out);
    [[nodiscard]] PyResult<Val> shared_formula(const CellRec& rec, std::string_view formula);
    [[nodiscard]] DType dtype_of(std::string_view t);
    // Keeps the <v> text of the cell being interpreted in `rec` (as_read).
    void keep_cached(CellRec& rec, TypeText tt, bool v_present);
    void keep_number(CellRec& rec, TypeText tt, bool v_present);
    [[nodiscard]] PyResult<PyRef> shared_to_py(const Val& v);
};

}  // namespace brindle
