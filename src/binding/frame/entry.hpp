// The boundary: every function the interpreter calls (module functions,
// methods, getters, tp_new, and slots such as mp_subscript, sq_contains or
// tp_iternext) is written as a plain C++ function returning a PyResult and
// handed to the interpreter through `py_method` / `py_slot`:
//
//   PyResult<PyRef> next_raw(PyObject* self, PyObject*);   // METH_NOARGS
//   {"next_raw", py_method<next_raw>(), METH_NOARGS, doc}
//   {Py_tp_new, py_slot<reader_new>()}
//
// The wrapper returns the C value the slot expects, raises the exception of
// an error value (frame/result.hpp), and turns every C++ exception into a
// Python one (std::bad_alloc and std::length_error: MemoryError), so none
// ever crosses into the interpreter.
//
//   result type             C return   success         error
//   PyResult<PyRef>         PyObject*  new reference   nullptr (an empty PyRef
//                                                       on success: tp_iternext's
//                                                       "exhausted")
//   PyResult<bool>          int        1 / 0           -1   (sq_contains)
//   PyResult<void>          int        0               -1   (mp_ass_subscript, tp_init)
//   PyResult<Py_ssize_t>    Py_ssize_t the value       -1   (mp_length)
//
// tp_dealloc, tp_traverse and tp_clear are not entry points: they cannot fail
// and are passed as they are (see frame/gc_object.hpp).
#pragma once

#include <Python.h>

#include <frame/errors.hpp>
#include <frame/pyref.hpp>
#include <frame/result.hpp>

#include <utility>

namespace brindle {

// Sets the Python exception for the C++ exception being handled; call only
// inside a catch block.
[[gnu::cold]] void raise_current_cpp_exception() noexcept;

namespace detail {

template <class R>
struct SlotReturn;

template <>
struct SlotReturn<PyResult<PyRef>> {
    using type = PyObject*;
    static PyObject* ok(PyResult<PyRef>&& r) noexcept { return r->release(); }
    static constexpr PyObject* failed = nullptr;
};

template <>
struct SlotReturn<PyResult<bool>> {
    using type = int;
    static int ok(PyResult<bool>&& r) noexcept { return *r ? 1 : 0; }
    static constexpr int failed = -1;
};

template <>
struct SlotReturn<PyResult<void>> {
    using type = int;
    static int ok(PyResult<void>&&) noexcept { return 0; }
    static constexpr int failed = -1;
};

template <>
struct SlotReturn<PyResult<Py_ssize_t>> {
    using type = Py_ssize_t;
    static Py_ssize_t ok(PyResult<Py_ssize_t>&& r) noexcept { return *r; }
    static constexpr Py_ssize_t failed = -1;
};

template <class F>
struct Entry;

template <class R, class... A>
struct Entry<R (*)(A...)> {
    using Ret = SlotReturn<R>;

    template <R (*Impl)(A...)>
    static typename Ret::type call(A... a) noexcept {
        try {
            R r = Impl(a...);
            if (r) [[likely]]
                return Ret::ok(std::move(r));
            raise_error(r.error());
        } catch (...) {
            raise_current_cpp_exception();
        }
        return Ret::failed;
    }
};

}  // namespace detail

// The C function the interpreter calls for `Impl`.
template <auto Impl>
inline constexpr auto entry = &detail::Entry<decltype(Impl)>::template call<Impl>;

// For PyMethodDef::ml_meth (any METH_ convention). A PyGetSetDef getter
// takes `entry<Impl>` as it is.
template <auto Impl>
PyCFunction py_method() noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry<Impl>));
}

// For PyType_Slot::pfunc.
template <auto Impl>
void* py_slot() noexcept {
    return reinterpret_cast<void*>(entry<Impl>);
}

}  // namespace brindle
