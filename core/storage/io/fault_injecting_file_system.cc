#include "core/storage/io/fault_injecting_file_system.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <system_error>

namespace tarnvault_core::storage::io {

void FaultInjectingFileSystem::fail_nth(FsOp op, std::size_t nth, int errnum) {
  faults_[index(op)] = Fault{calls_[index(op)] + nth, errnum};
}

void FaultInjectingFileSystem::fail_writes_after(std::uint64_t bytes, int errnum) {
  write_budget_ = bytes;
  budget_errnum_ = errnum;
}

void FaultInjectingFileSystem::clear() {
  faults_ = {};
  write_budget_.reset();
}

IoStatus FaultInjectingFileSystem::count(FsOp op) {
  const std::size_t call = ++calls_[index(op)];
  if (stopped()) return IoStatus::from_errno(EIO);
  Fault& fault = faults_[index(op)];
  if (fault.at_call != call) return IoStatus();
  fault.at_call = 0;
  return IoStatus::from_errno(fault.errnum);
}

std::size_t FaultInjectingFileSystem::allow_bytes(std::size_t size) {
  if (!write_budget_) return size;
  const std::size_t allowed = static_cast<std::size_t>(std::min<std::uint64_t>(size, *write_budget_));
  *write_budget_ -= allowed;
  return allowed;
}

IoResult<int> FaultInjectingFileSystem::open(const std::filesystem::path& path, int flags,
                                             mode_t mode) {
  if (IoStatus s = count(FsOp::Open); !s.ok()) return {-1, s};
  const bool may_change = (flags & (O_CREAT | O_TRUNC)) != 0;
  const bool existed = !tracking_ || base_->stat(path).ok();
  // The bytes an untracked file had before O_TRUNC are its durable ones.
  if (tracking_ && existed) model_.track(path);
  auto opened = base_->open(path, flags, mode);
  if (!opened.ok()) return opened;
  if (may_change) changed();
  if (tracking_) {
    std::error_code ignored;
    const bool directory = (flags & O_DIRECTORY) != 0 || std::filesystem::is_directory(path, ignored);
    model_.opened(opened.value, path, !existed, directory);
  }
  return opened;
}

IoStatus FaultInjectingFileSystem::close(int fd) {
  IoStatus injected = count(FsOp::Close);
  if (tracking_) model_.closed(fd);
  // The descriptor is released either way, as close(2) does; a stopped
  // machine still lets the test release what it holds.
  IoStatus real = base_->close(fd);
  return injected.ok() ? real : injected;
}

IoResult<std::size_t> FaultInjectingFileSystem::pwrite(int fd, const void* data, std::size_t size,
                                                       std::uint64_t offset) {
  if (IoStatus s = count(FsOp::Pwrite); !s.ok()) return {0, s};
  const std::size_t allowed = allow_bytes(size);
  if (allowed == 0 && size > 0) return {0, IoStatus::from_errno(budget_errnum_)};
  auto written = base_->pwrite(fd, data, allowed, offset);
  if (written.ok()) changed();
  return written;
}

IoResult<std::size_t> FaultInjectingFileSystem::pread(int fd, void* data, std::size_t size,
                                                      std::uint64_t offset) {
  if (IoStatus s = count(FsOp::Pread); !s.ok()) return {0, s};
  return base_->pread(fd, data, size, offset);
}

IoStatus FaultInjectingFileSystem::fsync(int fd) {
  if (IoStatus s = count(FsOp::Fsync); !s.ok()) return s;
  if (tracking_) {
    model_.synced(fd);
  } else if (IoStatus s = base_->fsync(fd); !s.ok()) {
    return s;
  }
  changed();
  return IoStatus();
}

IoResult<std::uint64_t> FaultInjectingFileSystem::file_size(int fd) {
  if (IoStatus s = count(FsOp::FileSize); !s.ok()) return {0, s};
  return base_->file_size(fd);
}

IoStatus FaultInjectingFileSystem::stat(const std::filesystem::path& path) {
  if (IoStatus s = count(FsOp::Stat); !s.ok()) return s;
  return base_->stat(path);
}

IoStatus FaultInjectingFileSystem::truncate(int fd, std::uint64_t length) {
  if (IoStatus s = count(FsOp::Truncate); !s.ok()) return s;
  IoStatus s = base_->truncate(fd, length);
  if (s.ok()) changed();
  return s;
}

IoStatus FaultInjectingFileSystem::rename(const std::filesystem::path& from,
                                          const std::filesystem::path& to) {
  if (IoStatus s = count(FsOp::Rename); !s.ok()) return s;
  if (tracking_) {
    model_.track(from);
    model_.track(to);
  }
  IoStatus s = base_->rename(from, to);
  if (!s.ok()) return s;
  if (tracking_) model_.renamed(from, to);
  changed();
  return s;
}

IoStatus FaultInjectingFileSystem::unlink(const std::filesystem::path& path) {
  if (IoStatus s = count(FsOp::Unlink); !s.ok()) return s;
  if (tracking_) model_.track(path);
  IoStatus s = base_->unlink(path);
  if (!s.ok()) return s;
  if (tracking_) model_.unlinked(path);
  changed();
  return s;
}

IoStatus FaultInjectingFileSystem::mkdir(const std::filesystem::path& path, mode_t mode) {
  if (IoStatus s = count(FsOp::Mkdir); !s.ok()) return s;
  IoStatus s = base_->mkdir(path, mode);
  if (!s.ok()) return s;
  if (tracking_) model_.made_directory(path);
  changed();
  return s;
}

IoStatus FaultInjectingFileSystem::lock(int fd, LockKind kind) {
  if (IoStatus s = count(FsOp::Lock); !s.ok()) return s;
  return base_->lock(fd, kind);
}

}  // namespace tarnvault_core::storage::io
