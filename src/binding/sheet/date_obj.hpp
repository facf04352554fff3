// Calendar fields to Python date objects, through the interpreter's datetime
// C interface.
#pragma once

#include <Python.h>

#include <dates/dates.hpp>
#include <frame/result.hpp>
#include <frame/pyref.hpp>

namespace brindle {

// A naive datetime.datetime or datetime.time; OutOfRange raises SystemError,
// since callers only convert serials that were validated when they were
// stored.
[[nodiscard]] PyResult<PyRef> date_to_py(const DateParts& d);

}  // namespace brindle
