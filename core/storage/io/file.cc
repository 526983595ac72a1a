#include "core/storage/io/file.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "core/storage/io/little_endian.h"

namespace tarnvault_core::storage::io {
namespace {

bool interrupted(const Error& error) { return error.os_error_number() == EINTR; }

}  // namespace

// ---- RandomAccessFile: the loops over the one-call methods -------------------

WriteAllOutcome RandomAccessFile::pwrite_all(std::span<const char> data, std::uint64_t offset) {
  std::size_t written = 0;
  while (written < data.size()) {
    auto n = pwrite(data.data() + written, data.size() - written, offset + written);
    if (!n.ok()) {
      if (interrupted(n.error())) continue;
      return {std::move(n).error(), written};
    }
    // A regular file never takes zero bytes of a non-empty write; a device
    // that does would make us spin.
    if (*n == 0) return {Error::os_error(EIO), written};
    written += *n;
  }
  return {{}, written};
}

Result<std::size_t> RandomAccessFile::pread_up_to(std::span<char> data, std::uint64_t offset) {
  std::size_t got = 0;
  while (got < data.size()) {
    auto n = pread(data.data() + got, data.size() - got, offset + got);
    if (!n.ok()) {
      if (interrupted(n.error())) continue;
      return std::move(n).error();
    }
    if (*n == 0) break;
    got += *n;
  }
  return got;
}

Status RandomAccessFile::sync() {
  for (;;) {
    Status status = fsync();
    if (status.ok() || !interrupted(status.error())) return status;
  }
}

// ---- WritableFile --------------------------------------------------------------

WritableFile::WritableFile(std::unique_ptr<RandomAccessFile> file, std::uint64_t file_size,
                           std::size_t capacity)
    : file_(std::move(file)),
      buffer_(new char[capacity]),
      capacity_(capacity),
      file_size_(file_size),
      writeback_from_(file_size) {}

WritableFile::WritableFile(WritableFile&& other) noexcept
    : file_(std::move(other.file_)),
      buffer_(std::move(other.buffer_)),
      capacity_(other.capacity_),
      size_(std::exchange(other.size_, 0)),
      file_size_(other.file_size_),
      writeback_from_(other.writeback_from_),
      pending_truncate_(std::exchange(other.pending_truncate_, std::nullopt)) {}

WritableFile& WritableFile::operator=(WritableFile&& other) noexcept {
  if (this != &other) {
    if (buffer_) (void)flush();
    file_ = std::move(other.file_);
    buffer_ = std::move(other.buffer_);
    capacity_ = other.capacity_;
    size_ = std::exchange(other.size_, 0);
    file_size_ = other.file_size_;
    writeback_from_ = other.writeback_from_;
    pending_truncate_ = std::exchange(other.pending_truncate_, std::nullopt);
  }
  return *this;
}

WritableFile::~WritableFile() {
  if (buffer_) (void)flush();
}

WriteOutcome WritableFile::append(std::span<const char> data) {
  if (data.size() <= free_space()) {
    std::memcpy(buffer_.get() + size_, data.data(), data.size());
    size_ += data.size();
    return {};
  }
  if (Status status = flush(); !status.ok()) return {std::move(status), WriteStage::WriteOut};
  if (data.size() >= capacity_) return {write_to_file(data), WriteStage::WriteThrough};
  std::memcpy(buffer_.get(), data.data(), data.size());
  size_ = data.size();
  return {};
}

Status WritableFile::flush() {
  TV_RETURN_IF_ERROR(finish_pending_rollback());
  if (size_ == 0) return {};
  WriteAllOutcome outcome = file_->pwrite_all({buffer_.get(), size_}, file_size_);
  // What reached the file belongs to it now; keep only the rest for a retry.
  file_size_ += outcome.written;
  std::memmove(buffer_.get(), buffer_.get() + outcome.written, size_ - outcome.written);
  size_ -= outcome.written;
  note_written();
  return std::move(outcome.status);
}

Status WritableFile::truncate(std::uint64_t length) {
  TV_RETURN_IF_ERROR(flush());
  TV_RETURN_IF_ERROR(file_->truncate(length));
  file_size_ = length;
  writeback_from_ = std::min(writeback_from_, length);
  return {};
}

void WritableFile::replace_file(std::unique_ptr<RandomAccessFile> file, std::uint64_t file_size) {
  file_ = std::move(file);
  size_ = 0;
  file_size_ = file_size;
  writeback_from_ = file_size;
  pending_truncate_.reset();
}

Status WritableFile::write_to_file(std::span<const char> data) {
  WriteAllOutcome outcome = file_->pwrite_all(data, file_size_);
  if (outcome.status.ok()) {
    file_size_ += data.size();
    note_written();
    return {};
  }
  // Take back the part that did land, so the file ends on the boundary where
  // this write began; if that fails too, try again before the next write.
  if (outcome.written > 0 && !file_->truncate(file_size_).ok()) pending_truncate_ = file_size_;
  return std::move(outcome.status);
}

Status WritableFile::finish_pending_rollback() {
  if (!pending_truncate_) return {};
  TV_RETURN_IF_ERROR(file_->truncate(*pending_truncate_));
  pending_truncate_.reset();
  return {};
}

void WritableFile::note_written() {
  if (file_size_ - writeback_from_ < kWritebackBytes) return;
  file_->start_writeback(writeback_from_, file_size_ - writeback_from_);
  writeback_from_ = file_size_;
}

// ---- SequentialFile --------------------------------------------------------------

SequentialFile::SequentialFile(RandomAccessFile& file, std::uint64_t start, std::uint64_t limit,
                               std::size_t chunk_size)
    : file_(&file), limit_(std::max(start, limit)), chunk_size_(chunk_size), buffer_start_(start) {}

Status SequentialFile::ensure(std::size_t n) {
  if (buffered() >= n) return {};
  // Refuse up front what the file cannot hold: no read, no allocation,
  // whatever a corrupt length field claims.
  if (n > remaining()) return Error::end_of_file();
  // Keep the unread bytes, moved to the front, and read behind them.
  const std::size_t kept = buffered();
  // Guarded: before the first read the buffer has no storage, and memmove
  // from a null pointer is undefined even for zero bytes.
  if (kept > 0) std::memmove(buffer_.data(), buffer_.data() + cursor_, kept);
  buffer_start_ += cursor_;
  cursor_ = 0;
  filled_ = kept;
  // Never more than the file still holds, so a small file costs a small
  // buffer and a long record only its own length.
  const std::uint64_t unread_in_file = limit_ - buffer_start_ - kept;
  const std::size_t wanted = static_cast<std::size_t>(
      std::min<std::uint64_t>(std::max(n, chunk_size_), kept + unread_in_file));
  if (buffer_.size() < wanted) buffer_.resize(wanted);
  while (filled_ < n) {
    auto got = file_->pread_up_to({buffer_.data() + filled_, wanted - filled_},
                                  buffer_start_ + filled_);
    if (!got.ok()) return std::move(got).error();
    if (*got == 0) return Error::end_of_file();  // the file shrank
    filled_ += *got;
  }
  return {};
}

Status SequentialFile::read_exact(std::span<char> out) {
  if (out.size() > remaining()) return Error::end_of_file();
  const std::size_t from_buffer = std::min(buffered(), out.size());
  if (from_buffer > 0) std::memcpy(out.data(), data(), from_buffer);
  advance(from_buffer);
  const std::span<char> rest = out.subspan(from_buffer);
  if (rest.empty()) return {};
  if (rest.size() >= chunk_size_) {
    // The buffer is empty now: large reads go straight into the destination.
    buffer_start_ = position();
    cursor_ = filled_ = 0;
    auto got = file_->pread_up_to(rest, buffer_start_);
    if (!got.ok()) return std::move(got).error();
    buffer_start_ += *got;
    if (*got < rest.size()) return Error::end_of_file();
    return {};
  }
  TV_RETURN_IF_ERROR(ensure(rest.size()));
  std::memcpy(rest.data(), data(), rest.size());
  advance(rest.size());
  return {};
}

Status SequentialFile::read_u8(std::uint8_t& value) {
  char byte;
  TV_RETURN_IF_ERROR(read_exact({&byte, 1}));
  value = static_cast<std::uint8_t>(byte);
  return {};
}

Status SequentialFile::read_u32(std::uint32_t& value) {
  char bytes[4];
  TV_RETURN_IF_ERROR(read_exact(bytes));
  value = load_le<std::uint32_t>(bytes);
  return {};
}

Status SequentialFile::read_u64(std::uint64_t& value) {
  char bytes[8];
  TV_RETURN_IF_ERROR(read_exact(bytes));
  value = load_le<std::uint64_t>(bytes);
  return {};
}

void SequentialFile::seek(std::uint64_t offset) {
  offset = std::min(offset, limit_);
  if (offset >= buffer_start_ && offset - buffer_start_ <= filled_) {
    cursor_ = static_cast<std::size_t>(offset - buffer_start_);
    return;
  }
  buffer_start_ = offset;
  cursor_ = 0;
  filled_ = 0;
}

}  // namespace tarnvault_core::storage::io
