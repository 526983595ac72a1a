// Sequential reading of a File in large chunks, for scans that walk a whole
// file once: the records in each chunk are parsed where they lie, so a scan
// makes one read per chunk instead of one per field.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/storage/io/file.h"
#include "core/storage/io/io_status.h"

namespace tarnvault_core::storage::io {

class ChunkReader {
 public:
  // Bytes read at a time: small enough that a chunk is still in the L2
  // cache when its records are parsed and copied out. A record longer than
  // this widens the buffer to its own length, never beyond the bytes left
  // in the file.
  static constexpr std::size_t kChunkSize = std::size_t{256} << 10;

  // Reads [start, limit) of file; limit is the size measured at open.
  ChunkReader(File& file, std::uint64_t start, std::uint64_t limit);

  // Makes the next n bytes readable at data(). Fails with end_of_file()
  // when fewer than n bytes remain before the limit (nothing is allocated
  // for them) or when the file shrank, or with the read's error.
  IoStatus ensure(std::size_t n);
  // The bytes at the cursor; ensure() says how many are valid.
  const char* data() const { return buffer_.data() + cursor_; }
  void advance(std::size_t n) { cursor_ += n; }

  // File offset of the cursor.
  std::uint64_t position() const { return buffer_start_ + cursor_; }
  std::uint64_t remaining() const { return limit_ - position(); }
  // Moves the cursor to offset (at or after the current position, at most
  // the limit), dropping what is buffered before it.
  void seek(std::uint64_t offset);

 private:
  std::size_t buffered() const { return filled_ - cursor_; }

  File* file_;
  std::uint64_t limit_;
  std::vector<char> buffer_;
  std::uint64_t buffer_start_;  // file offset of buffer_[0]
  std::size_t cursor_ = 0;      // next unread byte in buffer_
  std::size_t filled_ = 0;      // valid bytes in buffer_
};

}  // namespace tarnvault_core::storage::io
