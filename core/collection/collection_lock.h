// Exclusive ownership of a collection directory by one open Collection, or
// shared ownership by read-only ones.
//
// Two live openers of one directory would interleave their records in the
// same files and each truncate the other's "torn" tail, so an open takes an
// exclusive advisory lock (flock) on its own read-only handle of the data
// file. Read-only opens change no file; they share the lock with each other,
// so they coexist, but not with a writer, whose changes they would not see. The lock adds no file to the directory, belongs to the open file
// description (so a second open in the same process is refused as well as
// one in another process), and goes away with the handle, even when the
// process is killed.
#pragma once

#include <filesystem>
#include <memory>
#include <utility>

#include "core/error/result.h"
#include "core/storage/io/file_system.h"

namespace tarnvault_core::collection {

class CollectionLock {
 public:
  // Locks data_file (which must exist) on behalf of the collection in dir.
  // Fails with CollectionError "lock failed: collection at {dir} is already
  // open" while another handle holds a lock that excludes this one, or
  // "lock failed: {os text}".
  static Result<CollectionLock> acquire(
      const std::filesystem::path& dir, const std::filesystem::path& data_file,
      storage::io::FileSystem& fs,
      storage::io::LockKind kind = storage::io::LockKind::Exclusive);

  // Moves the collection's ownership to `next`, a lock already taken on the
  // file that has just been renamed over the data file. The handle of the
  // file it replaced stays open, still locked, until the next move: an
  // opener that opened the old name just before the rename would otherwise
  // lock the orphaned file and believe it held the directory.
  void move_to(CollectionLock next) {
    retired_ = std::move(file_);
    file_ = std::move(next.file_);
  }

  CollectionLock(CollectionLock&&) noexcept = default;
  CollectionLock& operator=(CollectionLock&&) noexcept = default;
  // Closing the handle releases the lock.
  ~CollectionLock() = default;

 private:
  explicit CollectionLock(std::unique_ptr<storage::io::RandomAccessFile> file)
      : file_(std::move(file)) {}

  std::unique_ptr<storage::io::RandomAccessFile> file_;
  std::unique_ptr<storage::io::RandomAccessFile> retired_;
};

}  // namespace tarnvault_core::collection
