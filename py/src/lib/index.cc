// The Python class Index: one in-memory BruteForceIndex per instance, with
// its docstrings and method table.
#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "calling.h"
#include "convert.h"
#include "core/index/brute_force/brute_force_index.h"
#include "core/payload/payload.h"
#include "shared_methods.h"

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

constexpr char kInsertBatchDoc[] =
    "insert_batch($self, ids, vectors)\n"
    "--\n"
    "\n"
    "Insert multiple vectors at once.\n"
    "\n"
    "Args:\n"
    "    ids (list[int]): List of unique identifiers.\n"
    "    vectors (list[list[float]]): List of vectors.";

constexpr char kSearchBatchDoc[] =
    "search_batch($self, queries, k)\n"
    "--\n"
    "\n"
    "Search for nearest neighbors for multiple queries.\n"
    "\n"
    "Args:\n"
    "    queries (list[list[float]]): List of query vectors.\n"
    "    k (int): Number of neighbors per query.\n"
    "\n"
    "Returns:\n"
    "    list[list[tuple[int, float]]]: Results for each query.";

constexpr Signature<2> kNewSignature{"Index.__new__()", {"metric", "dimension"}};
constexpr Signature<2> kInsertSignature{"Index.insert()", {"id", "vector"}};
constexpr Signature<2> kSearchSignature{"Index.search()", {"query", "k"}};
constexpr Signature<2> kInsertBatchSignature{"Index.insert_batch()", {"ids", "vectors"}};
constexpr Signature<2> kSearchBatchSignature{"Index.search_batch()", {"queries", "k"}};

IndexObject* as_index(PyObject* self) { return reinterpret_cast<IndexObject*>(self); }

constexpr MethodClass<IndexObject, BruteForceIndex> kIndexClass{&index_type, kClassName, &IndexObject::index};

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
  return insert_method(kIndexClass, kInsertSignature, self, args, kwargs);
}

PyObject* index_search(PyObject* self, PyObject* args, PyObject* kwargs) {
  return search_method(kIndexClass, kSearchSignature, self, args, kwargs);
}

PyObject* index_insert_batch(PyObject* self, PyObject* args, PyObject* kwargs) {
  return call_method(kIndexClass, kInsertBatchSignature, Access::Exclusive, self, args, kwargs,
                     [](IndexObject& object, const TwoArguments& arguments) -> PyObject* {
    std::vector<std::uint64_t> ids;
    VectorList vectors;
    if (!convert_insert_batch_arguments(arguments, ids, vectors)) return nullptr;
    BruteForceIndex& index = *object.index;
    if (all_have_length(vectors, index.dimension())) index.reserve(index.len() + ids.size());
    const auto status = index.insert_batch(ids, [&](std::size_t i) { return vectors[i]; });
    if (!status.ok()) return raise_core_error(PyExc_ValueError, status.error());
    return new_none();
  });
}

PyObject* index_search_batch(PyObject* self, PyObject* args, PyObject* kwargs) {
  return search_batch_method(kIndexClass, kSearchBatchSignature, self, args, kwargs);
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
