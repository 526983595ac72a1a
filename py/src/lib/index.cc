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
    "insert($self, id, vector, *, payload=None)\n"
    "--\n"
    "\n"
    "Insert a vector into the index.\n"
    "\n"
    "Args:\n"
    "    id (int): Unique identifier for the vector.\n"
    "    vector (list[float]): The vector data.\n"
    "    payload (dict | None): JSON metadata stored with the vector.";

constexpr char kSearchDoc[] =
    "search($self, query, k, *, where=None, with_payload=False)\n"
    "--\n"
    "\n"
    "Search for nearest neighbors.\n"
    "\n"
    "Args:\n"
    "    query (list[float]): The query vector.\n"
    "    k (int): Number of neighbors to return.\n"
    "    where (dict | None): Only vectors whose payload matches, e.g.\n"
    "        {\"genre\": \"jazz\", \"year\": {\"$gte\": 1990}}. Operators: $eq $ne\n"
    "        $gt $gte $lt $lte $in $nin $contains $exists $and $or $not.\n"
    "    with_payload (bool): Add each result's payload as a third item.\n"
    "\n"
    "Returns:\n"
    "    list[tuple[int, float]]: List of (id, distance) tuples.";

constexpr Signature<2> kNewSignature{"Index.__new__()", {"metric", "dimension"}};
constexpr Signature<2, 1> kInsertSignature{"Index.insert()", {"id", "vector"}, {"payload"}};
constexpr Signature<2, 2> kSearchSignature{
    "Index.search()", {"query", "k"}, {"where", "with_payload"}};
constexpr Signature<2, 1> kInsertBatchSignature{
    "Index.insert_batch()", {"ids", "vectors"}, {"payloads"}};
constexpr Signature<2, 2> kSearchBatchSignature{
    "Index.search_batch()", {"queries", "k"}, {"where", "with_payload"}};
constexpr Signature<2, 1> kQuerySignature{"Index.query()", {"queries", "k"}, {"where"}};
constexpr Signature<1> kDeleteSignature{"Index.delete()", {"id"}};
constexpr Signature<1> kDeleteBatchSignature{"Index.delete_batch()", {"ids"}};
constexpr Signature<1> kGetSignature{"Index.get()", {"id"}};
constexpr Signature<0> kIdsSignature{"Index.ids()", {}};

IndexObject* as_index(PyObject* self) { return reinterpret_cast<IndexObject*>(self); }

constexpr MethodClass<IndexObject, BruteForceIndex> kIndexClass{&index_type, kClassName,
                                                                &IndexObject::index};

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
    Arguments<2, 0> arg{};
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
                     [](IndexObject& object, const Arguments<2, 1>& arguments) -> PyObject* {
    InsertBatch batch;
    if (!convert_insert_batch(arguments, batch)) return nullptr;
    BruteForceIndex& index = *object.index;
    if (!batch.payloads.empty()) return insert_each(index, batch);
    // Without payloads, whole groups of vectors are written at once.
    if (all_have_length(batch.vectors, index.dimension())) {
      index.reserve(index.len() + batch.ids.size());
    }
    const auto status =
        index.insert_batch(batch.ids, [&](std::size_t i) { return batch.vectors[i]; });
    if (!status.ok()) return raise_core_error(PyExc_ValueError, status.error());
    return new_none();
  });
}

PyObject* index_search_batch(PyObject* self, PyObject* args, PyObject* kwargs) {
  return search_batch_method(kIndexClass, kSearchBatchSignature, self, args, kwargs);
}

PyObject* index_query(PyObject* self, PyObject* args, PyObject* kwargs) {
  return query_method(kIndexClass, kQuerySignature, self, args, kwargs);
}

PyObject* index_delete(PyObject* self, PyObject* args, PyObject* kwargs) {
  return delete_method(kIndexClass, kDeleteSignature, self, args, kwargs);
}

PyObject* index_delete_batch(PyObject* self, PyObject* args, PyObject* kwargs) {
  return delete_batch_method(kIndexClass, kDeleteBatchSignature, self, args, kwargs);
}

PyObject* index_get(PyObject* self, PyObject* args, PyObject* kwargs) {
  return get_method(kIndexClass, kGetSignature, self, args, kwargs);
}

PyObject* index_ids(PyObject* self, PyObject* args, PyObject* kwargs) {
  return ids_method(kIndexClass, kIdsSignature, self, args, kwargs);
}

Py_ssize_t index_length(PyObject* self) { return length_slot(kIndexClass, self); }

int index_contains(PyObject* self, PyObject* value) {
  return contains_slot(kIndexClass, self, value);
}

// bool() stays True whatever the length, as before len() existed.
int index_bool(PyObject*) { return 1; }

PyObject* index_dimension(PyObject* self, void*) {
  return PyLong_FromSize_t(as_index(self)->index->dimension());
}

PyObject* index_metric(PyObject* self, void*) {
  return PyUnicode_FromString(metric_python_name(as_index(self)->index->metric()));
}

// <Index euclidean dim=128 len=1000>
PyObject* index_repr(PyObject* self) {
  return call_with_access(kIndexClass, Access::Shared, self, WhenClosed::Refuse,
                          [](IndexObject& object) -> PyObject* {
    const BruteForceIndex& index = *object.index;
    return PyUnicode_FromFormat("<Index %s dim=%zu len=%zu>", metric_python_name(index.metric()),
                                index.dimension(), index.len());
  });
}

constexpr int kKeywords = METH_VARARGS | METH_KEYWORDS;

PyMethodDef index_methods[] = {
    {"insert", as_method(index_insert), kKeywords, kInsertDoc},
    {"search", as_method(index_search), kKeywords, kSearchDoc},
    {"insert_batch", as_method(index_insert_batch), kKeywords, kInsertBatchDoc},
    {"search_batch", as_method(index_search_batch), kKeywords, kSearchBatchDoc},
    {"query", as_method(index_query), kKeywords, kQueryDoc},
    {"delete", as_method(index_delete), kKeywords, kDeleteDoc},
    {"delete_batch", as_method(index_delete_batch), kKeywords, kDeleteBatchDoc},
    {"get", as_method(index_get), kKeywords, kGetDoc},
    {"ids", as_method(index_ids), kKeywords, kIdsDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef index_properties[] = {
    {"dimension", index_dimension, nullptr, "Length of every vector (int).", nullptr},
    {"metric", index_metric, nullptr,
     "Distance metric: \"euclidean\", \"cosine\" or \"dot\" (str).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot index_slots[] = {
    {Py_tp_doc, const_cast<char*>(kIndexDoc)},
    {Py_tp_new, reinterpret_cast<void*>(index_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(index_dealloc)},
    {Py_tp_methods, index_methods},
    {Py_tp_getset, index_properties},
    {Py_tp_repr, reinterpret_cast<void*>(index_repr)},
    {Py_sq_length, reinterpret_cast<void*>(index_length)},
    {Py_sq_contains, reinterpret_cast<void*>(index_contains)},
    {Py_nb_bool, reinterpret_cast<void*>(index_bool)},
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
