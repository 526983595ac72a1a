#include "core/storage/io/file.h"

#include <cerrno>
#include <utility>

namespace tarnvault_core::storage::io {

IoResult<File> File::open(FileSystem& fs, const std::filesystem::path& path, int flags,
                          mode_t mode) {
  auto opened = fs.open(path, flags, mode);
  if (!opened.ok()) return {File(), opened.status};
  return {File(fs, opened.value), IoStatus()};
}

File::File(File&& other) noexcept
    : fs_(other.fs_), fd_(std::exchange(other.fd_, -1)) {}

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    (void)close();
    fs_ = other.fs_;
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

File::~File() { (void)close(); }

WriteAllOutcome File::pwrite_all(std::span<const char> data, std::uint64_t offset) {
  std::size_t written = 0;
  while (written < data.size()) {
    auto n = fs_->pwrite(fd_, data.data() + written, data.size() - written, offset + written);
    if (!n.ok()) {
      if (n.status.error_number() == EINTR) continue;
      return {n.status, written};
    }
    // A regular file never takes zero bytes of a non-empty write; a device
    // that does would make us spin.
    if (n.value == 0) return {IoStatus::from_errno(EIO), written};
    written += n.value;
  }
  return {IoStatus(), written};
}

IoResult<std::size_t> File::pread_up_to(std::span<char> data, std::uint64_t offset) {
  std::size_t got = 0;
  while (got < data.size()) {
    auto n = fs_->pread(fd_, data.data() + got, data.size() - got, offset + got);
    if (!n.ok()) {
      if (n.status.error_number() == EINTR) continue;
      return {got, n.status};
    }
    if (n.value == 0) break;
    got += n.value;
  }
  return {got, IoStatus()};
}

IoStatus File::sync() {
  for (;;) {
    IoStatus status = fs_->fsync(fd_);
    if (status.ok() || status.error_number() != EINTR) return status;
  }
}

IoResult<std::uint64_t> File::size() { return fs_->file_size(fd_); }

IoStatus File::truncate(std::uint64_t length) { return fs_->truncate(fd_, length); }

IoStatus File::lock(LockKind kind) { return fs_->lock(fd_, kind); }

IoStatus File::close() {
  if (fd_ < 0) return IoStatus();
  // The descriptor is gone after close(2) whatever it reports; never retry.
  return fs_->close(std::exchange(fd_, -1));
}

}  // namespace tarnvault_core::storage::io
