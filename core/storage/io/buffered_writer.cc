#include "core/storage/io/buffered_writer.h"

#include <cstring>
#include <utility>

namespace tarnvault_core::storage::io {

BufferedWriter::BufferedWriter(File file, std::uint64_t file_size)
    : file_(std::move(file)), buffer_(new char[kBufferSize]), file_size_(file_size) {}

BufferedWriter::BufferedWriter(BufferedWriter&& other) noexcept
    : file_(std::move(other.file_)),
      buffer_(std::move(other.buffer_)),
      size_(std::exchange(other.size_, 0)),
      file_size_(other.file_size_),
      pending_truncate_(std::exchange(other.pending_truncate_, std::nullopt)) {}

BufferedWriter& BufferedWriter::operator=(BufferedWriter&& other) noexcept {
  if (this != &other) {
    if (buffer_) (void)flush();
    file_ = std::move(other.file_);
    buffer_ = std::move(other.buffer_);
    size_ = std::exchange(other.size_, 0);
    file_size_ = other.file_size_;
    pending_truncate_ = std::exchange(other.pending_truncate_, std::nullopt);
  }
  return *this;
}

BufferedWriter::~BufferedWriter() {
  if (buffer_) (void)flush();
}

WriteOutcome BufferedWriter::write(std::span<const char> data) {
  if (data.size() <= free_space()) {
    std::memcpy(buffer_.get() + size_, data.data(), data.size());
    size_ += data.size();
    return {};
  }
  if (IoStatus status = flush(); !status.ok()) return {status, WriteStage::WriteOut};
  if (data.size() >= kBufferSize) return {write_to_file(data), WriteStage::WriteThrough};
  std::memcpy(buffer_.get(), data.data(), data.size());
  size_ = data.size();
  return {};
}

IoStatus BufferedWriter::flush() {
  if (IoStatus status = finish_pending_rollback(); !status.ok()) return status;
  if (size_ == 0) return IoStatus();
  const WriteAllOutcome outcome = file_.pwrite_all({buffer_.get(), size_}, file_size_);
  // What reached the file belongs to it now; keep only the rest for a retry.
  file_size_ += outcome.written;
  std::memmove(buffer_.get(), buffer_.get() + outcome.written, size_ - outcome.written);
  size_ -= outcome.written;
  return outcome.status;
}

IoStatus BufferedWriter::truncate(std::uint64_t length) {
  if (IoStatus status = flush(); !status.ok()) return status;
  if (IoStatus status = file_.truncate(length); !status.ok()) return status;
  file_size_ = length;
  return IoStatus();
}

IoStatus BufferedWriter::write_to_file(std::span<const char> data) {
  const WriteAllOutcome outcome = file_.pwrite_all(data, file_size_);
  if (outcome.status.ok()) {
    file_size_ += data.size();
    return IoStatus();
  }
  // Take back the part that did land, so the file ends on the boundary where
  // this write began; if that fails too, try again before the next write.
  if (outcome.written > 0 && !file_.truncate(file_size_).ok()) pending_truncate_ = file_size_;
  return outcome.status;
}

IoStatus BufferedWriter::finish_pending_rollback() {
  if (!pending_truncate_) return IoStatus();
  if (IoStatus status = file_.truncate(*pending_truncate_); !status.ok()) return status;
  pending_truncate_.reset();
  return IoStatus();
}

}  // namespace tarnvault_core::storage::io
