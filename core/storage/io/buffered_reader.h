// Sequential reading of a File from a start offset through an 8192-byte
// buffer, by positioned reads. The reader never reads past `limit` (the file
// size measured when the file was opened), so a caller can check a length
// field against remaining() before allocating anything for it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "core/storage/io/file.h"
#include "core/storage/io/io_status.h"

namespace tarnvault_core::storage::io {

class BufferedReader {
 public:
  BufferedReader(File& file, std::uint64_t start, std::uint64_t limit);

  // Fills all of out, or fails: end_of_file() when the limit comes first.
  IoStatus read_exact(std::span<char> out);
  // read_exact of a little-endian integer.
  IoStatus read_u8(std::uint8_t& value);
  IoStatus read_u32(std::uint32_t& value);
  IoStatus read_u64(std::uint64_t& value);

  // Offset of the next byte to be returned.
  std::uint64_t position() const { return position_; }
  std::uint64_t remaining() const { return position_ < limit_ ? limit_ - position_ : 0; }

 private:
  IoStatus refill();

  File* file_;
  std::uint64_t position_;
  std::uint64_t limit_;
  std::unique_ptr<char[]> buffer_;
  std::uint64_t buffer_start_ = 0;  // file offset of buffer_[0]
  std::size_t buffer_size_ = 0;     // valid bytes in buffer_
};

}  // namespace tarnvault_core::storage::io
