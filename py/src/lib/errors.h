// How failures leave the module: a core Error becomes the exception type the
// method names, with the Error's display message as its only argument; a C++
// exception never unwinds into the interpreter but becomes MemoryError or,
// for a broken internal invariant, InternalError, a BaseException subclass
// that ordinary `except Exception` handlers do not swallow.
#pragma once

#include <exception>
#include <new>

#include "core/error/error.h"
#include "py_api.h"

namespace tarnvault_py {

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

}  // namespace tarnvault_py
