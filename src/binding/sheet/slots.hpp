// Fast construction of host objects with __slots__ (above all the host Cell):
// values are written straight into the member slots of a freshly allocated
// instance, without calling the class, its __new__ or its __init__.
#pragma once

#include <Python.h>

#include <frame/errors.hpp>
#include <frame/pyref.hpp>

#include <cstddef>
#include <span>
#include <vector>

namespace brindle {

class SlotClass {
public:
    // Resolves the member offsets of `cls` for `names`, in that order. Each
    // name must be a __slots__ member of `cls` itself or of one of its bases
    // ("{name} is not a slot" otherwise) holding an object that raises
    // AttributeError when unset ("{name} has unexpected slot type").
    [[nodiscard]] static PyResult<SlotClass> resolve(PyObject* cls,
                                                     std::span<const char* const> names);

    // A new instance with values[i] in slot i and None in every later slot.
    // Takes over every reference in `values` (all of them are emptied, on
    // failure too); at most size() values.
    [[nodiscard]] PyResult<PyRef> build(std::span<PyRef> values) const;

    PyObject* cls() const noexcept { return cls_.get(); }
    std::size_t size() const noexcept { return offsets_.size(); }
    std::span<const Py_ssize_t> offsets() const noexcept { return offsets_; }

private:
    PyRef cls_;
    allocfunc alloc_ = nullptr;
    std::vector<Py_ssize_t> offsets_;
};

}  // namespace brindle
