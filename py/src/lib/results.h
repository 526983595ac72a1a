// Search results as Python objects: a list of new (int, float) tuples in the
// core's order, every list and tuple created at its final size.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "core/index/brute_force/brute_force_index.h"
#include "py_api.h"

namespace tarnvault_py {

// A new list of (id, distance) tuples, or null with an exception set.
PyObject* new_result_list(std::span<const tarnvault_core::SearchResult> results);

// A new list of count result lists; search_one(i) returns the results of
// query i and is called in order, so only one query's results are held at a
// time.
template <typename SearchOne>
PyObject* new_result_lists(std::size_t count, SearchOne&& search_one) {
  PyRef lists = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(count)));
  if (!lists) return nullptr;
  for (std::size_t i = 0; i < count; ++i) {
    const std::vector<tarnvault_core::SearchResult> results = search_one(i);
    PyObject* list = new_result_list(results);
    if (list == nullptr) return nullptr;
    PyList_SetItem(lists.get(), static_cast<Py_ssize_t>(i), list);  // steals list
  }
  return lists.release();
}

}  // namespace tarnvault_py
