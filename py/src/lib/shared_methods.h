// The methods Index and Collection share, written once over the core object
// each wraps (BruteForceIndex, Collection): both store, delete, look up and
// search with the same arguments, results and errors. Where the two core
// objects differ, a small overload below says how.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <utility>
#include <vector>

#include "calling.h"
#include "convert.h"
#include "core/collection/collection.h"
#include "core/filter/filter.h"
#include "core/index/brute_force/brute_force_index.h"
#include "core/payload/payload.h"

namespace tarnvault_py {

// ---------------------------------------------------------------------------
// Where the two core objects differ

using tarnvault_core::BruteForceIndex;
using tarnvault_core::Collection;

// Write methods of a read-only collection raise ValueError.
inline bool check_writable(const BruteForceIndex&) { return true; }
inline bool check_writable(const Collection& collection) {
  if (!collection.read_only()) return true;
  PyErr_SetString(PyExc_ValueError, "collection is read-only");
  return false;
}

// Removes the id; whether it was held, or nothing with the exception set. A
// collection logs the delete first, and only its files can fail it.
inline std::optional<bool> remove_id(BruteForceIndex& index, std::uint64_t id) {
  return index.remove(id);
}
inline std::optional<bool> remove_id(Collection& collection, std::uint64_t id) {
  auto removed = collection.remove(id);
  if (removed.ok()) return *removed;
  raise_core_error(PyExc_OSError, removed.error());
  return std::nullopt;
}

using StoredEntry = std::pair<std::vector<float>, tarnvault_core::Payload>;

inline std::optional<StoredEntry> lookup(const BruteForceIndex& index, std::uint64_t id) {
  auto vector = index.vector(id);
  if (!vector) return std::nullopt;
  return StoredEntry(std::move(*vector), *index.payload(id));
}
inline std::optional<StoredEntry> lookup(const Collection& collection, std::uint64_t id) {
  return collection.get(id);
}

inline std::vector<std::uint64_t> all_ids(const BruteForceIndex& index) {
  const auto ids = index.ids();
  return {ids.begin(), ids.end()};
}
inline std::vector<std::uint64_t> all_ids(const Collection& collection) { return collection.ids(); }

// ---------------------------------------------------------------------------
// Arguments several methods take

// The optional keyword-only `where` and `with_payload`, null when not given.
struct SearchOptions {
  std::optional<tarnvault_core::Filter> filter;
  bool with_payload = false;

  const tarnvault_core::Filter* filter_or_null() const { return filter ? &*filter : nullptr; }
};

inline bool convert_search_options(PyObject* where, PyObject* with_payload, SearchOptions& out) {
  if (where != nullptr && !convert_where(where, out.filter)) return false;
  return with_payload == nullptr || convert_flag(with_payload, "with_payload", out.with_payload);
}

// Floats a scan of these queries reads: whether it is worth releasing the
// interpreter lock.
template <typename Store>
std::size_t floats_scanned(const Store& store, const std::vector<std::span<const float>>& queries) {
  std::size_t query_floats = 0;
  for (const auto& query : queries) query_floats += query.size();
  return store.len() * query_floats;
}

// ---------------------------------------------------------------------------
// Docstrings of the methods both classes have with the same text. Each
// starts with its text signature line and "--", which the interpreter turns
// into __text_signature__.

inline constexpr char kInsertBatchDoc[] =
    "insert_batch($self, ids, vectors, *, payloads=None)\n"
    "--\n"
    "\n"
    "Insert multiple vectors at once.\n"
    "\n"
    "Args:\n"
    "    ids (list[int]): List of unique identifiers.\n"
    "    vectors (list[list[float]]): List of vectors.\n"
    "    payloads (list[dict | None] | None): One payload per vector.";

inline constexpr char kSearchBatchDoc[] =
    "search_batch($self, queries, k, *, where=None, with_payload=False)\n"
    "--\n"
    "\n"
    "Search for nearest neighbors for multiple queries.\n"
    "\n"
    "Args:\n"
    "    queries (list[list[float]]): List of query vectors.\n"
    "    k (int): Number of neighbors per query.\n"
    "    where (dict | None): Only vectors whose payload matches, as for search.\n"
    "    with_payload (bool): Add each result's payload as a third item.\n"
    "\n"
    "Returns:\n"
    "    list[list[tuple[int, float]]]: Results for each query.";

inline constexpr char kQueryDoc[] =
    "query($self, queries, k, *, where=None)\n"
    "--\n"
    "\n"
    "Search for nearest neighbors, with NumPy arrays as results.\n"
    "\n"
    "Args:\n"
    "    queries (array-like): Query vectors, or a single query vector.\n"
    "    k (int): Number of neighbors per query.\n"
    "    where (dict | None): Only vectors whose payload matches, as for search.\n"
    "\n"
    "Returns:\n"
    "    tuple[numpy.ndarray, numpy.ndarray]: ids (uint64) and distances\n"
    "    (float32), both of shape (n, k), row i for query i. Rows with fewer\n"
    "    than k results are padded with id 2**64-1 and distance inf.";

inline constexpr char kDeleteDoc[] =
    "delete($self, id)\n"
    "--\n"
    "\n"
    "Delete a vector.\n"
    "\n"
    "Args:\n"
    "    id (int): Identifier of the vector.\n"
    "\n"
    "Returns:\n"
    "    bool: True if the id was present.";

inline constexpr char kDeleteBatchDoc[] =
    "delete_batch($self, ids)\n"
    "--\n"
    "\n"
    "Delete multiple vectors at once.\n"
    "\n"
    "Args:\n"
    "    ids (list[int]): Identifiers of the vectors.\n"
    "\n"
    "Returns:\n"
    "    int: How many of the ids were present.";

inline constexpr char kGetDoc[] =
    "get($self, id)\n"
    "--\n"
    "\n"
    "Look up a stored vector.\n"
    "\n"
    "Args:\n"
    "    id (int): Identifier of the vector.\n"
    "\n"
    "Returns:\n"
    "    tuple[list[float], dict] | None: The vector and its payload, or None.";

inline constexpr char kIdsDoc[] =
    "ids($self)\n"
    "--\n"
    "\n"
    "All stored ids.\n"
    "\n"
    "Returns:\n"
    "    list[int]: The ids in enumeration order, the order that results of\n"
    "    equal distance take in a search.";

// ---------------------------------------------------------------------------
// The methods

// insert(id, vector, *, payload=None): ValueError with the core's message
// when refused.
template <typename Object, typename Store>
PyObject* insert_method(const MethodClass<Object, Store>& cls, const Signature<2, 1>& signature,
                        PyObject* self, PyObject* args, PyObject* kwargs) {
  return call_method(cls, signature, Access::Exclusive, self, args, kwargs,
                     [&cls](Object& object, const Arguments<2, 1>& arguments) -> PyObject* {
    Store& store = *(object.*cls.store);
    if (!check_writable(store)) return nullptr;
    std::uint64_t id = 0;
    VectorList vector;
    tarnvault_core::Payload payload;
    if (!convert_id(arguments[0], "id", id)) return nullptr;
    // The vector is read in place only when no payload's conversion can run
    // Python code after it; the interpreter lock is held until the core has
    // copied it.
    const bool with_payload = arguments[2] != nullptr && arguments[2] != Py_None;
    if (with_payload) {
      if (!convert_float_vector(arguments[1], "vector", vector.values())) return nullptr;
      vector.end_row();
    } else if (!convert_float_vector_in_place(arguments[1], "vector", vector)) {
      return nullptr;
    }
    if (with_payload && !convert_payload(arguments[2], "payload", payload)) return nullptr;
    const auto status = store.insert(id, vector[0], std::move(payload));
    if (!status.ok()) return raise_core_error(PyExc_ValueError, status.error());
    return new_none();
  });
}

// The arguments of insert_batch(ids, vectors, *, payloads=None), all
// converted before anything is stored. Payloads are empty when not given.
struct InsertBatch {
  std::vector<std::uint64_t> ids;
  VectorList vectors;
  std::vector<tarnvault_core::Payload> payloads;
};

inline bool convert_insert_batch(const Arguments<2, 1>& arguments, InsertBatch& out) {
  if (!convert_id_list(arguments[0], "ids", out.ids)) return false;
  // Reading rows in place needs the vectors to be the last thing converted:
  // the payloads' conversion may run a sequence's Python code.
  const bool with_payloads = arguments[2] != nullptr && arguments[2] != Py_None;
  const bool converted =
      with_payloads ? convert_vector_list(arguments[1], "vectors", out.vectors)
                    : convert_vector_list_in_place(arguments[1], "vectors", out.vectors);
  if (!converted) return false;
  if (out.ids.size() != out.vectors.size()) {
    PyErr_SetString(PyExc_ValueError, "ids and vectors must have the same length");
    return false;
  }
  if (!with_payloads) return true;
  if (!convert_payload_list(arguments[2], "payloads", out.payloads)) return false;
  if (out.payloads.size() != out.ids.size()) {
    PyErr_SetString(PyExc_ValueError, "ids and payloads must have the same length");
    return false;
  }
  return true;
}

// Inserts the pairs in order, each as insert does; the first failure stops
// the batch and the pairs before it stay inserted.
template <typename Store>
PyObject* insert_each(Store& store, InsertBatch& batch) {
  for (std::size_t i = 0; i < batch.ids.size(); ++i) {
    tarnvault_core::Payload payload;
    if (!batch.payloads.empty()) payload = std::move(batch.payloads[i]);
    const auto status = store.insert(batch.ids[i], batch.vectors[i], std::move(payload));
    if (!status.ok()) return raise_core_error(PyExc_ValueError, status.error());
  }
  return new_none();
}

// search(query, k, *, where=None, with_payload=False): a list of result
// tuples.
template <typename Object, typename Store>
PyObject* search_method(const MethodClass<Object, Store>& cls, const Signature<2, 2>& signature,
                        PyObject* self, PyObject* args, PyObject* kwargs) {
  return call_method(cls, signature, Access::Shared, self, args, kwargs,
                     [&cls](Object& object, const Arguments<2, 2>& arguments) -> PyObject* {
    FloatBuffer query;
    std::size_t k = 0;
    SearchOptions options;
    if (!convert_float_vector(arguments[0], "query", query)) return nullptr;
    if (!convert_size(arguments[1], "k", k)) return nullptr;
    if (!convert_search_options(arguments[2], arguments[3], options)) return nullptr;
    const Store& store = *(object.*cls.store);
    const auto results = scan_without_interpreter_lock(
        object.access, store.len() * query.size(),
        [&] { return store.search(query, k, options.filter_or_null()); });
    return new_result_list(results, options.with_payload);
  });
}

// search_batch(queries, k, *, where=None, with_payload=False): one such list
// per query.
template <typename Object, typename Store>
PyObject* search_batch_method(const MethodClass<Object, Store>& cls,
                              const Signature<2, 2>& signature, PyObject* self, PyObject* args,
                              PyObject* kwargs) {
  return call_method(cls, signature, Access::Shared, self, args, kwargs,
                     [&cls](Object& object, const Arguments<2, 2>& arguments) -> PyObject* {
    VectorList queries;
    std::size_t k = 0;
    SearchOptions options;
    if (!convert_vector_list(arguments[0], "queries", queries)) return nullptr;
    if (!convert_size(arguments[1], "k", k)) return nullptr;
    if (!convert_search_options(arguments[2], arguments[3], options)) return nullptr;
    const Store& store = *(object.*cls.store);
    const auto spans = query_spans(queries);
    auto results = scan_without_interpreter_lock(
        object.access, floats_scanned(store, spans),
        [&] { return store.search_batch(spans, k, options.filter_or_null()); });
    return new_result_lists(
        results.size(), [&](std::size_t i) { return std::move(results[i]); },
        options.with_payload);
  });
}

// A query given as one vector rather than a list of them: a sequence whose
// first element is a number.
inline bool is_single_query(PyObject* queries) {
  if (PyUnicode_Check(queries) || !PySequence_Check(queries)) return false;
  if (PyObject_Size(queries) <= 0) {
    PyErr_Clear();
    return false;
  }
  PyRef first = PyRef::steal(PySequence_GetItem(queries, 0));
  if (!first) {
    PyErr_Clear();
    return false;
  }
  return PyNumber_Check(first.get()) && !PySequence_Check(first.get());
}

// A new C-contiguous NumPy array of shape (rows, columns) and the dtype,
// filled by fill(pointer to its first element).
template <typename T, typename Fill>
PyRef new_numpy_array(PyObject* numpy, std::size_t rows, std::size_t columns, const char* dtype,
                      Fill&& fill) {
  PyRef empty = PyRef::steal(PyObject_GetAttrString(numpy, "empty"));
  if (!empty) return {};
  PyRef array = PyRef::steal(PyObject_CallFunction(empty.get(), "(nn)s",
                                                   static_cast<Py_ssize_t>(rows),
                                                   static_cast<Py_ssize_t>(columns), dtype));
  if (!array) return {};
  Py_buffer view;
  if (PyObject_GetBuffer(array.get(), &view, PyBUF_C_CONTIGUOUS | PyBUF_WRITABLE) < 0) return {};
  fill(static_cast<T*>(view.buf));
  PyBuffer_Release(&view);
  return array;
}

// query(queries, k, *, where=None): (ids, distances), NumPy arrays of shape
// (n, k), uint64 and float32; rows that found fewer than k are padded with
// id 2**64-1 and distance +inf. One vector counts as n = 1.
template <typename Object, typename Store>
PyObject* query_method(const MethodClass<Object, Store>& cls, const Signature<2, 1>& signature,
                       PyObject* self, PyObject* args, PyObject* kwargs) {
  return call_method(cls, signature, Access::Shared, self, args, kwargs,
                     [&cls](Object& object, const Arguments<2, 1>& arguments) -> PyObject* {
    VectorList queries;
    std::size_t k = 0;
    SearchOptions options;
    if (is_single_query(arguments[0])) {
      if (!convert_float_vector(arguments[0], "queries", queries.values())) return nullptr;
      queries.end_row();
    } else if (!convert_vector_list(arguments[0], "queries", queries)) {
      return nullptr;
    }
    if (!convert_size(arguments[1], "k", k)) return nullptr;
    if (!convert_search_options(arguments[2], nullptr, options)) return nullptr;

    PyRef numpy = PyRef::steal(PyImport_ImportModule("numpy"));
    if (!numpy) return nullptr;
    const Store& store = *(object.*cls.store);
    const auto spans = query_spans(queries);
    auto results = scan_without_interpreter_lock(
        object.access, floats_scanned(store, spans),
        [&] { return store.search_batch(spans, k, options.filter_or_null()); });
    const std::size_t rows = results.size();
    PyRef ids = new_numpy_array<std::uint64_t>(numpy.get(), rows, k, "uint64",
                                               [&](std::uint64_t* out) {
      for (std::size_t row = 0; row < rows; ++row) {
        for (std::size_t i = 0; i < k; ++i) {
          out[row * k + i] = i < results[row].size() ? results[row][i].id
                                                     : std::numeric_limits<std::uint64_t>::max();
        }
      }
    });
    if (!ids) return nullptr;
    PyRef distances = new_numpy_array<float>(numpy.get(), rows, k, "float32", [&](float* out) {
      for (std::size_t row = 0; row < rows; ++row) {
        for (std::size_t i = 0; i < k; ++i) {
          out[row * k + i] = i < results[row].size() ? results[row][i].distance
                                                     : std::numeric_limits<float>::infinity();
        }
      }
    });
    if (!distances) return nullptr;
    return PyTuple_Pack(2, ids.get(), distances.get());
  });
}

// delete(id) -> bool: whether the id was present.
template <typename Object, typename Store>
PyObject* delete_method(const MethodClass<Object, Store>& cls, const Signature<1>& signature,
                        PyObject* self, PyObject* args, PyObject* kwargs) {
  return call_method(cls, signature, Access::Exclusive, self, args, kwargs,
                     [&cls](Object& object, const Arguments<1, 0>& arguments) -> PyObject* {
    Store& store = *(object.*cls.store);
    if (!check_writable(store)) return nullptr;
    std::uint64_t id = 0;
    if (!convert_id(arguments[0], "id", id)) return nullptr;
    const std::optional<bool> removed = remove_id(store, id);
    if (!removed) return nullptr;
    return PyBool_FromLong(*removed ? 1 : 0);
  });
}

// delete_batch(ids) -> int: how many were present. The ids are converted
// whole first; a failure of the collection's files stops the batch, and the
// deletes before it stand.
template <typename Object, typename Store>
PyObject* delete_batch_method(const MethodClass<Object, Store>& cls,
                              const Signature<1>& signature, PyObject* self, PyObject* args,
                              PyObject* kwargs) {
  return call_method(cls, signature, Access::Exclusive, self, args, kwargs,
                     [&cls](Object& object, const Arguments<1, 0>& arguments) -> PyObject* {
    Store& store = *(object.*cls.store);
    if (!check_writable(store)) return nullptr;
    std::vector<std::uint64_t> ids;
    if (!convert_id_list(arguments[0], "ids", ids)) return nullptr;
    std::size_t removed = 0;
    for (std::uint64_t id : ids) {
      const std::optional<bool> was_held = remove_id(store, id);
      if (!was_held) return nullptr;
      removed += *was_held ? 1 : 0;
    }
    return PyLong_FromSize_t(removed);
  });
}

// get(id) -> (vector, payload) or None.
template <typename Object, typename Store>
PyObject* get_method(const MethodClass<Object, Store>& cls, const Signature<1>& signature,
                     PyObject* self, PyObject* args, PyObject* kwargs) {
  return call_method(cls, signature, Access::Shared, self, args, kwargs,
                     [&cls](Object& object, const Arguments<1, 0>& arguments) -> PyObject* {
    std::uint64_t id = 0;
    if (!convert_id(arguments[0], "id", id)) return nullptr;
    const auto entry = lookup(*(object.*cls.store), id);
    if (!entry) return new_none();
    PyRef vector = PyRef::steal(new_float_list(entry->first));
    PyRef payload = vector ? PyRef::steal(new_payload_dict(entry->second)) : PyRef();
    if (!payload) return nullptr;
    return PyTuple_Pack(2, vector.get(), payload.get());
  });
}

// ids() -> list of ints in enumeration order.
template <typename Object, typename Store>
PyObject* ids_method(const MethodClass<Object, Store>& cls, const Signature<0>& signature,
                     PyObject* self, PyObject* args, PyObject* kwargs) {
  return call_method(cls, signature, Access::Shared, self, args, kwargs,
                     [&cls](Object& object, const Arguments<0, 0>&) -> PyObject* {
    return new_id_list(all_ids(*(object.*cls.store)));
  });
}

// len(obj): the number of stored vectors.
template <typename Object, typename Store>
Py_ssize_t length_slot(const MethodClass<Object, Store>& cls, PyObject* self) {
  PyRef length = PyRef::steal(call_with_access(
      cls, Access::Shared, self, WhenClosed::Refuse, [&cls](Object& object) -> PyObject* {
        return PyLong_FromSize_t((object.*cls.store)->len());
      }));
  return length ? PyLong_AsSsize_t(length.get()) : -1;
}

// id in obj: False for an int outside the id range, TypeError for a non-int.
template <typename Object, typename Store>
int contains_slot(const MethodClass<Object, Store>& cls, PyObject* self, PyObject* value) {
  PyRef held = PyRef::steal(call_with_access(
      cls, Access::Shared, self, WhenClosed::Refuse, [&](Object& object) -> PyObject* {
        PyRef integer = PyRef::steal(PyNumber_Index(value));
        if (!integer) return nullptr;
        const unsigned long long id = PyLong_AsUnsignedLongLong(integer.get());
        if (id == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
          if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return nullptr;
          PyErr_Clear();
          return PyBool_FromLong(0);
        }
        return PyBool_FromLong((object.*cls.store)->contains(id) ? 1 : 0);
      }));
  if (!held) return -1;
  return held.get() == Py_True ? 1 : 0;
}

}  // namespace tarnvault_py
