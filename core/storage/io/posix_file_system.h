// FileSystem that makes the POSIX calls directly.
#pragma once

#include "core/storage/io/file_system.h"

namespace tarnvault_core::storage::io {

class PosixFileSystem final : public FileSystem {
 public:
  IoResult<int> open(const std::filesystem::path& path, int flags, mode_t mode) override;
  IoStatus close(int fd) override;
  IoResult<std::size_t> pwrite(int fd, const void* data, std::size_t size,
                               std::uint64_t offset) override;
  IoResult<std::size_t> pread(int fd, void* data, std::size_t size,
                              std::uint64_t offset) override;
  IoStatus fsync(int fd) override;
  IoResult<std::uint64_t> file_size(int fd) override;
  IoStatus stat(const std::filesystem::path& path) override;
  IoStatus truncate(int fd, std::uint64_t length) override;
  IoStatus rename(const std::filesystem::path& from, const std::filesystem::path& to) override;
  IoStatus unlink(const std::filesystem::path& path) override;
  IoStatus mkdir(const std::filesystem::path& path, mode_t mode) override;
  IoStatus lock(int fd, LockKind kind) override;
};

}  // namespace tarnvault_core::storage::io
