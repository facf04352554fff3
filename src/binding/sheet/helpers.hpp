// The record of host helpers, read once per call from the `helpers` dict.
#pragma once

#include <Python.h>

#include <frame/errors.hpp>
#include <frame/pyref.hpp>
#include <sheet/name_set.hpp>

namespace brindle {

// Looks `key` up in the dict `helpers` with the dict's own lookup (no
// __getitem__ or __missing__ of a subclass). An absent key raises TypeError
// "missing helper {key}"; a present None is returned as is.
[[nodiscard]] PyResult<PyRef> require_helper(PyObject* helpers, const char* key);

// Immutable once built; every reference is released with the record.
struct Helpers {
    PyRef int_;
    PyRef float_;
    PyRef coordinate_to_tuple;
    PyRef row_index;
    PyRef from_excel;
    PyRef from_ISO8601;
    PyRef date_warning;
    PyRef ArrayFormula;
    PyRef DataTableFormula;
    PyRef Translator;
    PyRef TokenizerError;
    PyRef TranslatorError;
    PyRef text_content;
    PyRef rich_inline;
    PyRef validate_rpr;
    // UTF-8 element names for which plain / rich text goes to the host.
    NameSet text_dangerous;
    NameSet rich_dangerous;

    // `helpers` must be a dict (or subclass). The keys are read in a fixed
    // order and the first failure wins, so the reported missing key is
    // always the same one for the same dict.
    [[nodiscard]] static PyResult<Helpers> from_dict(PyObject* helpers);
};

// The string table also needs the host builder of deferred items.
struct StringHelpers {
    Helpers base;
    PyRef si_content;
    PyRef si_runs;  // optional: items with runs go to it, for readers that keep them

    [[nodiscard]] static PyResult<StringHelpers> from_dict(PyObject* helpers);
};

}  // namespace brindle
