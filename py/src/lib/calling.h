// How every method of the module is called and how it fails, in one place:
//   - owned references (PyRef) to objects of the interpreter's C API, which
//     this module uses only through CPython 3.11's stable ABI, so that one
//     binary loads into every later CPython 3;
//   - errors: a core Error becomes the exception type the method names, a C++
//     exception never unwinds into the interpreter;
//   - binding of a call's arguments to a method's parameters;
//   - per-instance access: readers nest, a writer excludes everyone;
//   - the prologue every instance method runs before its own work.
#pragma once

#define Py_LIMITED_API 0x030B0000
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstddef>
#include <exception>
#include <new>
#include <span>
#include <utility>

#include "core/error/error.h"

namespace tarnvault_py {

// ---------------------------------------------------------------------------
// References. Reference counts are changed only through the exported
// functions (Py_IncRef/Py_DecRef), never the inline macros.

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

// ---------------------------------------------------------------------------
// Errors. A core Error becomes the exception type the method names, with the
// Error's display message as its only argument; a C++ exception becomes
// MemoryError or, for a broken internal invariant, InternalError, a
// BaseException subclass that ordinary `except Exception` handlers do not
// swallow.

// Creates the internal-failure exception type once, at module initialisation.
// It is deliberately not a module attribute: the module's public names are
// only its classes.
bool init_internal_error_type();

void raise_internal_error(const char* what);

// Sets exception_type(message) and returns null, for `return raise_core_error(...)`.
PyObject* raise_core_error(PyObject* exception_type, const tarnvault_core::Error& error);

// Runs a method body, turning any escaping C++ exception into a Python one.
template <typename Body>
PyObject* call_at_boundary(Body&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::exception& failure) {
    raise_internal_error(failure.what());
  } catch (...) {
    raise_internal_error("unknown internal failure");
  }
  return nullptr;
}

// Raises TypeError "'{type qualname of value}' object cannot be converted to
// '{target}'".
void raise_type_mismatch(PyObject* value, const char* target);

// ---------------------------------------------------------------------------
// Binding of a call's positional and keyword arguments to a method's
// parameters. Every method of every class binds with these, so the messages
// are uniform.

// A method's full name for messages ("Index.insert()") and its parameter
// names in declaration order. Every parameter is required and may be given
// by position or by keyword.
template <std::size_t N>
struct Signature {
  const char* full_name;
  std::array<const char*, N> names;
};

// Fills out[i] with a borrowed reference to the argument of parameter i.
// On failure raises TypeError with the binding message and returns false.
bool bind_arguments(const char* full_name, std::span<const char* const> names, PyObject* args,
                    PyObject* kwargs, std::span<PyObject*> out);

template <std::size_t N>
bool bind_arguments(const Signature<N>& signature, PyObject* args, PyObject* kwargs,
                    std::array<PyObject*, N>& out) {
  return bind_arguments(signature.full_name, signature.names, args, kwargs, out);
}

// True if self is an instance of type; otherwise raises the type-mismatch
// TypeError with the class name as target.
bool check_instance(PyObject* self, PyTypeObject* type, const char* class_name);

// ---------------------------------------------------------------------------
// Access. The interpreter lock serialises all calls, so the only possible
// conflict is a re-entrant call made by Python code that runs during argument
// conversion (an element's __float__, a sequence's __iter__ ...). Readers
// nest; a writer excludes everyone.

enum class Access { Shared, Exclusive };

class AccessState {
 public:
  bool is_free() const { return readers_ == 0 && !writer_; }

 private:
  friend class AccessGuard;

  std::size_t readers_ = 0;
  bool writer_ = false;
};

// Holds one access for its lifetime and restores the state on every path.
// If the access conflicts, acquired() is false and RuntimeError is set:
// "Already borrowed" for an exclusive request while anything is held,
// "Already mutably borrowed" for a shared request while a writer holds it.
class AccessGuard {
 public:
  AccessGuard(AccessState& state, Access mode);
  AccessGuard(const AccessGuard&) = delete;
  AccessGuard& operator=(const AccessGuard&) = delete;
  ~AccessGuard();

  bool acquired() const { return acquired_; }

 private:
  AccessState& state_;
  Access mode_;
  bool acquired_ = false;
};

// ---------------------------------------------------------------------------
// The method prologue. What every instance method of a class does before its
// own work, in this order: bind the call's arguments to the method's
// signature, check that self is an instance of the class, take the
// instance's access. Then the body runs with the access held, inside the
// boundary that turns C++ exceptions into Python ones.

// A class whose instances are Object, with an `access` member and the
// core object they wrap (a Store) behind `store`: its type, read when called
// (it is made at module initialisation), and its name for messages.
template <typename Object, typename Store>
struct MethodClass {
  PyTypeObject* const* type;
  const char* name;
  Store* Object::*store;
};

// body(Object& self, std::array<PyObject*, N>& arguments) -> new reference
// or null with an exception set.
template <typename Object, typename Store, std::size_t N, typename Body>
PyObject* call_method(const MethodClass<Object, Store>& cls, const Signature<N>& signature,
                      Access mode, PyObject* self, PyObject* args, PyObject* kwargs, Body&& body) {
  return call_at_boundary([&]() -> PyObject* {
    std::array<PyObject*, N> arguments{};
    if (!bind_arguments(signature, args, kwargs, arguments)) return nullptr;
    if (!check_instance(self, *cls.type, cls.name)) return nullptr;
    Object& object = *reinterpret_cast<Object*>(self);
    AccessGuard access(object.access, mode);
    if (!access.acquired()) return nullptr;
    return body(object, arguments);
  });
}

// Method tables hold every function as PyCFunction; the detour through a
// plain function pointer type is the sanctioned way to say so without a
// cast-function-type warning.
inline PyCFunction as_method(PyCFunctionWithKeywords function) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

}  // namespace tarnvault_py
