// The Python class Collection: one persistent core Collection per instance,
// obtained through the static methods open_or_create and open; with its
// docstrings and method table. close() (or leaving a `with` block) destroys
// the core Collection early; the instance then refuses every method but
// close, and its dimension and metric still answer.
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
using tarnvault_core::DistanceMetric;
using tarnvault_core::collection::OpenOptions;
using tarnvault_core::SyncMode;

struct CollectionObject {
  PyObject_HEAD
  AccessState access;
  Collection* collection;  // null once closed
  PyObject* path;          // str, for repr
  std::size_t dimension;
  DistanceMetric metric;
};

PyTypeObject* collection_type = nullptr;

constexpr char kClassName[] = "Collection";

constexpr char kCollectionDoc[] =
    "Persistent vector collection backed by disk storage.\n"
    "\n"
    "Stores vectors and metadata on disk with WAL (Write-Ahead Log) protection\n"
    "for durability. Supports crash recovery.";

constexpr char kOpenOrCreateDoc[] =
    "open_or_create(path, dimension, metric, *, sync='batched')\n"
    "--\n"
    "\n"
    "Open an existing collection or create a new one.\n"
    "\n"
    "An existing collection opened with another metric than the stored one is\n"
    "searched with the new metric, which is recorded at the next flush. Use\n"
    "open() to reopen a collection as it was stored.\n"
    "\n"
    "Args:\n"
    "    path (str | os.PathLike): File system path for the collection.\n"
    "    dimension (int): Dimension of the vectors (must match existing).\n"
    "    metric (str): Distance metric (\"cosine\", \"euclidean\", \"dot\").\n"
    "    sync (str): When the log is synced: \"always\" (every write),\n"
    "        \"batched\" (every 100th write) or \"never\" (only by flush).";

constexpr char kOpenDoc[] =
    "open(path, *, read_only=False, sync='batched')\n"
    "--\n"
    "\n"
    "Open an existing collection with the dimension and metric it was stored with.\n"
    "\n"
    "Args:\n"
    "    path (str | os.PathLike): File system path of the collection.\n"
    "    read_only (bool): Change no file: the log is replayed in memory only,\n"
    "        several read-only opens may share the directory while writers are\n"
    "        refused, and every write method raises ValueError.\n"
    "    sync (str): As for open_or_create.\n"
    "\n"
    "Raises:\n"
    "    OSError: The directory holds no collection, or it cannot be opened.";

constexpr char kInsertDoc[] =
    "insert($self, id, vector, *, payload=None)\n"
    "--\n"
    "\n"
    "Insert a vector into the collection.\n"
    "\n"
    "Args:\n"
    "    id (int): Unique identifier.\n"
    "    vector (list[float]): Vector data.\n"
    "    payload (dict | None): JSON metadata stored with the vector.";

constexpr char kSearchDoc[] =
    "search($self, query, k, *, where=None, with_payload=False)\n"
    "--\n"
    "\n"
    "Search for nearest neighbors.\n"
    "\n"
    "Args:\n"
    "    query (list[float]): Query vector.\n"
    "    k (int): Number of results.\n"
    "    where (dict | None): Only vectors whose payload matches, e.g.\n"
    "        {\"genre\": \"jazz\", \"year\": {\"$gte\": 1990}}. Operators: $eq $ne\n"
    "        $gt $gte $lt $lte $in $nin $contains $exists $and $or $not.\n"
    "    with_payload (bool): Add each result's payload as a third item.\n"
    "\n"
    "Returns:\n"
    "    list[tuple[int, float]]: List of (id, distance) tuples.";

constexpr char kFlushDoc[] =
    "flush($self)\n"
    "--\n"
    "\n"
    "Flush all pending writes to disk (checkpoint).\n"
    "\n"
    "This ensures all data is durable and truncates the WAL.";

constexpr char kCompactDoc[] =
    "compact($self)\n"
    "--\n"
    "\n"
    "Reclaim the space of deleted and replaced vectors.\n"
    "\n"
    "Flushes, then rewrites the data file with only each id's current record.\n"
    "A crash at any moment leaves a collection that opens with all its durable\n"
    "vectors. Searches find the same results, in the same order, before and\n"
    "after.\n"
    "\n"
    "Returns:\n"
    "    dict: {\"bytes_before\": int, \"bytes_after\": int, \"records_dropped\": int},\n"
    "    the sizes of the data file before and after.";

constexpr char kCloseDoc[] =
    "close($self)\n"
    "--\n"
    "\n"
    "Close the collection: write out buffers (without a flush) and release\n"
    "the directory at once. Calling it again does nothing; every other method\n"
    "then raises ValueError.";

constexpr char kEnterDoc[] =
    "__enter__($self)\n"
    "--\n"
    "\n"
    "Enter a with block: the collection itself.";

constexpr char kExitDoc[] =
    "__exit__($self, exc_type, exc_value, traceback)\n"
    "--\n"
    "\n"
    "Leave a with block: flush (unless read-only), then close, even when the\n"
    "flush fails. A flush failure propagates unless another exception does.";

constexpr Signature<3, 1> kOpenOrCreateSignature{
    "Collection.open_or_create()", {"path", "dimension", "metric"}, {"sync"}};
constexpr Signature<1, 2> kOpenSignature{"Collection.open()", {"path"}, {"read_only", "sync"}};
constexpr Signature<2, 1> kInsertSignature{"Collection.insert()", {"id", "vector"}, {"payload"}};
constexpr Signature<2, 2> kSearchSignature{
    "Collection.search()", {"query", "k"}, {"where", "with_payload"}};
constexpr Signature<2, 1> kInsertBatchSignature{
    "Collection.insert_batch()", {"ids", "vectors"}, {"payloads"}};
constexpr Signature<2, 2> kSearchBatchSignature{
    "Collection.search_batch()", {"queries", "k"}, {"where", "with_payload"}};
constexpr Signature<2, 1> kQuerySignature{"Collection.query()", {"queries", "k"}, {"where"}};
constexpr Signature<1> kDeleteSignature{"Collection.delete()", {"id"}};
constexpr Signature<1> kDeleteBatchSignature{"Collection.delete_batch()", {"ids"}};
constexpr Signature<1> kGetSignature{"Collection.get()", {"id"}};
constexpr Signature<0> kIdsSignature{"Collection.ids()", {}};
constexpr Signature<0> kCloseSignature{"Collection.close()", {}};
constexpr Signature<0> kEnterSignature{"Collection.__enter__()", {}};
constexpr Signature<3> kExitSignature{
    "Collection.__exit__()", {"exc_type", "exc_value", "traceback"}};

CollectionObject* as_collection(PyObject* self) {
  return reinterpret_cast<CollectionObject*>(self);
}

constexpr MethodClass<CollectionObject, Collection> kCollectionClass{
    &collection_type, kClassName, &CollectionObject::collection};

// Calling the class is refused: instances come only from the static methods.
PyObject* collection_new(PyTypeObject*, PyObject*, PyObject*) {
  PyErr_Format(PyExc_TypeError, "No constructor defined for %s", kClassName);
  return nullptr;
}

PyObject* new_collection_object(std::unique_ptr<Collection> collection, const std::string& path) {
  PyRef path_text =
      PyRef::steal(PyUnicode_DecodeFSDefaultAndSize(path.data(), static_cast<Py_ssize_t>(path.size())));
  if (!path_text) return nullptr;
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(collection_type, Py_tp_alloc));
  PyObject* self = alloc(collection_type, 0);
  if (self == nullptr) return nullptr;
  CollectionObject& object = *as_collection(self);
  object.access = AccessState();
  object.dimension = collection->config().dimension;
  object.metric = collection->config().metric;
  object.path = path_text.release();
  object.collection = collection.release();
  return self;
}

// The keyword-only sync mode; Batched when not given.
bool convert_sync(PyObject* value, SyncMode& out) {
  out = SyncMode::Batched;
  if (value == nullptr) return true;
  std::string name;
  if (!convert_text(value, "sync", name)) return false;
  const auto mode = parse_sync_mode(name);
  if (!mode) return false;
  out = *mode;
  return true;
}

// A static method: given neither the class nor an instance.
PyObject* collection_open_or_create(PyObject*, PyObject* args, PyObject* kwargs) {
  return call_at_boundary([&]() -> PyObject* {
    Arguments<3, 1> arg{};
    if (!bind_arguments(kOpenOrCreateSignature, args, kwargs, arg)) return nullptr;
    std::string path;
    std::size_t dimension = 0;
    std::string metric_name;
    SyncMode sync = SyncMode::Batched;
    if (!convert_path(arg[0], "path", path)) return nullptr;
    if (!convert_size(arg[1], "dimension", dimension)) return nullptr;
    if (!convert_text(arg[2], "metric", metric_name)) return nullptr;
    if (!convert_sync(arg[3], sync)) return nullptr;
    const auto metric = parse_metric(metric_name);
    if (!metric) return nullptr;

    const CollectionConfig config{dimension, *metric, sync};
    auto opened = [&] {
      ReleasedInterpreterLock released;  // reads and writes the files
      return Collection::open_or_create(path, config);
    }();
    if (!opened.ok()) return raise_core_error(PyExc_OSError, opened.error());
    return new_collection_object(std::move(opened).value(), path);
  });
}

PyObject* collection_open(PyObject*, PyObject* args, PyObject* kwargs) {
  return call_at_boundary([&]() -> PyObject* {
    Arguments<1, 2> arg{};
    if (!bind_arguments(kOpenSignature, args, kwargs, arg)) return nullptr;
    std::string path;
    OpenOptions options;
    if (!convert_path(arg[0], "path", path)) return nullptr;
    if (arg[1] != nullptr && !convert_flag(arg[1], "read_only", options.read_only)) return nullptr;
    if (!convert_sync(arg[2], options.sync_mode)) return nullptr;

    auto opened = [&] {
      ReleasedInterpreterLock released;  // reads the files
      return Collection::open(path, options);
    }();
    if (!opened.ok()) return raise_core_error(PyExc_OSError, opened.error());
    return new_collection_object(std::move(opened).value(), path);
  });
}

void collection_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  // Writes out the buffers without syncing; the log is replayed at the next open.
  delete as_collection(self)->collection;
  Py_DecRef(as_collection(self)->path);
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

PyObject* collection_flush(PyObject* self, PyObject*) {
  return call_with_access(kCollectionClass, Access::Exclusive, self, WhenClosed::Refuse,
                          [](CollectionObject& object) -> PyObject* {
    if (!check_writable(*object.collection)) return nullptr;
    const auto status =
        without_interpreter_lock(object.access, [&] { return object.collection->flush(); });
    if (!status.ok()) return raise_core_error(PyExc_OSError, status.error());
    return new_none();
  });
}

PyObject* collection_compact(PyObject* self, PyObject*) {
  return call_with_access(kCollectionClass, Access::Exclusive, self, WhenClosed::Refuse,
                          [](CollectionObject& object) -> PyObject* {
    if (!check_writable(*object.collection)) return nullptr;
    // Rewrites the whole data file: other Python threads run meanwhile.
    const auto stats =
        without_interpreter_lock(object.access, [&] { return object.collection->compact(); });
    if (!stats.ok()) return raise_core_error(PyExc_OSError, stats.error());
    return Py_BuildValue("{s:K,s:K,s:K}", "bytes_before",
                         static_cast<unsigned long long>(stats->bytes_before), "bytes_after",
                         static_cast<unsigned long long>(stats->bytes_after), "records_dropped",
                         static_cast<unsigned long long>(stats->records_dropped));
  });
}

PyObject* collection_insert_batch(PyObject* self, PyObject* args, PyObject* kwargs) {
  return call_method(kCollectionClass, kInsertBatchSignature, Access::Exclusive, self, args,
                     kwargs,
                     [](CollectionObject& object, const Arguments<2, 1>& arguments) -> PyObject* {
    if (!check_writable(*object.collection)) return nullptr;
    InsertBatch batch;
    if (!convert_insert_batch(arguments, batch)) return nullptr;
    // The pairs before a failure stay inserted (Collection::insert_batch).
    // The log may sync on the way; rows read in place are copied first, since
    // other threads run meanwhile and could change them between the log and
    // the index.
    batch.vectors.own_rows();
    Collection& collection = *object.collection;
    const auto status = without_interpreter_lock(object.access, [&] {
      return collection.insert_batch(batch.ids, [&](std::size_t i) { return batch.vectors[i]; },
                                     batch.payloads);
    });
    if (!status.ok()) return raise_core_error(PyExc_ValueError, status.error());
    return new_none();
  });
}

PyObject* collection_search_batch(PyObject* self, PyObject* args, PyObject* kwargs) {
  return search_batch_method(kCollectionClass, kSearchBatchSignature, self, args, kwargs);
}

PyObject* collection_query(PyObject* self, PyObject* args, PyObject* kwargs) {
  return query_method(kCollectionClass, kQuerySignature, self, args, kwargs);
}

PyObject* collection_delete(PyObject* self, PyObject* args, PyObject* kwargs) {
  return delete_method(kCollectionClass, kDeleteSignature, self, args, kwargs);
}

PyObject* collection_delete_batch(PyObject* self, PyObject* args, PyObject* kwargs) {
  return delete_batch_method(kCollectionClass, kDeleteBatchSignature, self, args, kwargs);
}

PyObject* collection_get(PyObject* self, PyObject* args, PyObject* kwargs) {
  return get_method(kCollectionClass, kGetSignature, self, args, kwargs);
}

PyObject* collection_ids(PyObject* self, PyObject* args, PyObject* kwargs) {
  return ids_method(kCollectionClass, kIdsSignature, self, args, kwargs);
}

// Destroys the core collection, which writes out its buffers and releases
// the directory lock; the object stays, closed.
void close_collection(CollectionObject& object) {
  delete object.collection;
  object.collection = nullptr;
}

PyObject* collection_close(PyObject* self, PyObject* args, PyObject* kwargs) {
  return call_method(kCollectionClass, kCloseSignature, Access::Exclusive, self, args, kwargs,
                     [](CollectionObject& object, const Arguments<0, 0>&) -> PyObject* {
    close_collection(object);
    return new_none();
  }, WhenClosed::Run);
}

PyObject* collection_enter(PyObject* self, PyObject* args, PyObject* kwargs) {
  return call_method(kCollectionClass, kEnterSignature, Access::Shared, self, args, kwargs,
                     [self](CollectionObject&, const Arguments<0, 0>&) -> PyObject* {
    Py_IncRef(self);
    return self;
  });
}

PyObject* collection_exit(PyObject* self, PyObject* args, PyObject* kwargs) {
  return call_method(kCollectionClass, kExitSignature, Access::Exclusive, self, args, kwargs,
                     [](CollectionObject& object, const Arguments<3, 0>& arguments) -> PyObject* {
    if (object.collection == nullptr) return PyBool_FromLong(0);
    const bool read_only = object.collection->read_only();
    const auto flushed = read_only ? tarnvault_core::Status{} : object.collection->flush();
    close_collection(object);
    // A failed flush propagates unless the block is already raising.
    if (!flushed.ok() && arguments[0] == Py_None) {
      return raise_core_error(PyExc_OSError, flushed.error());
    }
    return PyBool_FromLong(0);
  }, WhenClosed::Run);
}

Py_ssize_t collection_length(PyObject* self) { return length_slot(kCollectionClass, self); }

int collection_contains(PyObject* self, PyObject* value) {
  return contains_slot(kCollectionClass, self, value);
}

// bool() stays True whatever the length, as before len() existed.
int collection_bool(PyObject*) { return 1; }

PyObject* collection_dimension(PyObject* self, void*) {
  return PyLong_FromSize_t(as_collection(self)->dimension);
}

PyObject* collection_metric(PyObject* self, void*) {
  return PyUnicode_FromString(metric_python_name(as_collection(self)->metric));
}

// <Collection 'path' euclidean dim=128 len=1000>, "closed" for the length
// once closed.
PyObject* collection_repr(PyObject* self) {
  return call_with_access(kCollectionClass, Access::Shared, self, WhenClosed::Run,
                          [](CollectionObject& object) -> PyObject* {
    const char* metric = metric_python_name(object.metric);
    if (object.collection == nullptr) {
      return PyUnicode_FromFormat("<Collection %R %s dim=%zu closed>", object.path, metric,
                                  object.dimension);
    }
    return PyUnicode_FromFormat("<Collection %R %s dim=%zu len=%zu>", object.path, metric,
                                object.dimension, object.collection->len());
  });
}

constexpr int kKeywords = METH_VARARGS | METH_KEYWORDS;

PyMethodDef collection_methods[] = {
    {"open_or_create", as_method(collection_open_or_create), kKeywords | METH_STATIC,
     kOpenOrCreateDoc},
    {"insert", as_method(collection_insert), kKeywords, kInsertDoc},
    {"search", as_method(collection_search), kKeywords, kSearchDoc},
    {"flush", collection_flush, METH_NOARGS, kFlushDoc},
    {"insert_batch", as_method(collection_insert_batch), kKeywords, kInsertBatchDoc},
    {"search_batch", as_method(collection_search_batch), kKeywords, kSearchBatchDoc},
    {"open", as_method(collection_open), kKeywords | METH_STATIC, kOpenDoc},
    {"query", as_method(collection_query), kKeywords, kQueryDoc},
    {"delete", as_method(collection_delete), kKeywords, kDeleteDoc},
    {"delete_batch", as_method(collection_delete_batch), kKeywords, kDeleteBatchDoc},
    {"get", as_method(collection_get), kKeywords, kGetDoc},
    {"ids", as_method(collection_ids), kKeywords, kIdsDoc},
    {"close", as_method(collection_close), kKeywords, kCloseDoc},
    {"__enter__", as_method(collection_enter), kKeywords, kEnterDoc},
    {"__exit__", as_method(collection_exit), kKeywords, kExitDoc},
    {"compact", collection_compact, METH_NOARGS, kCompactDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef collection_properties[] = {
    {"dimension", collection_dimension, nullptr, "Length of every vector (int).", nullptr},
    {"metric", collection_metric, nullptr,
     "Distance metric: \"euclidean\", \"cosine\" or \"dot\" (str).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot collection_slots[] = {
    {Py_tp_doc, const_cast<char*>(kCollectionDoc)},
    {Py_tp_new, reinterpret_cast<void*>(collection_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(collection_dealloc)},
    {Py_tp_methods, collection_methods},
    {Py_tp_getset, collection_properties},
    {Py_tp_repr, reinterpret_cast<void*>(collection_repr)},
    {Py_sq_length, reinterpret_cast<void*>(collection_length)},
    {Py_sq_contains, reinterpret_cast<void*>(collection_contains)},
    {Py_nb_bool, reinterpret_cast<void*>(collection_bool)},
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
