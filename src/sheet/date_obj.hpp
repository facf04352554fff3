// Calendar fields to Python date objects, through the interpreter's datetime
// C interface.
#pragma once

#include <Python.h>

#include <dates.hpp>

namespace brindle {

// A naive datetime.datetime or datetime.time (a new reference), or nullptr
// with an exception set; OutOfRange raises SystemError, since callers only
// convert serials that were validated when they were stored.
[[nodiscard]] PyObject* date_to_py(const DateParts& d);

}  // namespace brindle
