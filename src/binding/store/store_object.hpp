// The CellStore instance layout, shared by its type, its key iterator and
// the full-mode loader.
#pragma once

#include <Python.h>

#include <frame/borrow.hpp>
#include <store/py_store.hpp>

namespace brindle {

struct CellStoreObject {
    PyObject_HEAD
        BorrowFlag flag;
    PyStore store;
};

inline CellStoreObject* as_store(PyObject* self) noexcept { return reinterpret_cast<CellStoreObject*>(self); }

// Whether `obj` is a CellStore (or subclass) instance; false with an
// exception set when the type could not be created.
[[nodiscard]] PyResult<bool> is_cell_store(PyObject* obj);

// A new KeyIter over the keys of the store `store` (compact mode).
[[nodiscard]] PyResult<PyRef> new_key_iter(PyObject* store);

}  // namespace brindle
