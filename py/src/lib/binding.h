// Binding of a call's positional and keyword arguments to a method's
// parameters, and the instance check of methods called through the class.
// Every method of every class binds with these, so the messages are uniform.
#pragma once

#include <array>
#include <cstddef>
#include <span>

#include "py_api.h"

namespace tarnvault_py {

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

// Raises TypeError "'{type qualname of value}' object cannot be converted to
// '{target}'".
void raise_type_mismatch(PyObject* value, const char* target);

// True if self is an instance of type; otherwise raises the type-mismatch
// TypeError with the class name as target.
bool check_instance(PyObject* self, PyTypeObject* type, const char* class_name);

}  // namespace tarnvault_py
