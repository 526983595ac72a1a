#include "core/storage/io/fault_injecting_file_system.h"

#include <algorithm>

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
  return base_->open(path, flags, mode);
}

IoStatus FaultInjectingFileSystem::close(int fd) {
  IoStatus injected = count(FsOp::Close);
  // The descriptor is released either way, as close(2) does.
  IoStatus real = base_->close(fd);
  return injected.ok() ? real : injected;
}

IoResult<std::size_t> FaultInjectingFileSystem::pwrite(int fd, const void* data, std::size_t size,
                                                       std::uint64_t offset) {
  if (IoStatus s = count(FsOp::Pwrite); !s.ok()) return {0, s};
  const std::size_t allowed = allow_bytes(size);
  if (allowed == 0 && size > 0) return {0, IoStatus::from_errno(budget_errnum_)};
  return base_->pwrite(fd, data, allowed, offset);
}

IoResult<std::size_t> FaultInjectingFileSystem::pread(int fd, void* data, std::size_t size,
                                                      std::uint64_t offset) {
  if (IoStatus s = count(FsOp::Pread); !s.ok()) return {0, s};
  return base_->pread(fd, data, size, offset);
}

IoStatus FaultInjectingFileSystem::fsync(int fd) {
  if (IoStatus s = count(FsOp::Fsync); !s.ok()) return s;
  return base_->fsync(fd);
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
  return base_->truncate(fd, length);
}

IoStatus FaultInjectingFileSystem::rename(const std::filesystem::path& from,
                                          const std::filesystem::path& to) {
  if (IoStatus s = count(FsOp::Rename); !s.ok()) return s;
  return base_->rename(from, to);
}

IoStatus FaultInjectingFileSystem::lock(int fd) {
  if (IoStatus s = count(FsOp::Lock); !s.ok()) return s;
  return base_->lock(fd);
}

}  // namespace tarnvault_core::storage::io
