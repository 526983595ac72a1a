// The POSIX implementation of the seam: each virtual method is the system
// call it is named after.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <utility>

#include "core/storage/io/file_system.h"

namespace tarnvault_core::storage::io {
namespace {

Status status_of(int rc) { return rc == 0 ? Status() : Status(Error::os_error(errno)); }

Result<std::size_t> size_result_of(ssize_t n) {
  if (n < 0) return Error::os_error(errno);
  return static_cast<std::size_t>(n);
}

class PosixFile final : public RandomAccessFile {
 public:
  explicit PosixFile(int fd) : fd_(fd) {}
  ~PosixFile() override { (void)close(); }

  Result<std::size_t> pwrite(const void* data, std::size_t size, std::uint64_t offset) override {
    return size_result_of(::pwrite(fd_, data, size, static_cast<off_t>(offset)));
  }
  Result<std::size_t> pread(void* data, std::size_t size, std::uint64_t offset) override {
    return size_result_of(::pread(fd_, data, size, static_cast<off_t>(offset)));
  }
  Status fsync() override { return status_of(::fsync(fd_)); }
  void start_writeback(std::uint64_t offset, std::uint64_t length) override {
#ifdef SYNC_FILE_RANGE_WRITE
    // A failure here costs only the head start; the fsync still decides.
    (void)::sync_file_range(fd_, static_cast<off_t>(offset), static_cast<off_t>(length),
                            SYNC_FILE_RANGE_WRITE);
#else
    (void)offset;
    (void)length;
#endif
  }
  Result<std::uint64_t> size() override {
    struct stat st;
    if (::fstat(fd_, &st) != 0) return Error::os_error(errno);
    return static_cast<std::uint64_t>(st.st_size);
  }
  Status truncate(std::uint64_t length) override {
    return status_of(::ftruncate(fd_, static_cast<off_t>(length)));
  }
  Status lock(LockKind kind) override {
    return status_of(::flock(fd_, (kind == LockKind::Shared ? LOCK_SH : LOCK_EX) | LOCK_NB));
  }
  Status close() override {
    if (fd_ < 0) return {};
    // The descriptor is gone after close(2) whatever it reports; never retry.
    return status_of(::close(std::exchange(fd_, -1)));
  }

 private:
  int fd_;
};

class PosixFileSystem final : public FileSystem {
 public:
  Result<std::unique_ptr<RandomAccessFile>> open(const std::filesystem::path& path, int flags,
                                                 mode_t mode) override {
    const int fd = ::open(path.c_str(), flags | O_CLOEXEC, mode);
    if (fd < 0) return Error::os_error(errno);
    return std::unique_ptr<RandomAccessFile>(new PosixFile(fd));
  }
  Status stat(const std::filesystem::path& path) override {
    struct stat st;
    return status_of(::stat(path.c_str(), &st));
  }
  Status rename(const std::filesystem::path& from, const std::filesystem::path& to) override {
    return status_of(std::rename(from.c_str(), to.c_str()));
  }
  Status unlink(const std::filesystem::path& path) override {
    return status_of(::unlink(path.c_str()));
  }
  Status mkdir(const std::filesystem::path& path, mode_t mode) override {
    return status_of(::mkdir(path.c_str(), mode));
  }
};

}  // namespace

FileSystem& default_file_system() {
  static PosixFileSystem posix;
  return posix;
}

}  // namespace tarnvault_core::storage::io
