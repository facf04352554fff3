// Conversions between the prescan's values and the host's Python objects.
#pragma once

#include <Python.h>

#include <frame/pyref.hpp>
#include <frame/result.hpp>
#include <prescan/raw_scan.hpp>
#include <xml/namespaces.hpp>

#include <string_view>

namespace brindle::prescan {

// (bytes, namespaces) of a captured element.
[[nodiscard]] PyResult<PyRef> element_tuple(std::string_view bytes, const NamespaceList& bindings);

// Fills `out` from None or an iterable of (row, column) pairs, unpacked and
// converted as `row, col = item; operator.index(row), operator.index(col)`
// would, with the same errors.
[[nodiscard]] PyResult<void> read_wanted(PyObject* corners, Wanted& out);

}  // namespace brindle::prescan
