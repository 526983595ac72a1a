#include "results.h"

namespace tarnvault_py {
namespace {

// (id, distance): the id as an unsigned int, the distance widened exactly.
PyObject* new_result_tuple(const tarnvault_core::SearchResult& result) {
  PyRef id = PyRef::steal(PyLong_FromUnsignedLongLong(result.id));
  if (!id) return nullptr;
  PyRef distance = PyRef::steal(PyFloat_FromDouble(static_cast<double>(result.distance)));
  if (!distance) return nullptr;
  PyRef tuple = PyRef::steal(PyTuple_New(2));
  if (!tuple) return nullptr;
  PyTuple_SetItem(tuple.get(), 0, id.release());  // steals
  PyTuple_SetItem(tuple.get(), 1, distance.release());
  return tuple.release();
}

}  // namespace

PyObject* new_result_list(std::span<const tarnvault_core::SearchResult> results) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(results.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < results.size(); ++i) {
    PyObject* tuple = new_result_tuple(results[i]);
    if (tuple == nullptr) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), tuple);  // steals
  }
  return list.release();
}

}  // namespace tarnvault_py
