#include <xml/pysource.hpp>

#include <new>

namespace brindle {
namespace {

// The interpreter's wording for a failed instance check.
[[gnu::cold, gnu::noinline]] void set_not_bytes(PyObject* got) {
    if (got == Py_None)
        PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%s'", PyBytes_Type.tp_name);
    else
        PyErr_Format(PyExc_TypeError, "'%s' object is not an instance of '%s'",
                     Py_TYPE(got)->tp_name, PyBytes_Type.tp_name);
}

// Attaches the calling thread for the scope, whether or not it already was.
class Attached {
public:
    Attached() noexcept : state_(PyGILState_Ensure()) {}
    ~Attached() { PyGILState_Release(state_); }
    Attached(const Attached&) = delete;
    Attached& operator=(const Attached&) = delete;

private:
    PyGILState_STATE state_;
};

}  // namespace

XmlResult<bool> PySource::read_chunk(ByteBuf& out) {
    Attached attached;
    // Made on first use, with the interpreter attached, then reused per chunk.
    if (!read_name_) read_name_ = PyRef::steal(PyUnicode_InternFromString("read"));
    if (read_name_ && !size_arg_) size_arg_ = PyRef::steal(PyLong_FromSize_t(kChunk));
    PyRef chunk;
    if (size_arg_)
        chunk = PyRef::steal(
            PyObject_CallMethodOneArg(source_.get(), read_name_.get(), size_arg_.get()));
    if (!chunk) {
        held_.capture();
        return std::unexpected(XmlError::source());
    }
    if (!PyBytes_Check(chunk.get())) [[unlikely]] {
        set_not_bytes(chunk.get());
        held_.capture();
        return std::unexpected(XmlError::source());
    }
    const Py_ssize_t n = PyBytes_GET_SIZE(chunk.get());
    if (n == 0) return false;
    try {
        out.append(PyBytes_AS_STRING(chunk.get()), std::size_t(n));
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        held_.capture();
        return std::unexpected(XmlError::source());
    }
    return true;
}

}  // namespace brindle
