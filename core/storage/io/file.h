// An open file descriptor owned together with the FileSystem that made it.
// Adds the loops a caller always wants: whole writes despite short writes,
// EINTR retries, and fixed-size positioned reads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>

#include "core/storage/io/file_system.h"
#include "core/storage/io/io_status.h"

namespace tarnvault_core::storage::io {

// How far a whole-buffer write got before it failed.
struct WriteAllOutcome {
  IoStatus status;
  std::size_t written = 0;
};

class File {
 public:
  File() = default;
  File(FileSystem& fs, int fd) : fs_(&fs), fd_(fd) {}
  static IoResult<File> open(FileSystem& fs, const std::filesystem::path& path, int flags,
                             mode_t mode = kCreateMode);

  File(File&& other) noexcept;
  File& operator=(File&& other) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  ~File();

  bool is_open() const { return fd_ >= 0; }
  FileSystem& file_system() const { return *fs_; }

  // Writes every byte at offset (at the end for a file opened with O_APPEND),
  // despite short writes and interruptions.
  WriteAllOutcome pwrite_all(std::span<const char> data, std::uint64_t offset);
  // Reads up to data.size() bytes at offset, stopping early only at the end
  // of the file. Returns the number read.
  IoResult<std::size_t> pread_up_to(std::span<char> data, std::uint64_t offset);
  // fsync, repeated while interrupted by a signal.
  IoStatus sync();
  IoResult<std::uint64_t> size();
  IoStatus truncate(std::uint64_t length);
  IoStatus lock(LockKind kind = LockKind::Exclusive);
  // Closes now and reports the outcome; the destructor closes silently.
  IoStatus close();

 private:
  FileSystem* fs_ = nullptr;
  int fd_ = -1;
};

}  // namespace tarnvault_core::storage::io
