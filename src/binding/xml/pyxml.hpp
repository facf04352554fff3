// Python objects made from what the XML reader hands out.
#pragma once

#include <Python.h>

#include <frame/errors.hpp>
#include <frame/pyref.hpp>
#include <xml/namespaces.hpp>

#include <string_view>

namespace brindle {

// A list of (prefix, URI) 2-tuples of str, in the order given.
[[nodiscard]] PyResult<PyRef> namespace_list(const NamespaceList& ns);

// str from text the reader has already checked to be UTF-8.
[[nodiscard]] inline PyResult<PyRef> str_from_utf8(std::string_view s) {
    PyRef out = PyRef::steal(PyUnicode_DecodeUTF8(s.data(), Py_ssize_t(s.size()), nullptr));
    if (!out) return py_err();
    return out;
}

[[nodiscard]] inline PyResult<PyRef> bytes_from(std::string_view s) {
    PyRef out = PyRef::steal(PyBytes_FromStringAndSize(s.data(), Py_ssize_t(s.size())));
    if (!out) return py_err();
    return out;
}

}  // namespace brindle
