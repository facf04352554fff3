// The state of one SheetWriter and the operations that append worksheet XML
// to its buffer. Everything a cell needs from Python is resolved here once,
// at construction; the per-cell path reads the cell's attributes by
// interned name and makes no other lookups.
//
// Protection: the owning Python object's BorrowFlag is held exclusively by
// every method, so no field is ever touched by two threads at once; the
// collector's traverse/clear run with the world stopped.
#pragma once

#include <Python.h>

#include <dates/dates.hpp>
#include <frame/errors.hpp>
#include <frame/pyref.hpp>
#include <sheet/data_type.hpp>
#include <writer/cell_layout.hpp>
#include <writer/classify.hpp>

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace brindle {

// Text reaches `write` at a row end once this much has accumulated.
inline constexpr std::size_t kFlushThreshold = 1 << 20;
// A little over the threshold, so that a typical row never reallocates.
inline constexpr std::size_t kInitialCapacity = kFlushThreshold + 4096;

// The nine integers of a style array.
using StyleKey = std::array<std::int32_t, 9>;

struct StyleKeyHash {
    std::uint64_t seed;
    std::size_t operator()(const StyleKey& k) const noexcept {
        std::uint64_t h = seed;
        for (std::int32_t v : k) {
            h ^= static_cast<std::uint32_t>(v);
            h *= 0x100000001b3ull;
            h ^= h >> 29;
        }
        return static_cast<std::size_t>(h);
    }
};

// A memoised style id. When the id is exactly an int its text cannot
// change, so it is kept too and the cached path makes no Python call.
struct StyleEntry {
    PyRef id;
    std::string text;
    bool text_fixed = false;
};

// What one look at a cell's style array tells: whether it is styled and,
// for an exact style array of nine integers, its cache key.
struct StyleProbe {
    bool styled = false;
    bool keyed = false;
    StyleKey key{};
};

// One item of a write-only row of plain values, decided before anything of
// the row is written.
struct PlainItem {
    PyRef value;  // keeps the text of `c` alive
    PyRef style;  // the date style, or empty (unstyled)
    std::int64_t column = 0;
    std::string_view dtype;
    Classified c = Classified::none();
};

// The content of a <c> element.
// clang-format off
enum class CellForm : std::uint8_t { Empty, Value, Formula, Inline };
// clang-format on

// The (value, keep) answer of the host's date helpers: keep, or a TypeError.
[[nodiscard]] PyResult<bool> unpack_date_result(PyObject* r);

class Writer {
    friend class StoreWalk;

public:
    // Construction in the order the host's objects are consulted; any
    // failure leaves a Python exception set.
    [[nodiscard]] PyResult<void> init(PyObject* ws, PyObject* write, bool lxml, PyObject* helpers);

    // Hands the whole buffer to `write` (bytes in lxml mode, str otherwise).
    // On failure the text stays buffered so that a later flush retries it.
    [[nodiscard]] PyResult<void> flush();
    [[nodiscard]] PyResult<void> flush_if_full() {
        if (buf_.size() >= kFlushThreshold) return flush();
        return {};
    }

    [[nodiscard]] PyResult<bool> has_style(PyObject* style);
    [[nodiscard]] PyResult<StyleProbe> probe_style(PyObject* style);
    // The `s` attribute text of a styled cell: str() of the host's style id.
    [[nodiscard]] PyResult<std::string_view> style_text(PyObject* style);
    // The same for a style whose cache key (if any) is already known.
    [[nodiscard]] PyResult<std::string_view> style_text(PyObject* style, const StyleKey* key);

    // One host cell: natively, or through the host's cell writer.
    [[nodiscard]] PyResult<void> write_one(PyObject* cell);
    // The <c> element of a classified value; false (nothing written) when
    // the value must go to the host's cell writer. `cached` is the <v> text
    // of a formula cell (written only in the formula form).
    [[nodiscard]] PyResult<bool> emit(std::int64_t row, std::int64_t column,
                                      std::string_view data_type,
                                      std::optional<std::string_view> type_attr,
                                      const Classified& value,
                                      std::optional<std::string_view> style, PyObject* hyperlink,
                                      std::optional<std::string_view> cached = std::nullopt);
    [[nodiscard]] PyResult<void> push_fallback(PyObject* cell, bool styled);
    // emit's element for attribute texts that need escaping (or are long).
    void emit_general(std::int64_t row, std::int64_t column,
                      std::optional<std::string_view> type_attr, CellForm form,
                      std::string_view text, std::optional<std::string_view> style,
                      std::optional<std::string_view> cached = std::nullopt);
    // "<row r=...>" with the attributes of a row dimension (or none).
    [[nodiscard]] PyResult<void> write_row_start(std::string_view row_text, PyObject* dimension);
    [[nodiscard]] PyResult<void> write_row(PyObject* cells, std::int64_t row_idx);
    // The <row> start tag of a write-only row, with the worksheet's
    // dimension for it, if any.
    [[nodiscard]] PyResult<void> write_only_row_start(std::int64_t row_idx);
    // A write-only row of plain values, written without cells; `declined`
    // (nothing written) when an item needs the host's cells. The first and
    // last columns written, if any.
    [[nodiscard]] PyResult<std::optional<std::pair<std::int64_t, std::int64_t>>> write_plain_row(
        PyObject* values, std::int64_t row_idx, PyObject* date_styles, PyObject* error_codes,
        bool& declined);
    // The whole <sheetData> of a normal worksheet; `rows_fallback()` orders
    // the rows when the cells are not keyed by plain integer pairs.
    [[nodiscard]] PyResult<void> write_sheet_data(PyObject* rows_fallback);

    int traverse(visitproc visit, void* arg) const;
    void clear() noexcept;

    std::string& buffer() noexcept { return buf_; }

private:
    [[nodiscard]] PyResult<void> init_epoch();
    // Whether date cells can be converted here rather than by the host's
    // date helper: the workbook still has the epoch and date form the
    // writer was made with. Checked at the start of each call.
    [[nodiscard]] PyResult<void> check_dates();
    // The serial number text of an exact date or datetime, or nothing when
    // the host's helper must convert the value.
    [[nodiscard]] std::optional<NumberText> native_serial(PyObject* value) const noexcept;
    // The paths of write_sheet_data; the dictionary path answers false,
    // having written nothing, when the keys are not plain integer pairs.
    [[nodiscard]] PyResult<bool> dict_rows(PyObject* cells, PyObject* dims);
    // The store path (stored.cpp); false when `cells` is not a CellStore
    // in compact mode.
    [[nodiscard]] PyResult<bool> store_rows(PyObject* cells, PyObject* dims);
    // The rows of dims.keys() ascending and without repeats; nullopt when a
    // key is not exactly an int of 64 bits (the keys are then read to the
    // end only when `read_all`).
    [[nodiscard]] PyResult<std::optional<std::vector<std::int64_t>>> dimension_rows(PyObject* dims,
                                                                                    bool read_all);
    [[nodiscard]] PyResult<void> fallback_rows(PyObject* rows_fallback, PyObject* dims);
    [[nodiscard]] PyResult<void> row_end() {
        buf_.append("</row>");
        return flush_if_full();
    }
    [[nodiscard]] PyResult<std::optional<StyleKey>> style_key(PyObject* style);
    // One of the attributes of a cell read on every write.
    [[nodiscard]] PyResult<PyRef> cell_attr(PyObject* cell, CellLayout::Field f) {
        if (PyRef v = layout_.read(cell, f, field_names_)) return v;
        if (PyErr_Occurred()) return py_err();  // an interrupt while resolving the layout
        generic_reads_ = true;
        if (f == CellLayout::AsRead) {
            // Only the host's own cells keep anything as read.
            PyObject* out = nullptr;
            const int found = PyObject_GetOptionalAttr(cell, field_names_[f], &out);
            if (found < 0) return py_err();
            return found ? PyRef::steal(out) : PyRef::borrow(Py_None);
        }
        PyRef r = PyRef::steal(PyObject_GetAttr(cell, field_names_[f]));
        if (!r) return py_err();
        return r;
    }

    std::string buf_;
    std::optional<Epoch> epoch_;
    PyRef ws_, write_;
    // The workbook's epoch as it was at construction, and the exact date
    // classes converted natively.
    PyRef epoch_obj_, date_cls_, datetime_cls_;
    bool native_dates_ = false;
    bool host_date_helper_ = false;  // "date_value" is the host's own helper
    // Set when a cell attribute was read through the attribute protocol
    // (which may run code) rather than straight from its slot.
    bool generic_reads_ = false;
    // Interned attribute and method names; strings are never in a cycle, so
    // they are not visited.
    PyRef n_value_, n_style_, n_comment_, n_data_type_, n_hyperlink_, n_row_, n_column_,
        n_as_read_;
    PyRef n_add_, n_append_, n_update_, n_get_, n_row_dimensions_, n_cells_, n_keys_, n_epoch_,
        n_iso_dates_, n_parent_;
    // The names above in CellLayout's field order; the strings are owned by
    // the n_* members and live as long as the writer.
    std::array<PyObject*, CellLayout::kFields> field_names_{};
    CellLayout layout_;
    PyRef cell_styles_;
    std::unordered_map<StyleKey, StyleEntry, StyleKeyHash> style_cache_{
        0, StyleKeyHash{reinterpret_cast<std::uintptr_t>(this) * 0x9E3779B97F4A7C15ull}};
    PyRef style_array_cls_, hyperlinks_, add_comment_, write_cell_, date_value_,
        date_value_raw_, safe_string_;
    bool lxml_ = false;
    // False once the workbook changed since its load: the cached results of
    // formulas may no longer hold, and readers that do not recompute would
    // show them, so they are left out.
    bool keep_results_ = true;
    bool iso_dates_ = false;
    std::string escaped_;  // a string's text with its escapes, when it needs any
    std::string scratch_;  // style text that is not memoised
    // write_plain_row's storage, empty between calls: not visited.
    std::vector<PyRef> plain_values_;
    std::vector<PlainItem> plain_items_;
};

}  // namespace brindle
