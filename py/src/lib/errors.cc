#include "errors.h"

#include <string>

namespace tarnvault_py {
namespace {

PyObject* internal_error_type = nullptr;

// Display messages may carry operating-system text; never fail on its bytes.
PyObject* new_message(const std::string& text) {
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
}

}  // namespace

bool init_internal_error_type() {
  if (internal_error_type != nullptr) return true;
  internal_error_type = PyErr_NewExceptionWithDoc(
      "_tarnvault.InternalError", "An internal invariant of _tarnvault was broken.",
      PyExc_BaseException, nullptr);
  return internal_error_type != nullptr;
}

void raise_internal_error(const char* what) {
  PyObject* type = internal_error_type != nullptr ? internal_error_type : PyExc_SystemError;
  PyRef message = PyRef::steal(new_message(what));
  if (message) PyErr_SetObject(type, message.get());
}

PyObject* raise_core_error(PyObject* exception_type, const tarnvault_core::Error& error) {
  PyRef message = PyRef::steal(new_message(error.message()));
  if (message) PyErr_SetObject(exception_type, message.get());
  return nullptr;
}

}  // namespace tarnvault_py
