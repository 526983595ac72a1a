#include "core/storage/io/testing/fault_injecting_file_system.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <system_error>
#include <utility>

namespace tarnvault_core::storage::io {

// A file of the base file system whose every call is counted and may be
// failed by the FaultInjectingFileSystem that opened it.
class FaultInjectingFile final : public RandomAccessFile {
 public:
  FaultInjectingFile(FaultInjectingFileSystem& fs, std::unique_ptr<RandomAccessFile> base,
                     int name)
      : fs_(fs), base_(std::move(base)), name_(name) {}
  ~FaultInjectingFile() override { (void)close(); }

  Result<std::size_t> pwrite(const void* data, std::size_t size, std::uint64_t offset) override {
    TV_RETURN_IF_ERROR(fs_.count(FsOp::Pwrite));
    const std::size_t allowed = fs_.allow_bytes(size);
    if (allowed == 0 && size > 0) return Error::os_error(fs_.budget_errnum_);
    auto written = base_->pwrite(data, allowed, offset);
    if (written.ok()) fs_.changed();
    return written;
  }

  Result<std::size_t> pread(void* data, std::size_t size, std::uint64_t offset) override {
    TV_RETURN_IF_ERROR(fs_.count(FsOp::Pread));
    return base_->pread(data, size, offset);
  }

  Status fsync() override {
    TV_RETURN_IF_ERROR(fs_.count(FsOp::Fsync));
    if (fs_.tracking_) {
      fs_.model_.synced(name_);
    } else {
      TV_RETURN_IF_ERROR(base_->fsync());
    }
    fs_.changed();
    return {};
  }

  Result<std::uint64_t> size() override {
    TV_RETURN_IF_ERROR(fs_.count(FsOp::FileSize));
    return base_->size();
  }

  Status truncate(std::uint64_t length) override {
    TV_RETURN_IF_ERROR(fs_.count(FsOp::Truncate));
    TV_RETURN_IF_ERROR(base_->truncate(length));
    fs_.changed();
    return {};
  }

  Status lock(LockKind kind) override {
    TV_RETURN_IF_ERROR(fs_.count(FsOp::Lock));
    return base_->lock(kind);
  }

  Status close() override {
    if (!base_) return {};
    Status injected = fs_.count(FsOp::Close);
    if (fs_.tracking_) fs_.model_.closed(name_);
    // The file is released either way, as close(2) does; a stopped machine
    // still lets the test release what it holds.
    Status real = base_->close();
    base_.reset();
    return injected.ok() ? real : injected;
  }

 private:
  FaultInjectingFileSystem& fs_;
  std::unique_ptr<RandomAccessFile> base_;
  int name_;
};

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

Status FaultInjectingFileSystem::count(FsOp op) {
  const std::size_t call = ++calls_[index(op)];
  if (stopped()) return Error::os_error(EIO);
  Fault& fault = faults_[index(op)];
  if (fault.at_call != call) return {};
  fault.at_call = 0;
  return Error::os_error(fault.errnum);
}

std::size_t FaultInjectingFileSystem::allow_bytes(std::size_t size) {
  if (!write_budget_) return size;
  const std::size_t allowed = static_cast<std::size_t>(std::min<std::uint64_t>(size, *write_budget_));
  *write_budget_ -= allowed;
  return allowed;
}

Result<std::unique_ptr<RandomAccessFile>> FaultInjectingFileSystem::open(
    const std::filesystem::path& path, int flags, mode_t mode) {
  TV_RETURN_IF_ERROR(count(FsOp::Open));
  const bool may_change = (flags & (O_CREAT | O_TRUNC)) != 0;
  const bool existed = !tracking_ || base_->stat(path).ok();
  // The bytes an untracked file had before O_TRUNC are its durable ones.
  if (tracking_ && existed) model_.track(path);
  auto opened = base_->open(path, flags, mode);
  if (!opened.ok()) return opened;
  if (may_change) changed();
  const int name = next_file_++;
  if (tracking_) {
    std::error_code ignored;
    const bool directory = (flags & O_DIRECTORY) != 0 || std::filesystem::is_directory(path, ignored);
    model_.opened(name, path, !existed, directory);
  }
  return std::unique_ptr<RandomAccessFile>(
      new FaultInjectingFile(*this, std::move(opened).value(), name));
}

Status FaultInjectingFileSystem::stat(const std::filesystem::path& path) {
  TV_RETURN_IF_ERROR(count(FsOp::Stat));
  return base_->stat(path);
}

Status FaultInjectingFileSystem::rename(const std::filesystem::path& from,
                                        const std::filesystem::path& to) {
  TV_RETURN_IF_ERROR(count(FsOp::Rename));
  if (tracking_) {
    model_.track(from);
    model_.track(to);
  }
  TV_RETURN_IF_ERROR(base_->rename(from, to));
  if (tracking_) model_.renamed(from, to);
  changed();
  return {};
}

Status FaultInjectingFileSystem::unlink(const std::filesystem::path& path) {
  TV_RETURN_IF_ERROR(count(FsOp::Unlink));
  if (tracking_) model_.track(path);
  TV_RETURN_IF_ERROR(base_->unlink(path));
  if (tracking_) model_.unlinked(path);
  changed();
  return {};
}

Status FaultInjectingFileSystem::mkdir(const std::filesystem::path& path, mode_t mode) {
  TV_RETURN_IF_ERROR(count(FsOp::Mkdir));
  TV_RETURN_IF_ERROR(base_->mkdir(path, mode));
  if (tracking_) model_.made_directory(path);
  changed();
  return {};
}

}  // namespace tarnvault_core::storage::io
