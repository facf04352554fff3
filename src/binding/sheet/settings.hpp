// What a worksheet read takes from the host's worksheet parser, read once
// before the first byte of XML so that the per-cell path asks Python nothing.
#pragma once

#include <Python.h>

#include <dates/dates.hpp>
#include <frame/errors.hpp>
#include <frame/pyref.hpp>

#include <cstdint>
#include <optional>
#include <unordered_set>
#include <vector>

namespace brindle {

using IntSet = std::unordered_set<std::int64_t>;

struct Settings {
    IntSet date_formats;
    IntSet timedelta_formats;
    // Formats that show only a time of day: in the 1904 system they keep a
    // serial below 1 a time, where other date formats make it a date.
    IntSet time_formats;
    // The two sets as flags by style id for the ids a stylesheet really has,
    // so that the per-cell check is one load instead of two hash lookups.
    std::vector<std::uint8_t> format_table;
    // clang-format off
    enum : std::uint8_t { kDateFormat = 1, kTimedeltaFormat = 2, kTimeFormat = 4 };
    // clang-format on
    std::uint64_t shared_strings_len = 0;  // 0 unless shared_strings is exactly a list
    PyRef shared_strings;
    PyRef epoch_obj;
    std::optional<Epoch> epoch;  // absent: every date goes through the host
    bool formula_and_value = false;
    bool data_only = false;
    bool rich_text = false;
    // Keep in each cell what the file held beyond its value (CellRec::as_read):
    // set by the full loader, which writes the cells back. The parser reads it
    // only to decline cells with metadata indexes, which the store cannot keep.
    bool as_read = false;
    // With as_read: some shared strings have runs that cells keep.
    bool rich_strings = false;
    // The number of cell formats a style id may name, set by the full loader,
    // which indexes its table of formats with the ids; -1: ids are only reported.
    std::int64_t n_styles = -1;

    [[nodiscard]] static PyResult<Settings> from_parser(PyObject* parser);

    // kDateFormat / kTimedeltaFormat / kTimeFormat for a style id.
    [[nodiscard]] std::uint8_t format_flags(std::int64_t id) const noexcept {
        if (static_cast<std::uint64_t>(id) < format_table.size()) return format_table[std::size_t(id)];
        if (date_formats.empty() && timedelta_formats.empty() && time_formats.empty()) return 0;
        return std::uint8_t((date_formats.contains(id) ? kDateFormat : 0) |
                            (timedelta_formats.contains(id) ? kTimedeltaFormat : 0) |
                            (time_formats.contains(id) ? kTimeFormat : 0));
    }
    // Fills format_table from the sets; called again whenever they change.
    void index_formats();
};

// The int items of a host iterable (not bool, within 64 bits); others are
// skipped, errors of the iteration itself are raised.
[[nodiscard]] PyResult<IntSet> int_set(PyObject* iterable);

}  // namespace brindle
