#include "core/storage/io/chunk_reader.h"

#include <algorithm>
#include <cstring>

namespace tarnvault_core::storage::io {

ChunkReader::ChunkReader(File& file, std::uint64_t start, std::uint64_t limit)
    : file_(&file), limit_(std::max(start, limit)), buffer_start_(start) {}

IoStatus ChunkReader::ensure(std::size_t n) {
  if (buffered() >= n) return IoStatus();
  if (n > remaining()) return IoStatus::end_of_file();
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
  const std::size_t wanted =
      static_cast<std::size_t>(std::min<std::uint64_t>(std::max(n, kChunkSize), kept + unread_in_file));
  if (buffer_.size() < wanted) buffer_.resize(wanted);
  while (filled_ < n) {
    auto got = file_->pread_up_to({buffer_.data() + filled_, wanted - filled_},
                                  buffer_start_ + filled_);
    if (!got.ok()) return got.status;
    if (got.value == 0) return IoStatus::end_of_file();  // the file shrank
    filled_ += got.value;
  }
  return IoStatus();
}

void ChunkReader::seek(std::uint64_t offset) {
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
