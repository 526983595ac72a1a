// What every instance method of a class does before its own work, in this
// order: bind the call's arguments to the method's signature, check that
// self is an instance of the class, take the instance's access. Then the
// body runs with the access held, inside the boundary that turns C++
// exceptions into Python ones.
#pragma once

#include <array>
#include <cstddef>

#include "access.h"
#include "binding.h"
#include "errors.h"
#include "py_api.h"

namespace tarnvault_py {

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
