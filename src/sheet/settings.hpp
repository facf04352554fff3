// What a worksheet read takes from the host's worksheet parser, read once
// before the first byte of XML so that the per-cell path asks Python nothing.
#pragma once

#include <Python.h>

#include <dates.hpp>
#include <lib/errors.hpp>
#include <lib/pyref.hpp>

#include <cstdint>
#include <optional>
#include <unordered_set>

namespace brindle {

using IntSet = std::unordered_set<std::int64_t>;

struct Settings {
    IntSet date_formats;
    IntSet timedelta_formats;
    std::uint64_t shared_strings_len = 0;  // 0 unless shared_strings is exactly a list
    PyRef shared_strings;
    PyRef epoch_obj;
    std::optional<Epoch> epoch;  // absent: every date goes through the host
    bool formula_and_value = false;
    bool data_only = false;
    bool rich_text = false;

    [[nodiscard]] static PyResult<Settings> from_parser(PyObject* parser);
};

// The int items of a host iterable (not bool, within 64 bits); others are
// skipped, errors of the iteration itself are raised.
[[nodiscard]] PyResult<IntSet> int_set(PyObject* iterable);

}  // namespace brindle
