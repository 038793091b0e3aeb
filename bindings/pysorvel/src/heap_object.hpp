#pragma once
// Every instance of the module's heap types has one shape: the object header, then one C++
// value that owns what the instance holds (PyRef members for Python objects). The value is built
// in place once the interpreter has allocated the object and destroyed before the object is
// freed, so no type repeats those steps and a value's destructor is where it says how it lets go.

#include <Python.h>

#include <new>
#include <utility>

namespace pysorvel {

template <typename T>
struct HeapObject {
  PyObject_HEAD T value;
};

template <typename T>
T& value_of(PyObject* self) {
  return reinterpret_cast<HeapObject<T>*>(self)->value;
}

/// Frees an instance whose value is gone (or was never built).
inline void free_instance(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(self);
  Py_DECREF(type);  // instances of heap types own a reference to their type
}

/// A new instance of `type` holding T(args...); null with an exception set on failure.
template <typename T, typename... Args>
PyObject* new_instance(PyObject* type, Args&&... args) {
  auto* heap_type = reinterpret_cast<PyTypeObject*>(type);
  PyObject* self =
      reinterpret_cast<allocfunc>(PyType_GetSlot(heap_type, Py_tp_alloc))(heap_type, 0);
  if (self == nullptr) return nullptr;
  try {
    new (&value_of<T>(self)) T(std::forward<Args>(args)...);
  } catch (...) {
    free_instance(self);
    PyErr_NoMemory();
    return nullptr;
  }
  return self;
}

/// The tp_dealloc of a type whose instances hold a T.
template <typename T>
void dealloc_instance(PyObject* self) {
  value_of<T>(self).~T();
  free_instance(self);
}

/// The tp_new of the types only the module makes: TypeError "No constructor defined for Name".
PyObject* refuse_construction(PyTypeObject* type, PyObject* args, PyObject* kwargs);

}  // namespace pysorvel
