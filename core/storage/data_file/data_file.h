// The append-only data file: binary vector records with a JSON payload.
//
// Record layout (little-endian): deleted u8 (1 = deleted, anything else
// live), id u64, dim u32, dim × f32, payload_len u32, payload_len bytes of
// compact payload JSON. No header, no checksum.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "core/error/result.h"
#include "core/payload/payload.h"
#include "core/storage/data_file/data_file_scan.h"
#include "core/storage/data_file/data_record.h"
#include "core/storage/io/file.h"
#include "core/storage/io/file_system.h"

namespace tarnvault_core::storage::data_file {

// A live record as a streamed scan reads it: valid only during the visit.
// The visitor may move the payload away.
struct RecordVisit {
  std::uint64_t id = 0;
  std::span<const float> vector;
  payload::Payload& payload;
  std::uint64_t offset = 0;
  // Bytes the record occupies in the file.
  std::uint64_t size = 0;
};

using RecordVisitor = std::function<void(RecordVisit&)>;

// A record that copy_records keeps: its id, and its offset, in this file
// before the copy and in the copy after it.
struct KeptRecord {
  std::uint64_t offset = 0;
  std::uint64_t id = 0;
};

struct DataFileCopy;

class DataFile {
 public:
  // Opens the file for appending, creating it (mode 0666) when missing,
  // with a write buffer of buffer_bytes; write_offset() starts at its size.
  static Result<DataFile> open(const std::filesystem::path& path,
                               io::FileSystem& fs = io::default_file_system(),
                               std::size_t buffer_bytes = kAppendBufferBytes);
  // Opens an existing file for reading only: appends, marks and truncation
  // then fail, and nothing can change the file.
  static Result<DataFile> open_read_only(const std::filesystem::path& path,
                                         io::FileSystem& fs = io::default_file_system());

  DataFile(DataFile&&) noexcept = default;
  DataFile& operator=(DataFile&&) noexcept = default;
  DataFile(const DataFile&) = delete;
  DataFile& operator=(const DataFile&) = delete;
  // Writes out the buffer (errors ignored) and closes the file; no sync.
  ~DataFile() = default;

  // Buffers one record and returns its offset. A failed append leaves
  // nothing behind and write_offset() unchanged.
  Result<std::uint64_t> append(std::uint64_t id, std::span<const float> vector,
                               const payload::Payload& payload);
  // One record of a batch, borrowed.
  struct RecordRef {
    std::uint64_t id;
    std::span<const float> vector;
    const payload::Payload& payload;
  };
  // For a batch: appends record_at(0) ... record_at(count - 1), encoded as
  // append() encodes them, in writes of about kRunBytes each rather than
  // one buffer's worth at a time; offsets receives the offset of each
  // record that was appended. Stops at the first record that cannot be
  // encoded, or at a write that fails, with its error; a failed write
  // leaves none of its records in the file.
  Status append_many(std::size_t count, const std::function<RecordRef(std::size_t)>& record_at,
                     std::vector<std::uint64_t>& offsets);
  static constexpr std::size_t kRunBytes = std::size_t{1} << 20;
  // The write buffer of a file open for appending. Single inserts of 128
  // floats filled 8 KiB every 15 records, so each paid a fifteenth of a
  // write; 256 KiB makes that one write per 485 records. Nothing
  // needs the bytes in the file sooner: an insert is durable through the
  // log, flush() writes the buffer out before its sync, a mark on a
  // buffered record writes it out first, and copy_records does too.
  static constexpr std::size_t kAppendBufferBytes = std::size_t{256} << 10;
  // The record starting at offset, deleted or not. Sees only what reached
  // the file, not the write buffer.
  Result<DataRecord> read_at(std::uint64_t offset) const;
  // Sets the deleted byte of the record at offset. A record still in the
  // write buffer is written out first so the mark lands on it. Not synced.
  Status mark_deleted(std::uint64_t offset);
  // The live records in file order. An unreadable record ends the scan
  // quietly: the records before it are returned.
  Result<std::vector<DataRecord>> iter_active() const;
  // The one sequential reader of the file, behind iter_active, recovery and
  // the collection check: hands each live record to visit as soon as it is
  // read (the file is read in large chunks, and nothing is held beyond the
  // record at hand) and reports where the readable records end and why the
  // scan stopped there. Read errors of the operating system are errors.
  // Given the collection's dimension, it also judges the record it stopped
  // at: a torn tail, or damage (judge_bad_record in data_file.cc says
  // where the line is and why).
  Result<DataFileScan> scan_each(const RecordVisitor& visit,
                                 std::optional<std::uint64_t> dimension = std::nullopt) const;
  // Writes the records listed in keep (by offset, ascending) back to back
  // into a new file at `to` (created, or emptied when it exists), in that
  // order, syncs it and sets each one's offset to where the copy put it;
  // the other records are left behind. Writes out this file's buffer first
  // (without a sync), so buffered records can be listed too. Every record
  // of this file is walked: a listed record must
  // start where one does, carry its id and not be marked deleted, and
  // every record must be complete; otherwise nothing is kept and the copy
  // fails. The copy, opened for appending, is named `to` until renamed().
  Result<DataFileCopy> copy_records(const std::filesystem::path& to,
                                    std::span<KeptRecord> keep);
  // The file was renamed: later reads and marks open it by its new name.
  void renamed(std::filesystem::path path) { path_ = std::move(path); }
  // Writes out the buffer and fsyncs the file.
  Status flush();
  // Writes out the buffer and cuts the file to length bytes; write_offset()
  // becomes length. For recovery, before any append.
  Status truncate_to(std::uint64_t length);

  std::uint64_t write_offset() const { return write_offset_; }
  const std::filesystem::path& path() const { return path_; }

 private:
  DataFile(std::filesystem::path path, io::FileSystem& fs, io::WritableFile writer);
  static Result<DataFile> open_with(const std::filesystem::path& path, int flags,
                                    std::size_t buffer_bytes, io::FileSystem& fs);

  Status write_out_if_buffered(std::uint64_t offset);
  // Opens the file for reading and measures it.
  struct OpenedForRead;
  Result<OpenedForRead> open_for_read(const char* open_prefix) const;

  std::filesystem::path path_;
  io::FileSystem* fs_;
  io::WritableFile writer_;
  std::uint64_t write_offset_;
  // Reused for every append, like the log's.
  std::string record_;
};

// What copy_records made: the new file, and how many records it left behind.
struct DataFileCopy {
  DataFile file;
  std::uint64_t dropped = 0;
};

}  // namespace tarnvault_core::storage::data_file

namespace tarnvault_core {
using storage::data_file::DataFile;
}  // namespace tarnvault_core
