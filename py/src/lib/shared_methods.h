// The methods Index and Collection share, written once over the core object
// each wraps (BruteForceIndex, Collection): both store and search with the
// same arguments, results and errors.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "calling.h"
#include "convert.h"
#include "core/payload/payload.h"

namespace tarnvault_py {

// insert(id, vector): ValueError with the core's message when refused.
template <typename Object, typename Store>
PyObject* insert_method(const MethodClass<Object, Store>& cls, const Signature<2>& signature,
                        PyObject* self, PyObject* args, PyObject* kwargs) {
  return call_method(cls, signature, Access::Exclusive, self, args, kwargs,
                     [&cls](Object& object, const TwoArguments& arguments) -> PyObject* {
    std::uint64_t id = 0;
    FloatBuffer vector;
    if (!convert_insert_arguments(arguments, id, vector)) return nullptr;
    const auto status = (object.*cls.store)->insert(id, vector, tarnvault_core::Payload{});
    if (!status.ok()) return raise_core_error(PyExc_ValueError, status.error());
    return new_none();
  });
}

// search(query, k): a list of (id, distance) tuples.
template <typename Object, typename Store>
PyObject* search_method(const MethodClass<Object, Store>& cls, const Signature<2>& signature,
                        PyObject* self, PyObject* args, PyObject* kwargs) {
  return call_method(cls, signature, Access::Shared, self, args, kwargs,
                     [&cls](Object& object, const TwoArguments& arguments) -> PyObject* {
    FloatBuffer query;
    std::size_t k = 0;
    if (!convert_search_arguments(arguments, query, k)) return nullptr;
    const auto& store = *(object.*cls.store);
    const auto results = scan_without_interpreter_lock(
        object.access, store.len() * query.size(), [&] { return store.search(query, k); });
    return new_result_list(results);
  });
}

// search_batch(queries, k): one such list per query.
template <typename Object, typename Store>
PyObject* search_batch_method(const MethodClass<Object, Store>& cls,
                              const Signature<2>& signature, PyObject* self, PyObject* args,
                              PyObject* kwargs) {
  return call_method(cls, signature, Access::Shared, self, args, kwargs,
                     [&cls](Object& object, const TwoArguments& arguments) -> PyObject* {
    VectorList queries;
    std::size_t k = 0;
    if (!convert_search_batch_arguments(arguments, queries, k)) return nullptr;
    const auto& store = *(object.*cls.store);
    const auto spans = query_spans(queries);
    std::size_t query_floats = 0;
    for (const auto& query : spans) query_floats += query.size();
    auto results = scan_without_interpreter_lock(
        object.access, store.len() * query_floats, [&] { return store.search_batch(spans, k); });
    return new_result_lists(results.size(), [&](std::size_t i) { return std::move(results[i]); });
  });
}

}  // namespace tarnvault_py
