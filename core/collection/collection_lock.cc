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
  auto opened = storage::io::open_file(fs, data_file, O_RDONLY);
  if (!opened.ok()) return Error::collection_error("lock failed: " + opened.error().text());
  Status locked = (*opened)->lock(kind);
  if (locked.ok()) return CollectionLock(std::move(opened).value());
  if (locked.error().os_error_number() == EWOULDBLOCK) {
    return Error::collection_error("lock failed: collection at " + dir.string() +
                                   " is already open");
  }
  return Error::collection_error("lock failed: " + locked.error().text());
}

}  // namespace tarnvault_core::collection
