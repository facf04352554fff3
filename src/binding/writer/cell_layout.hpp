// Direct reads of a host cell's __slots__ members.
//
// Every written cell has seven of its attributes read; through the generic
// attribute protocol each read walks the type's lookup cache and calls the
// member descriptor. For the host cell class (a plain class with __slots__)
// the result is always the value stored at a fixed offset in the instance,
// so once the offsets of a class are known the reads are plain loads.
//
// Only valid while the class stays as it was resolved: the type's version
// tag, which the interpreter changes whenever the class or a base is
// modified, is checked before every read, since helpers called between
// reads may run any code. A class that customises attribute access, has a
// metaclass, or whose names are not plain object slots is never read this
// way. In the free-threaded build a plain load could race with a store from
// another thread, so there the generic protocol is always used.
#pragma once

#include <Python.h>

#include <frame/pyref.hpp>

#include <array>
#include <cstddef>

namespace brindle {

class CellLayout {
public:
    // `Hyperlink` is read through the slot behind it when the class defines
    // it as a plain property over a slot (an `operator.attrgetter` of the
    // slot's name), as the host's cell does; otherwise it alone is read
    // through the attribute protocol.
    // `AsRead` reads as None for a class that has no such attribute.
    // clang-format off
    enum Field : std::size_t { Comment, Value, Style, DataType, Row, Column, Hyperlink, AsRead, kFields };
    // clang-format on

    // The member at `f` of `cell` as a new reference, or an empty PyRef
    // when the fast path does not apply (the caller then uses getattr,
    // which also raises for an unset slot).
    PyRef read(PyObject* cell, Field f, const std::array<PyObject*, kFields>& names) {
#ifdef Py_GIL_DISABLED
        (void)cell, (void)f, (void)names;
        return {};
#else
        PyTypeObject* tp = Py_TYPE(cell);
        if (!(reinterpret_cast<PyObject*>(tp) == type_.get() && version_ != 0 &&
              tp->tp_version_tag == version_) &&
            !resolve(tp, names))
            return {};
        // Offset 0 (the object header, never a slot): this field alone is
        // read through the attribute protocol.
        if (offsets_[f] == 0) return {};
        if (offsets_[f] < 0) return PyRef::borrow(Py_None);  // an attribute the class lacks
        PyObject* v = *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(cell) + offsets_[f]);
        return PyRef::borrow(v);
#endif
    }

    int traverse(visitproc visit, void* arg) const { return type_.visit(visit, arg); }
    void clear() noexcept {
        type_.reset();
        version_ = 0;
    }

private:
    // Resolves the offsets of `tp`; false when it does not qualify. Leaves
    // an exception set only when it is no ordinary one (KeyboardInterrupt
    // raised by a descriptor's code).
    [[gnu::cold, gnu::noinline]] bool resolve(PyTypeObject* tp,
                                              const std::array<PyObject*, kFields>& names);

    PyRef type_;                // the resolved class (or the last one that did not qualify)
    unsigned int version_ = 0;  // 0: type_ does not qualify
    std::array<Py_ssize_t, kFields> offsets_{};
};

}  // namespace brindle
