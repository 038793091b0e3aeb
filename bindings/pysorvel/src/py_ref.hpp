#pragma once
// An owning reference to a Python object. Taking ownership is explicit (`steal`, `borrow`), so a
// reference is never counted twice or lost on an early return. Every operation that changes a
// count needs the interpreter lock.

#include <Python.h>

#include <utility>

namespace pysorvel {

class PyRef {
 public:
  PyRef() = default;
  /// Takes over a new reference (may be null, e.g. after a failed call).
  static PyRef steal(PyObject* object) { return PyRef(object); }
  /// Adds a reference of our own to a borrowed one.
  static PyRef borrow(PyObject* object) {
    Py_XINCREF(object);
    return PyRef(object);
  }

  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  PyRef& operator=(PyRef&& other) noexcept {
    if (this != &other) {
      Py_XDECREF(object_);
      object_ = std::exchange(other.object_, nullptr);
    }
    return *this;
  }
  ~PyRef() { Py_XDECREF(object_); }

  PyObject* get() const { return object_; }
  explicit operator bool() const { return object_ != nullptr; }
  /// Hands the reference to the caller (for return values and stealing API calls).
  [[nodiscard]] PyObject* release() { return std::exchange(object_, nullptr); }

 private:
  explicit PyRef(PyObject* object) : object_(object) {}

  PyObject* object_ = nullptr;
};

}  // namespace pysorvel
