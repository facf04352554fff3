// The one owning reference type of the engine.
//
// A PyRef is created only by `steal` (take over a new reference) or `borrow`
// (add a reference to a borrowed one); a raw PyObject* elsewhere is always a
// borrowed parameter and is never stored.
#pragma once

#include <Python.h>

#include <utility>

namespace brindle {

class [[nodiscard]] PyRef {
public:
    PyRef() noexcept = default;
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    PyRef(PyRef&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    PyRef& operator=(PyRef&& o) noexcept {
        if (this != &o) {
            PyObject* old = std::exchange(p_, std::exchange(o.p_, nullptr));
            Py_XDECREF(old);
        }
        return *this;
    }
    ~PyRef() { Py_XDECREF(p_); }

    static PyRef steal(PyObject* p) noexcept { return PyRef(p); }
    static PyRef borrow(PyObject* p) noexcept { return PyRef(Py_XNewRef(p)); }

    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    PyRef clone() const noexcept { return borrow(p_); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

    // Drops the reference the way tp_clear must: the slot is emptied before
    // the object can run arbitrary code in its destructor.
    void reset() noexcept { Py_CLEAR(p_); }

    int visit(visitproc visit, void* arg) const {
        Py_VISIT(p_);
        return 0;
    }

private:
    explicit PyRef(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

}  // namespace brindle
