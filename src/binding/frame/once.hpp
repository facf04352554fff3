// Process-wide once-cells for objects created on first use (the exception
// class, the type objects, the datetime capsule).
#pragma once

#include <Python.h>

#include <atomic>

namespace brindle {

// Holds one strong reference for the life of the process. The first caller
// runs `make`; concurrent callers wait on a PyMutex, which detaches them from
// the interpreter while they block, so a slow creation (an import) cannot
// stall a stop-the-world pause. Failed creation leaves the cell empty.
class OnceObject {
public:
    template <class Make>
    PyObject* get(Make&& make) {
        if (PyObject* p = value_.load(std::memory_order_acquire)) return p;
        PyMutex_Lock(&mutex_);
        PyObject* p = value_.load(std::memory_order_relaxed);
        if (!p) {
            p = make();  // new reference or nullptr with an exception set
            if (p) value_.store(p, std::memory_order_release);
        }
        PyMutex_Unlock(&mutex_);
        return p;
    }

private:
    std::atomic<PyObject*> value_{nullptr};
    PyMutex mutex_{};
};

}  // namespace brindle
