#include "core/collection/collection_lock.h"

#include <fcntl.h>

#include <cerrno>
#include <string>
#include <utility>

namespace tarnvault_core::collection {

Result<CollectionLock> CollectionLock::acquire(const std::filesystem::path& dir,
                                               const std::filesystem::path& data_file,
                                               storage::io::FileSystem& fs,
                                               storage::io::LockKind kind) {
  auto opened = storage::io::File::open(fs, data_file, O_RDONLY);
  if (!opened.ok()) return Error::collection_error("lock failed: " + opened.status.text());
  storage::io::IoStatus locked = opened.value.lock(kind);
  if (locked.ok()) return CollectionLock(std::move(opened.value));
  if (locked.error_number() == EWOULDBLOCK) {
    return Error::collection_error("lock failed: collection at " + dir.string() +
                                   " is already open");
  }
  return Error::collection_error("lock failed: " + locked.text());
}

}  // namespace tarnvault_core::collection
