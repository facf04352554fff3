// The byte source over a host file object: the only place where the XML
// input stack calls into Python.
#pragma once

#include <Python.h>

#include <frame/errors.hpp>
#include <frame/pyref.hpp>
#include <xml/window.hpp>

namespace brindle {

// Reads `source.read(65536)` strictly forward. A failure of the host object
// (an exception from `read`, or a result that is not bytes) is reported as
// XmlError::source() and the exception is kept in `held`, so that the
// boundary re-raises the very same exception object.
class PySource {
public:
    // Takes a new reference to `source`; nothing is read yet.
    explicit PySource(PyObject* source) : source_(PyRef::borrow(source)) {}
    PySource(PySource&&) noexcept = default;

    [[nodiscard]] XmlResult<bool> read_chunk(ByteBuf& out);

    HeldException& held() noexcept { return held_; }
    int visit(visitproc visit, void* arg) const {
        if (int e = source_.visit(visit, arg)) return e;
        return held_.exc.visit(visit, arg);
    }

private:
    PyRef source_;
    PyRef read_name_;  // interned "read"; a str or int is never in a cycle: not visited
    PyRef size_arg_;   // an int: not visited
    HeldException held_;
};

static_assert(ByteSource<PySource>);

}  // namespace brindle
