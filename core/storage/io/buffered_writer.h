// An 8192-byte write buffer in front of a File that it extends. Bytes are
// written at the end the writer keeps track of, so the file handle's own
// position never matters (the handle may or may not use O_APPEND).
//
// A write that fits in the free space is copied into the buffer. Otherwise the
// buffer is written out first; then the bytes are copied into the empty
// buffer, or written straight to the file when they are 8192 bytes or more.
// Nothing else reaches the file until flush() or destruction.
//
// Each write() is all or nothing, so one call per record keeps the file and
// the buffer aligned on record boundaries: when a straight-through write
// fails part-way, the bytes that reached the file are truncated away again.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>

#include "core/storage/io/file.h"
#include "core/storage/io/io_status.h"

namespace tarnvault_core::storage::io {

inline constexpr std::size_t kBufferSize = 8192;

// Which step of a write() failed: writing out the bytes already buffered
// (none of the new bytes was taken), or writing the new bytes straight
// through (none of them stays in the file).
enum class WriteStage { WriteOut, WriteThrough };

struct [[nodiscard]] WriteOutcome {
  IoStatus status;
  WriteStage stage = WriteStage::WriteOut;

  bool ok() const { return status.ok(); }
};

class BufferedWriter {
 public:
  // file_size: the current length of the file, where the first written-out
  // byte will land.
  BufferedWriter(File file, std::uint64_t file_size);
  BufferedWriter(BufferedWriter&& other) noexcept;
  BufferedWriter& operator=(BufferedWriter&& other) noexcept;
  BufferedWriter(const BufferedWriter&) = delete;
  BufferedWriter& operator=(const BufferedWriter&) = delete;
  // Writes out what is buffered, ignoring errors; does not sync.
  ~BufferedWriter();

  WriteOutcome write(std::span<const char> data);
  // Writes out the buffer. On failure the bytes not written stay buffered.
  IoStatus flush();
  // Writes out the buffer, then cuts the file to length bytes.
  IoStatus truncate(std::uint64_t length);

  std::size_t buffered() const { return size_; }
  std::size_t free_space() const { return kBufferSize - size_; }
  // Bytes in the file as far as this writer knows.
  std::uint64_t file_size() const { return file_size_; }
  // Where the next written byte will end up: file_size() + buffered().
  std::uint64_t end_offset() const { return file_size_ + size_; }

  File& file() { return file_; }

 private:
  IoStatus write_to_file(std::span<const char> data);
  IoStatus finish_pending_rollback();

  File file_;
  std::unique_ptr<char[]> buffer_;
  std::size_t size_ = 0;
  std::uint64_t file_size_ = 0;
  // Set when a failed write could not be truncated away: the file must be
  // cut back to this length before anything else is appended.
  std::optional<std::uint64_t> pending_truncate_;
};

}  // namespace tarnvault_core::storage::io
