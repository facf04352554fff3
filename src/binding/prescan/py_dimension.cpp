#include <prescan/dimension.hpp>
#include <prescan/py_dimension.hpp>
#include <frame/errors.hpp>
#include <xml/pyxml.hpp>
#include <xml/pysource.hpp>

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
