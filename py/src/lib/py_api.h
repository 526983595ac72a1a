// The one include of the interpreter's C API for this module. The module is
// built against the stable ABI of CPython 3.11 so that one binary loads into
// every later CPython 3 interpreter; reference counts are changed only through
// the exported functions (Py_IncRef/Py_DecRef), never the inline macros.
#pragma once

#define Py_LIMITED_API 0x030B0000
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace tarnvault_py {

// An owned (strong) reference; released on destruction.
class PyRef {
 public:
  PyRef() = default;
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  PyRef& operator=(PyRef&& other) noexcept {
    if (this != &other) {
      Py_DecRef(object_);
      object_ = std::exchange(other.object_, nullptr);
    }
    return *this;
  }
  ~PyRef() { Py_DecRef(object_); }

  // Takes over a new reference (may be null: a failed API call).
  static PyRef steal(PyObject* object) { return PyRef(object); }
  // Adds a reference to a borrowed one.
  static PyRef borrow(PyObject* object) {
    Py_IncRef(object);
    return PyRef(object);
  }

  PyObject* get() const { return object_; }
  PyObject* release() { return std::exchange(object_, nullptr); }
  explicit operator bool() const { return object_ != nullptr; }

 private:
  explicit PyRef(PyObject* object) : object_(object) {}

  PyObject* object_ = nullptr;
};

// A new reference to None, the return value of methods that return nothing.
inline PyObject* new_none() {
  Py_IncRef(Py_None);
  return Py_None;
}

}  // namespace tarnvault_py
