#include <dimension.hpp>
#include <lib/dimension.hpp>
#include <lib/errors.hpp>
#include <lib/pyxml.hpp>
#include <pysource.hpp>

#include <new>

namespace brindle {

PyObject* find_dimension(PyObject* source) {
    try {
        Reader<PySource> r(source);
        auto hit = find_dimension_in(r);
        if (!hit) return fallback_err(hit.error(), &r.win.source.held());
        if (!*hit) Py_RETURN_NONE;
        auto snippet = bytes_from((*hit)->snippet);
        if (!snippet) return nullptr;
        auto ns = namespace_list((*hit)->namespaces);
        if (!ns) return nullptr;
        return PyTuple_Pack(2, snippet->get(), ns->get());
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

}  // namespace brindle
