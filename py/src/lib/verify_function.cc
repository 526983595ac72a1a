// _tarnvault._verify(path) -> dict: reads every record of a collection
// without opening it (no replay, no truncation, no meta.json write) and
// returns what it found. A collection that cannot be checked (no
// meta.json, held open elsewhere, a read error) raises OSError; damage is
// reported in the result. Private: `__all__` stays the two classes.
#include <string>
#include <vector>

#include "calling.h"
#include "convert.h"
#include "core/collection/verify.h"

namespace tarnvault_py {
namespace {

using tarnvault_core::collection::CollectionCheck;
using tarnvault_core::collection::FileFinding;

PyObject* new_text(const std::string& text) {
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
}

// [(file, offset or None, what), ...]
PyObject* new_findings(const std::vector<FileFinding>& findings) {
  PyRef list = PyRef::steal(PyList_New(0));
  if (!list) return nullptr;
  for (const FileFinding& finding : findings) {
    PyRef file = PyRef::steal(new_text(finding.file));
    PyRef offset = PyRef::steal(finding.offset ? PyLong_FromUnsignedLongLong(*finding.offset)
                                               : new_none());
    PyRef what = PyRef::steal(new_text(finding.what));
    if (!file || !offset || !what) return nullptr;
    PyRef entry = PyRef::steal(PyTuple_Pack(3, file.get(), offset.get(), what.get()));
    if (!entry || PyList_Append(list.get(), entry.get()) < 0) return nullptr;
  }
  return list.release();
}

PyObject* new_report(const CollectionCheck& check) {
  PyRef metric = PyRef::steal(new_text(check.metric));
  PyRef torn = PyRef::steal(new_findings(check.torn_tails));
  PyRef damage = PyRef::steal(new_findings(check.damage));
  if (!metric || !torn || !damage) return nullptr;
  return Py_BuildValue(
      "{s:K,s:O,s:K,s:K,s:K,s:K,s:K,s:K,s:K,s:K,s:K,s:K,s:K,s:O,s:O}",
      "dimension", static_cast<unsigned long long>(check.dimension), "metric", metric.get(),
      "meta_next_id", static_cast<unsigned long long>(check.meta_next_id), "meta_vector_count",
      static_cast<unsigned long long>(check.meta_vector_count), "live_vectors",
      static_cast<unsigned long long>(check.live_vectors), "next_id",
      static_cast<unsigned long long>(check.next_id), "meta_size",
      static_cast<unsigned long long>(check.meta_size), "wal_size",
      static_cast<unsigned long long>(check.wal_size), "data_size",
      static_cast<unsigned long long>(check.data_size), "unflushed_records",
      static_cast<unsigned long long>(check.unflushed_records), "data_records",
      static_cast<unsigned long long>(check.data_records), "data_live_bytes",
      static_cast<unsigned long long>(check.data_live_bytes), "data_dead_bytes",
      static_cast<unsigned long long>(check.data_dead_bytes), "torn_tails", torn.get(), "damage",
      damage.get());
}

PyObject* verify(PyObject*, PyObject* path_object) {
  return call_at_boundary([&]() -> PyObject* {
    std::string path;
    if (!convert_text(path_object, "path", path)) return nullptr;
    auto checked = tarnvault_core::collection::check_collection(path);
    if (!checked.ok()) return raise_core_error(PyExc_OSError, checked.error());
    return new_report(*checked);
  });
}

}  // namespace

PyMethodDef private_functions[] = {
    {"_verify", verify, METH_O,
     "_verify(path, /)\n--\n\nCheck the collection at path without changing it."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace tarnvault_py
