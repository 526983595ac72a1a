#include "core/storage/io/buffered_reader.h"

#include <algorithm>
#include <cstring>

#include "core/storage/io/buffered_writer.h"
#include "core/storage/io/little_endian.h"

namespace tarnvault_core::storage::io {

BufferedReader::BufferedReader(File& file, std::uint64_t start, std::uint64_t limit)
    : file_(&file), position_(start), limit_(limit), buffer_(new char[kBufferSize]) {}

IoStatus BufferedReader::read_exact(std::span<char> out) {
  // Refuse up front what the file cannot hold: no read, no allocation by
  // the caller, whatever a corrupt length field claims.
  if (out.size() > remaining()) return IoStatus::end_of_file();
  std::size_t copied = 0;
  while (copied < out.size()) {
    const std::uint64_t buffer_end = buffer_start_ + buffer_size_;
    if (position_ >= buffer_start_ && position_ < buffer_end) {
      const std::size_t at = static_cast<std::size_t>(position_ - buffer_start_);
      const std::size_t n = std::min(out.size() - copied, buffer_size_ - at);
      std::memcpy(out.data() + copied, buffer_.get() + at, n);
      copied += n;
      position_ += n;
      continue;
    }
    const std::size_t wanted = out.size() - copied;
    if (wanted >= kBufferSize) {
      // Large reads go straight into the destination.
      auto got = file_->pread_up_to(out.subspan(copied), position_);
      if (!got.ok()) return got.status;
      position_ += got.value;
      if (got.value < wanted) return IoStatus::end_of_file();
      return IoStatus();
    }
    if (IoStatus status = refill(); !status.ok()) return status;
  }
  return IoStatus();
}

IoStatus BufferedReader::refill() {
  const std::size_t wanted = static_cast<std::size_t>(std::min<std::uint64_t>(kBufferSize, remaining()));
  buffer_start_ = position_;
  buffer_size_ = 0;
  auto got = file_->pread_up_to({buffer_.get(), wanted}, position_);
  if (!got.ok()) return got.status;
  // The file shrank below the size measured at open.
  if (got.value == 0) return IoStatus::end_of_file();
  buffer_size_ = got.value;
  return IoStatus();
}

IoStatus BufferedReader::read_u8(std::uint8_t& value) {
  char byte;
  IoStatus status = read_exact({&byte, 1});
  if (status.ok()) value = static_cast<std::uint8_t>(byte);
  return status;
}

IoStatus BufferedReader::read_u32(std::uint32_t& value) {
  char bytes[4];
  IoStatus status = read_exact(bytes);
  if (status.ok()) value = load_le<std::uint32_t>(bytes);
  return status;
}

IoStatus BufferedReader::read_u64(std::uint64_t& value) {
  char bytes[8];
  IoStatus status = read_exact(bytes);
  if (status.ok()) value = load_le<std::uint64_t>(bytes);
  return status;
}

}  // namespace tarnvault_core::storage::io
