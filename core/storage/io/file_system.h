// The seam through which the storage layer reaches the operating system.
// Every system call of the log, the data file and the collection directory
// (meta.json, directory creation and syncs, the lock) goes through a FileSystem,
// so tests can substitute one that fails chosen calls. Each method is one
// system call (no retries, no loops); File adds those on top.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>

#include "core/storage/io/io_status.h"

namespace tarnvault_core::storage::io {

enum class LockKind { Exclusive, Shared };

class FileSystem {
 public:
  virtual ~FileSystem() = default;

  // open(2) with O_CLOEXEC added to flags; mode applies when creating.
  virtual IoResult<int> open(const std::filesystem::path& path, int flags, mode_t mode) = 0;
  virtual IoStatus close(int fd) = 0;

  // One pwrite(2); may write fewer bytes than asked. On a file opened with
  // O_APPEND, Linux writes at the end whatever the offset.
  virtual IoResult<std::size_t> pwrite(int fd, const void* data, std::size_t size,
                                       std::uint64_t offset) = 0;
  // One pread(2); 0 bytes means end of file.
  virtual IoResult<std::size_t> pread(int fd, void* data, std::size_t size,
                                      std::uint64_t offset) = 0;

  // One fsync(2); may fail with EINTR.
  virtual IoStatus fsync(int fd) = 0;
  // fstat(2) of the open file: its size in bytes.
  virtual IoResult<std::uint64_t> file_size(int fd) = 0;
  // stat(2) of a path: succeeds when its metadata can be read.
  virtual IoStatus stat(const std::filesystem::path& path) = 0;
  virtual IoStatus truncate(int fd, std::uint64_t length) = 0;
  virtual IoStatus rename(const std::filesystem::path& from, const std::filesystem::path& to) = 0;
  // unlink(2) of a file.
  virtual IoStatus unlink(const std::filesystem::path& path) = 0;
  // mkdir(2) of one directory; its parent must exist.
  virtual IoStatus mkdir(const std::filesystem::path& path, mode_t mode) = 0;
  // An advisory lock on the whole file, without waiting: EWOULDBLOCK when
  // another open file description holds an exclusive one, or any one for an
  // exclusive request.
  virtual IoStatus lock(int fd, LockKind kind) = 0;
};

// Permission bits of every file the storage layer creates (umask applies).
inline constexpr mode_t kCreateMode = 0666;
// Permission bits of every directory it creates (umask applies).
inline constexpr mode_t kCreateDirectoryMode = 0777;

// The process-wide POSIX implementation.
FileSystem& default_file_system();

}  // namespace tarnvault_core::storage::io
