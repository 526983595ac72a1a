#include "elements.h"

namespace tarnvault_py {

bool extract_id(PyObject* value, std::uint64_t& out) {
  PyRef integer = PyRef::steal(PyNumber_Index(value));
  if (!integer) return false;
  const unsigned long long id = PyLong_AsUnsignedLongLong(integer.get());
  if (id == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  out = id;
  return true;
}

}  // namespace tarnvault_py
