// Destruction of the module's garbage-collected classes. Each object struct
// has PyObject_HEAD first, then C++ members that its tp_new constructs in
// place right after tp_alloc (before any host code runs, since the collector
// may visit the object from then on); one routine tears every class down:
//
//   struct ThingObject { PyObject_HEAD BorrowFlag flag; PyRef x; };
//   int thing_clear(PyObject* self);   // drops what it holds, returns 0
//   {Py_tp_dealloc, gc_dealloc<ThingObject, thing_clear>()}
#pragma once

#include <Python.h>

namespace brindle {

template <class Obj, int (*Clear)(PyObject*)>
void gc_dealloc_impl(PyObject* self) noexcept {
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    Clear(self);
    reinterpret_cast<Obj*>(self)->~Obj();
    tp->tp_free(self);
    Py_DECREF(tp);  // heap types: each instance holds its type
}

// For PyType_Slot::pfunc of Py_tp_dealloc.
template <class Obj, int (*Clear)(PyObject*)>
void* gc_dealloc() noexcept {
    return reinterpret_cast<void*>(gc_dealloc_impl<Obj, Clear>);
}

}  // namespace brindle
