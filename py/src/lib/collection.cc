// The Python class Collection: one persistent core Collection per instance,
// obtained only through the static method open_or_create; with its
// docstrings and method table.
#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "calling.h"
#include "convert.h"
#include "core/collection/collection.h"
#include "core/payload/payload.h"
#include "shared_methods.h"

namespace tarnvault_py {
namespace {

using tarnvault_core::Collection;
using tarnvault_core::CollectionConfig;

struct CollectionObject {
  PyObject_HEAD
  AccessState access;
  Collection* collection;
};

PyTypeObject* collection_type = nullptr;

constexpr char kClassName[] = "Collection";

constexpr char kCollectionDoc[] =
    "Persistent vector collection backed by disk storage.\n"
    "\n"
    "Stores vectors and metadata on disk with WAL (Write-Ahead Log) protection\n"
    "for durability. Supports crash recovery.";

constexpr char kOpenOrCreateDoc[] =
    "open_or_create(path, dimension, metric)\n"
    "--\n"
    "\n"
    "Open an existing collection or create a new one.\n"
    "\n"
    "Args:\n"
    "    path (str): File system path for the collection.\n"
    "    dimension (int): Dimension of the vectors (must match existing).\n"
    "    metric (str): Distance metric (\"cosine\", \"euclidean\", \"dot\").";

constexpr char kInsertDoc[] =
    "insert($self, id, vector)\n"
    "--\n"
    "\n"
    "Insert a vector into the collection.\n"
    "\n"
    "Args:\n"
    "    id (int): Unique identifier.\n"
    "    vector (list[float]): Vector data.";

constexpr char kSearchDoc[] =
    "search($self, query, k)\n"
    "--\n"
    "\n"
    "Search for nearest neighbors.\n"
    "\n"
    "Args:\n"
    "    query (list[float]): Query vector.\n"
    "    k (int): Number of results.\n"
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

constexpr char kFlushDoc[] =
    "flush($self)\n"
    "--\n"
    "\n"
    "Flush all pending writes to disk (checkpoint).\n"
    "\n"
    "This ensures all data is durable and truncates the WAL.";

constexpr Signature<3> kOpenOrCreateSignature{"Collection.open_or_create()",
                                              {"path", "dimension", "metric"}};
constexpr Signature<2> kInsertSignature{"Collection.insert()", {"id", "vector"}};
constexpr Signature<2> kSearchSignature{"Collection.search()", {"query", "k"}};
constexpr Signature<2> kInsertBatchSignature{"Collection.insert_batch()", {"ids", "vectors"}};
constexpr Signature<2> kSearchBatchSignature{"Collection.search_batch()", {"queries", "k"}};

CollectionObject* as_collection(PyObject* self) {
  return reinterpret_cast<CollectionObject*>(self);
}

constexpr MethodClass<CollectionObject, Collection> kCollectionClass{&collection_type, kClassName, &CollectionObject::collection};

// Calling the class is refused: instances come only from open_or_create.
PyObject* collection_new(PyTypeObject*, PyObject*, PyObject*) {
  PyErr_Format(PyExc_TypeError, "No constructor defined for %s", kClassName);
  return nullptr;
}

PyObject* new_collection_object(std::unique_ptr<Collection> collection) {
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(collection_type, Py_tp_alloc));
  PyObject* self = alloc(collection_type, 0);
  if (self == nullptr) return nullptr;
  as_collection(self)->access = AccessState();
  as_collection(self)->collection = collection.release();
  return self;
}

// A static method: given neither the class nor an instance.
PyObject* collection_open_or_create(PyObject*, PyObject* args, PyObject* kwargs) {
  return call_at_boundary([&]() -> PyObject* {
    std::array<PyObject*, 3> arg{};
    if (!bind_arguments(kOpenOrCreateSignature, args, kwargs, arg)) return nullptr;
    std::string path;
    std::size_t dimension = 0;
    std::string metric_name;
    if (!convert_text(arg[0], "path", path)) return nullptr;
    if (!convert_size(arg[1], "dimension", dimension)) return nullptr;
    if (!convert_text(arg[2], "metric", metric_name)) return nullptr;
    const auto metric = parse_metric(metric_name);
    if (!metric) return nullptr;

    const CollectionConfig config{dimension, *metric, tarnvault_core::SyncMode::Batched};
    auto opened = [&] {
      ReleasedInterpreterLock released;  // reads and writes the files
      return Collection::open_or_create(path, config);
    }();
    if (!opened.ok()) return raise_core_error(PyExc_OSError, opened.error());
    return new_collection_object(std::move(opened).value());
  });
}

void collection_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  // Writes out the buffers without syncing; the log is replayed at the next open.
  delete as_collection(self)->collection;
  auto free_object = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_object(self);
  Py_DecRef(reinterpret_cast<PyObject*>(type));  // instances of heap types own their type
}

PyObject* collection_insert(PyObject* self, PyObject* args, PyObject* kwargs) {
  return insert_method(kCollectionClass, kInsertSignature, self, args, kwargs);
}

PyObject* collection_search(PyObject* self, PyObject* args, PyObject* kwargs) {
  return search_method(kCollectionClass, kSearchSignature, self, args, kwargs);
}

PyObject* collection_insert_batch(PyObject* self, PyObject* args, PyObject* kwargs) {
  return call_method(kCollectionClass, kInsertBatchSignature, Access::Exclusive, self, args, kwargs,
                     [](CollectionObject& object, const TwoArguments& arguments) -> PyObject* {
    std::vector<std::uint64_t> ids;
    VectorList vectors;
    if (!convert_insert_batch_arguments(arguments, ids, vectors)) return nullptr;
    // The pairs before a failure stay inserted (Collection::insert_batch).
    // The log syncs on the way; rows read in place are copied first, since
    // other threads run meanwhile and could change them between the log and
    // the index.
    vectors.own_rows();
    Collection& collection = *object.collection;
    const auto status = without_interpreter_lock(object.access, [&] {
      return collection.insert_batch(ids, [&](std::size_t i) { return vectors[i]; });
    });
    if (!status.ok()) return raise_core_error(PyExc_ValueError, status.error());
    return new_none();
  });
}

PyObject* collection_search_batch(PyObject* self, PyObject* args, PyObject* kwargs) {
  return search_batch_method(kCollectionClass, kSearchBatchSignature, self, args, kwargs);
}

PyObject* collection_flush(PyObject* self, PyObject*) {
  return call_at_boundary([&]() -> PyObject* {
    if (!check_instance(self, collection_type, kClassName)) return nullptr;
    AccessGuard access(as_collection(self)->access, Access::Exclusive);
    if (!access.acquired()) return nullptr;

    CollectionObject& object = *as_collection(self);
    const auto status =
        without_interpreter_lock(object.access, [&] { return object.collection->flush(); });
    if (!status.ok()) return raise_core_error(PyExc_OSError, status.error());
    return new_none();
  });
}

PyMethodDef collection_methods[] = {
    {"open_or_create", as_method(collection_open_or_create),
     METH_VARARGS | METH_KEYWORDS | METH_STATIC, kOpenOrCreateDoc},
    {"insert", as_method(collection_insert), METH_VARARGS | METH_KEYWORDS, kInsertDoc},
    {"search", as_method(collection_search), METH_VARARGS | METH_KEYWORDS, kSearchDoc},
    {"flush", collection_flush, METH_NOARGS, kFlushDoc},
    {"insert_batch", as_method(collection_insert_batch), METH_VARARGS | METH_KEYWORDS,
     kInsertBatchDoc},
    {"search_batch", as_method(collection_search_batch), METH_VARARGS | METH_KEYWORDS,
     kSearchBatchDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot collection_slots[] = {
    {Py_tp_doc, const_cast<char*>(kCollectionDoc)},
    {Py_tp_new, reinterpret_cast<void*>(collection_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(collection_dealloc)},
    {Py_tp_methods, collection_methods},
    {0, nullptr},
};

// No Py_TPFLAGS_BASETYPE: Collection cannot be subclassed. No dict, no weakrefs.
PyType_Spec collection_spec = {
    kClassName, static_cast<int>(sizeof(CollectionObject)), 0, Py_TPFLAGS_DEFAULT,
    collection_slots,
};

}  // namespace

PyObject* create_collection_type() {
  PyObject* type = PyType_FromSpec(&collection_spec);
  if (type == nullptr) return nullptr;
  collection_type = reinterpret_cast<PyTypeObject*>(type);
  Py_IncRef(type);  // the method bodies' instance check refers to it for the process's life
  return type;
}

}  // namespace tarnvault_py
