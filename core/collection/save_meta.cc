// Writing meta.json: a summary for people and a guard against reopening with
// another dimension; nothing but the dimension is ever read back.
#include <mutex>
#include <string>

#include "core/collection/collection.h"
#include "core/collection/collection_meta.h"

namespace tarnvault_core::collection {

Status Collection::save_meta() const {
  // Held from the summary to the rename, so that concurrent flushes neither
  // trample each other's temporary file nor leave an older summary last.
  std::lock_guard meta_lock(meta_mutex_);
  CollectionMeta meta;
  meta.dimension = config_.dimension;
  meta.metric = std::string(config_.metric.name());
  // One lock at a time beneath it: the record is a summary, not a snapshot.
  meta.vector_count = len();
  meta.next_id = next_id();
  return write_meta_file(path_, meta, *fs_);
}

}  // namespace tarnvault_core::collection
