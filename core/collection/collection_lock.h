// Exclusive ownership of a collection directory by one open Collection.
//
// Two live openers of one directory would interleave their records in the
// same files and each truncate the other's "torn" tail, so an open takes an
// exclusive advisory lock (flock) on its own read-only handle of the data
// file. The lock adds no file to the directory, belongs to the open file
// description (so a second open in the same process is refused as well as
// one in another process), and goes away with the handle, even when the
// process is killed.
#pragma once

#include <filesystem>

#include "core/error/result.h"
#include "core/storage/io/file.h"
#include "core/storage/io/file_system.h"

namespace tarnvault_core::collection {

class CollectionLock {
 public:
  // Locks data_file (which must exist) on behalf of the collection in dir.
  // Fails with CollectionError "lock failed: collection at {dir} is already
  // open" while another handle holds the lock, or "lock failed: {os text}".
  static Result<CollectionLock> acquire(const std::filesystem::path& dir,
                                        const std::filesystem::path& data_file,
                                        storage::io::FileSystem& fs);

  CollectionLock(CollectionLock&&) noexcept = default;
  CollectionLock& operator=(CollectionLock&&) noexcept = default;
  // Closing the handle releases the lock.
  ~CollectionLock() = default;

 private:
  explicit CollectionLock(storage::io::File file) : file_(std::move(file)) {}

  storage::io::File file_;
};

}  // namespace tarnvault_core::collection
