// The two file objects built on a RandomAccessFile (file_system.h): a
// WritableFile that appends through a buffer, and a SequentialFile that
// reads forward through one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "core/error/result.h"
#include "core/storage/io/file_system.h"

namespace tarnvault_core::storage::io {

inline constexpr std::size_t kBufferSize = 8192;

// Which step of an append failed: writing out the bytes already buffered
// (none of the new bytes was taken), or writing the new bytes straight
// through (none of them stays in the file).
enum class WriteStage { WriteOut, WriteThrough };

struct [[nodiscard]] WriteOutcome {
  Status status;
  WriteStage stage = WriteStage::WriteOut;

  bool ok() const { return status.ok(); }
};

// Appends through a buffer of `capacity` bytes (8192 unless the owner asks
// for more). Bytes are written at the end the file object keeps track of, so
// the handle's own position never matters (it may or may not use O_APPEND).
//
// An append that fits in the free space is copied into the buffer.
// Otherwise the buffer is written out first; then the bytes are copied into
// the empty buffer, or written straight to the file when they are at least
// the capacity. Nothing else reaches the file until flush() or destruction.
//
// Each append() is all or nothing, so one call per record keeps the file and
// the buffer aligned on record boundaries: when a straight-through write
// fails part-way, the bytes that reached the file are truncated away again.
class WritableFile {
 public:
  // file_size: the current length of the file, where the first written-out
  // byte will land.
  WritableFile(std::unique_ptr<RandomAccessFile> file, std::uint64_t file_size,
               std::size_t capacity = kBufferSize);
  WritableFile(WritableFile&& other) noexcept;
  WritableFile& operator=(WritableFile&& other) noexcept;
  WritableFile(const WritableFile&) = delete;
  WritableFile& operator=(const WritableFile&) = delete;
  // Writes out what is buffered, ignoring errors; does not sync.
  ~WritableFile();

  WriteOutcome append(std::span<const char> data);
  // Writes out the buffer. On failure the bytes not written stay buffered.
  Status flush();
  // fsync of what has been written out (not of the buffer).
  Status sync() { return file_->sync(); }
  // Writes out the buffer, then cuts the file to length bytes.
  Status truncate(std::uint64_t length);
  // Goes on with another file of file_size bytes, keeping the buffer, which
  // must be empty (flushed): cheaper than a new writer when it is large.
  void replace_file(std::unique_ptr<RandomAccessFile> file, std::uint64_t file_size);

  std::size_t buffered() const { return size_; }
  std::size_t capacity() const { return capacity_; }
  std::size_t free_space() const { return capacity_ - size_; }
  // Bytes in the file as far as this writer knows.
  std::uint64_t file_size() const { return file_size_; }
  // Where the next written byte will end up: file_size() + buffered().
  std::uint64_t end_offset() const { return file_size_ + size_; }

 private:
  Status write_to_file(std::span<const char> data);
  Status finish_pending_rollback();
  // Hands the bytes written out since the last hint to the device once
  // they reach kWritebackBytes.
  void note_written();

  // Large enough that the hint costs nothing beside the writes, small enough
  // that a group's fsync finds most of it already on its way.
  static constexpr std::uint64_t kWritebackBytes = std::uint64_t{1} << 20;

  std::unique_ptr<RandomAccessFile> file_;
  std::unique_ptr<char[]> buffer_;
  std::size_t capacity_ = kBufferSize;
  std::size_t size_ = 0;
  std::uint64_t file_size_ = 0;
  // Where the bytes not yet handed to start_writeback begin.
  std::uint64_t writeback_from_ = 0;
  // Set when a failed write could not be truncated away: the file must be
  // cut back to this length before anything else is appended.
  std::optional<std::uint64_t> pending_truncate_;
};

// Reads a range of a RandomAccessFile front to back through a buffer of at
// least chunk_size bytes, by positioned reads. It never reads past `limit`
// (the file's size measured when it was opened), so a caller can check a
// length field against remaining() before allocating anything for it.
//
// Scans that walk a whole file use large chunks and parse records where
// they lie in the buffer (ensure, data, advance); reading one record uses
// the 8192-byte default and copies fields out (read_exact and friends).
class SequentialFile {
 public:
  // Large enough that a scan makes one read per many records, small enough
  // that a chunk is still in the L2 cache when its records are parsed.
  static constexpr std::size_t kScanChunkSize = std::size_t{256} << 10;

  // Reads [start, limit) of file, which must outlive this object.
  SequentialFile(RandomAccessFile& file, std::uint64_t start, std::uint64_t limit,
                 std::size_t chunk_size = kBufferSize);

  // Makes the next n bytes readable at data(). Fails with end_of_file()
  // when fewer than n bytes remain before the limit (nothing is allocated
  // for them) or when the file shrank, or with the read's error. A record
  // longer than a chunk widens the buffer to its own length, never beyond
  // the bytes left in the file.
  Status ensure(std::size_t n);
  // The bytes at the cursor; ensure() says how many are valid.
  const char* data() const { return buffer_.data() + cursor_; }
  void advance(std::size_t n) { cursor_ += n; }
  // Bytes readable at data() without a read: an ensure() of up to this
  // many neither reads nor moves them.
  std::size_t buffered() const { return filled_ - cursor_; }

  // Fills all of out, or fails like ensure(). Reads of a chunk or more that
  // find the buffer empty go straight into out.
  Status read_exact(std::span<char> out);
  // read_exact of a little-endian integer.
  Status read_u8(std::uint8_t& value);
  Status read_u32(std::uint32_t& value);
  Status read_u64(std::uint64_t& value);

  // File offset of the cursor.
  std::uint64_t position() const { return buffer_start_ + cursor_; }
  std::uint64_t remaining() const { return limit_ - position(); }
  // Moves the cursor to offset (at most the limit), dropping what is
  // buffered before it.
  void seek(std::uint64_t offset);

 private:
  RandomAccessFile* file_;
  std::uint64_t limit_;
  std::size_t chunk_size_;
  std::vector<char> buffer_;
  std::uint64_t buffer_start_;  // file offset of buffer_[0]
  std::size_t cursor_ = 0;      // next unread byte in buffer_
  std::size_t filled_ = 0;      // valid bytes in buffer_
};

}  // namespace tarnvault_core::storage::io
