// The seam through which the storage layer reaches the operating system.
//
// A FileSystem opens files and works on names; the file objects it hands
// out are RandomAccessFiles, and the other two file objects are built on
// them: a WritableFile that buffers appends, and a SequentialFile that reads
// forward in chunks (file.h). An implementation supplies only the virtual
// methods, each exactly one system call (no retries, no loops); what every
// caller wants on top (whole writes despite short ones, EINTR retries,
// buffering, reads bounded by the size measured at open) is written once,
// in the non-virtual methods and the file objects. So a test double sees,
// and can fail, every system call the log, the data file and the collection
// make.
//
// The POSIX implementation is default_file_system(); the fault-injecting
// one and the power-loss model live with the tests.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>

#include "core/error/result.h"

namespace tarnvault_core::storage::io {

enum class LockKind { Exclusive, Shared };

// How far a whole-buffer write got before it failed.
struct WriteAllOutcome {
  Status status;
  std::size_t written = 0;
};

// An open file: positioned reads and writes, and the calls on the open file
// itself. Closed, silently, by the implementation's destructor.
class RandomAccessFile {
 public:
  virtual ~RandomAccessFile() = default;

  // One pwrite(2); may write fewer bytes than asked. On a file opened with
  // O_APPEND, Linux writes at the end whatever the offset.
  virtual Result<std::size_t> pwrite(const void* data, std::size_t size, std::uint64_t offset) = 0;
  // One pread(2); 0 bytes means end of file.
  virtual Result<std::size_t> pread(void* data, std::size_t size, std::uint64_t offset) = 0;
  // One fsync(2); may fail with EINTR.
  virtual Status fsync() = 0;
  // Asks the kernel to start writing [offset, offset + length) to the
  // device without waiting, so that a later fsync finds less to do. Only a
  // hint: it promises nothing about durability, and a file system without
  // such a call ignores it.
  virtual void start_writeback(std::uint64_t offset, std::uint64_t length) {
    (void)offset;
    (void)length;
  }
  // fstat(2) of the open file: its size in bytes.
  virtual Result<std::uint64_t> size() = 0;
  virtual Status truncate(std::uint64_t length) = 0;
  // An advisory lock on the whole file, without waiting: EWOULDBLOCK when
  // another open file description holds an exclusive one, or any one for an
  // exclusive request.
  virtual Status lock(LockKind kind = LockKind::Exclusive) = 0;
  // close(2) now, reporting the outcome. The file is closed afterwards
  // whatever it reports: never retried.
  virtual Status close() = 0;

  // Writes every byte at offset (at the end for a file opened with
  // O_APPEND), despite short writes and interruptions.
  WriteAllOutcome pwrite_all(std::span<const char> data, std::uint64_t offset);
  // Reads up to data.size() bytes at offset, stopping early only at the end
  // of the file. Returns the number read.
  Result<std::size_t> pread_up_to(std::span<char> data, std::uint64_t offset);
  // fsync, repeated while interrupted by a signal.
  Status sync();
};

class FileSystem {
 public:
  virtual ~FileSystem() = default;

  // open(2) with O_CLOEXEC added to flags; mode applies when creating.
  virtual Result<std::unique_ptr<RandomAccessFile>> open(const std::filesystem::path& path,
                                                         int flags, mode_t mode) = 0;
  // stat(2) of a path: succeeds when its metadata can be read.
  virtual Status stat(const std::filesystem::path& path) = 0;
  virtual Status rename(const std::filesystem::path& from, const std::filesystem::path& to) = 0;
  // unlink(2) of a file.
  virtual Status unlink(const std::filesystem::path& path) = 0;
  // mkdir(2) of one directory; its parent must exist.
  virtual Status mkdir(const std::filesystem::path& path, mode_t mode) = 0;
};

// Permission bits of every file the storage layer creates (umask applies).
inline constexpr mode_t kCreateMode = 0666;
// Permission bits of every directory it creates (umask applies).
inline constexpr mode_t kCreateDirectoryMode = 0777;

// The process-wide POSIX implementation.
FileSystem& default_file_system();

// fs.open with the storage layer's creation mode.
inline Result<std::unique_ptr<RandomAccessFile>> open_file(FileSystem& fs,
                                                           const std::filesystem::path& path,
                                                           int flags) {
  return fs.open(path, flags, kCreateMode);
}

}  // namespace tarnvault_core::storage::io
