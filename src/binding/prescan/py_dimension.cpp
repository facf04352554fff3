#include <dimension.hpp>
#include <lib/dimension.hpp>
#include <lib/errors.hpp>
#include <lib/pyxml.hpp>
#include <pysource.hpp>

namespace brindle {

PyResult<PyRef> find_dimension(PyObject* source) {
    Reader<PySource> r(source);
    auto hit = find_dimension_in(r);
    if (!hit) return xml_failure(hit.error(), &r.win.source.held());
    if (!*hit) return PyRef::borrow(Py_None);
    PyRef snippet = BR_TRY(bytes_from((*hit)->snippet));
    PyRef ns = BR_TRY(namespace_list((*hit)->namespaces));
    return owned(PyTuple_Pack(2, snippet.get(), ns.get()));
}

}  // namespace brindle
