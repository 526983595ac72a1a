#include "index_type.h"

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "access.h"
#include "binding.h"
#include "convert.h"
#include "core/index/brute_force/brute_force_index.h"
#include "core/payload/payload.h"
#include "docstrings.h"
#include "errors.h"
#include "metric.h"
#include "results.h"
#include "vector_list.h"

namespace tarnvault_py {
namespace {

using tarnvault_core::BruteForceIndex;

struct IndexObject {
  PyObject_HEAD
  AccessState access;
  BruteForceIndex* index;
};

PyTypeObject* index_type = nullptr;

constexpr char kClassName[] = "Index";

constexpr char kIndexDoc[] =
    "Index(metric, dimension)\n"
    "--\n"
    "\n"
    "In-memory brute-force vector index.\n"
    "\n"
    "This index stores all vectors in memory and performs exhaustive search\n"
    "for exact nearest neighbors.";

constexpr char kInsertDoc[] =
    "insert($self, id, vector)\n"
    "--\n"
    "\n"
    "Insert a vector into the index.\n"
    "\n"
    "Args:\n"
    "    id (int): Unique identifier for the vector.\n"
    "    vector (list[float]): The vector data.";

constexpr char kSearchDoc[] =
    "search($self, query, k)\n"
    "--\n"
    "\n"
    "Search for nearest neighbors.\n"
    "\n"
    "Args:\n"
    "    query (list[float]): The query vector.\n"
    "    k (int): Number of neighbors to return.\n"
    "\n"
    "Returns:\n"
    "    list[tuple[int, float]]: List of (id, distance) tuples.";

constexpr Signature<2> kNewSignature{"Index.__new__()", {"metric", "dimension"}};
constexpr Signature<2> kInsertSignature{"Index.insert()", {"id", "vector"}};
constexpr Signature<2> kSearchSignature{"Index.search()", {"query", "k"}};
constexpr Signature<2> kInsertBatchSignature{"Index.insert_batch()", {"ids", "vectors"}};
constexpr Signature<2> kSearchBatchSignature{"Index.search_batch()", {"queries", "k"}};

IndexObject* as_index(PyObject* self) { return reinterpret_cast<IndexObject*>(self); }

// Whether a batch can be stored whole as far as vector lengths go; only then
// is room made for it up front, so a batch that fails on its first vector
// does not leave the index holding memory for all the others.
bool all_have_length(const VectorList& vectors, std::size_t dimension) {
  for (std::size_t i = 0; i < vectors.size(); ++i) {
    if (vectors[i].size() != dimension) return false;
  }
  return true;
}

PyObject* index_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return call_at_boundary([&]() -> PyObject* {
    std::array<PyObject*, 2> arg{};
    if (!bind_arguments(kNewSignature, args, kwargs, arg)) return nullptr;
    std::string metric_name;
    std::size_t dimension = 0;
    if (!convert_text(arg[0], "metric", metric_name)) return nullptr;
    if (!convert_size(arg[1], "dimension", dimension)) return nullptr;
    const auto metric = parse_metric(metric_name);
    if (!metric) return nullptr;

    auto index = std::make_unique<BruteForceIndex>(*metric, dimension);
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* self = alloc(type, 0);
    if (self == nullptr) return nullptr;
    as_index(self)->access = AccessState();
    as_index(self)->index = index.release();
    return self;
  });
}

void index_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete as_index(self)->index;
  auto free_object = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_object(self);
  Py_DecRef(reinterpret_cast<PyObject*>(type));  // instances of heap types own their type
}

PyObject* index_insert(PyObject* self, PyObject* args, PyObject* kwargs) {
  return call_at_boundary([&]() -> PyObject* {
    std::array<PyObject*, 2> arg{};
    if (!bind_arguments(kInsertSignature, args, kwargs, arg)) return nullptr;
    if (!check_instance(self, index_type, kClassName)) return nullptr;
    AccessGuard access(as_index(self)->access, Access::Exclusive);
    if (!access.acquired()) return nullptr;

    std::uint64_t id = 0;
    FloatBuffer vector;
    if (!convert_id(arg[0], "id", id)) return nullptr;
    if (!convert_float_vector(arg[1], "vector", vector)) return nullptr;

    const auto status = as_index(self)->index->insert(id, vector, tarnvault_core::Payload{});
    if (!status.ok()) return raise_core_error(PyExc_ValueError, status.error());
    return new_none();
  });
}

PyObject* index_search(PyObject* self, PyObject* args, PyObject* kwargs) {
  return call_at_boundary([&]() -> PyObject* {
    std::array<PyObject*, 2> arg{};
    if (!bind_arguments(kSearchSignature, args, kwargs, arg)) return nullptr;
    if (!check_instance(self, index_type, kClassName)) return nullptr;
    AccessGuard access(as_index(self)->access, Access::Shared);
    if (!access.acquired()) return nullptr;

    FloatBuffer query;
    std::size_t k = 0;
    if (!convert_float_vector(arg[0], "query", query)) return nullptr;
    if (!convert_size(arg[1], "k", k)) return nullptr;

    return new_result_list(as_index(self)->index->search(query, k));
  });
}

PyObject* index_insert_batch(PyObject* self, PyObject* args, PyObject* kwargs) {
  return call_at_boundary([&]() -> PyObject* {
    std::array<PyObject*, 2> arg{};
    if (!bind_arguments(kInsertBatchSignature, args, kwargs, arg)) return nullptr;
    if (!check_instance(self, index_type, kClassName)) return nullptr;
    AccessGuard access(as_index(self)->access, Access::Exclusive);
    if (!access.acquired()) return nullptr;

    std::vector<std::uint64_t> ids;
    VectorList vectors;
    if (!convert_id_list(arg[0], "ids", ids)) return nullptr;
    if (!convert_vector_list_in_place(arg[1], "vectors", vectors)) return nullptr;
    if (ids.size() != vectors.size()) {
      PyErr_SetString(PyExc_ValueError, "ids and vectors must have the same length");
      return nullptr;
    }

    BruteForceIndex& index = *as_index(self)->index;
    if (all_have_length(vectors, index.dimension())) index.reserve(index.len() + ids.size());
    const auto status =
        index.insert_batch(ids, [&](std::size_t i) { return vectors[i]; });
    if (!status.ok()) return raise_core_error(PyExc_ValueError, status.error());
    return new_none();
  });
}

PyObject* index_search_batch(PyObject* self, PyObject* args, PyObject* kwargs) {
  return call_at_boundary([&]() -> PyObject* {
    std::array<PyObject*, 2> arg{};
    if (!bind_arguments(kSearchBatchSignature, args, kwargs, arg)) return nullptr;
    if (!check_instance(self, index_type, kClassName)) return nullptr;
    AccessGuard access(as_index(self)->access, Access::Shared);
    if (!access.acquired()) return nullptr;

    VectorList queries;
    std::size_t k = 0;
    if (!convert_vector_list(arg[0], "queries", queries)) return nullptr;
    if (!convert_size(arg[1], "k", k)) return nullptr;

    const BruteForceIndex& index = *as_index(self)->index;
    auto results = index.search_batch(query_spans(queries), k);
    return new_result_lists(results.size(), [&](std::size_t i) { return std::move(results[i]); });
  });
}

// Method tables hold every function as PyCFunction; the detour through a
// plain function pointer type is the sanctioned way to say so without a
// cast-function-type warning.
PyCFunction as_method(PyCFunctionWithKeywords function) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

PyMethodDef index_methods[] = {
    {"insert", as_method(index_insert), METH_VARARGS | METH_KEYWORDS, kInsertDoc},
    {"search", as_method(index_search), METH_VARARGS | METH_KEYWORDS, kSearchDoc},
    {"insert_batch", as_method(index_insert_batch), METH_VARARGS | METH_KEYWORDS,
     kInsertBatchDoc},
    {"search_batch", as_method(index_search_batch), METH_VARARGS | METH_KEYWORDS,
     kSearchBatchDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot index_slots[] = {
    {Py_tp_doc, const_cast<char*>(kIndexDoc)},
    {Py_tp_new, reinterpret_cast<void*>(index_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(index_dealloc)},
    {Py_tp_methods, index_methods},
    {0, nullptr},
};

// No Py_TPFLAGS_BASETYPE: Index cannot be subclassed. No dict, no weakrefs.
PyType_Spec index_spec = {
    kClassName, static_cast<int>(sizeof(IndexObject)), 0, Py_TPFLAGS_DEFAULT, index_slots,
};

}  // namespace

PyObject* create_index_type() {
  PyObject* type = PyType_FromSpec(&index_spec);
  if (type == nullptr) return nullptr;
  index_type = reinterpret_cast<PyTypeObject*>(type);
  Py_IncRef(type);  // the method bodies' instance check refers to it for the process's life
  return type;
}

}  // namespace tarnvault_py
