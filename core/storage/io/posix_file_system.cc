#include "core/storage/io/posix_file_system.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace tarnvault_core::storage::io {
namespace {

IoStatus status_of(int rc) { return rc == 0 ? IoStatus() : IoStatus::from_errno(errno); }

IoResult<std::size_t> size_result_of(ssize_t n) {
  if (n < 0) return {0, IoStatus::from_errno(errno)};
  return {static_cast<std::size_t>(n), IoStatus()};
}

}  // namespace

IoResult<int> PosixFileSystem::open(const std::filesystem::path& path, int flags, mode_t mode) {
  const int fd = ::open(path.c_str(), flags | O_CLOEXEC, mode);
  if (fd < 0) return {-1, IoStatus::from_errno(errno)};
  return {fd, IoStatus()};
}

IoStatus PosixFileSystem::close(int fd) { return status_of(::close(fd)); }

IoResult<std::size_t> PosixFileSystem::pwrite(int fd, const void* data, std::size_t size,
                                              std::uint64_t offset) {
  return size_result_of(::pwrite(fd, data, size, static_cast<off_t>(offset)));
}

IoResult<std::size_t> PosixFileSystem::pread(int fd, void* data, std::size_t size,
                                             std::uint64_t offset) {
  return size_result_of(::pread(fd, data, size, static_cast<off_t>(offset)));
}

IoStatus PosixFileSystem::fsync(int fd) { return status_of(::fsync(fd)); }

IoResult<std::uint64_t> PosixFileSystem::file_size(int fd) {
  struct stat st;
  if (::fstat(fd, &st) != 0) return {0, IoStatus::from_errno(errno)};
  return {static_cast<std::uint64_t>(st.st_size), IoStatus()};
}

IoStatus PosixFileSystem::stat(const std::filesystem::path& path) {
  struct stat st;
  return status_of(::stat(path.c_str(), &st));
}

IoStatus PosixFileSystem::truncate(int fd, std::uint64_t length) {
  return status_of(::ftruncate(fd, static_cast<off_t>(length)));
}

IoStatus PosixFileSystem::rename(const std::filesystem::path& from,
                                 const std::filesystem::path& to) {
  return status_of(std::rename(from.c_str(), to.c_str()));
}

IoStatus PosixFileSystem::unlink(const std::filesystem::path& path) {
  return status_of(::unlink(path.c_str()));
}

IoStatus PosixFileSystem::mkdir(const std::filesystem::path& path, mode_t mode) {
  return status_of(::mkdir(path.c_str(), mode));
}

IoStatus PosixFileSystem::lock(int fd, LockKind kind) {
  return status_of(::flock(fd, (kind == LockKind::Shared ? LOCK_SH : LOCK_EX) | LOCK_NB));
}

FileSystem& default_file_system() {
  static PosixFileSystem posix;
  return posix;
}

}  // namespace tarnvault_core::storage::io
