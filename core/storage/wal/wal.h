// The write-ahead log: CRC-framed compact JSON records appended to one file.
//
// Record layout (little-endian): checksum u32 (CRC-32 of the body only),
// length u32, then `length` bytes of body (the WalEntry's JSON text).
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "core/error/result.h"
#include "core/storage/io/file.h"
#include "core/storage/io/file_system.h"
#include "core/storage/wal/sync_mode.h"
#include "core/storage/wal/wal_entry.h"

namespace tarnvault_core::storage::wal {

class Wal {
 public:
  // Records appended in Batched mode between two syncs.
  static constexpr std::size_t kSyncInterval = 100;
  // The write buffer of a log open for appending: room for the records
  // between two syncs (100 of 128 floats take about 140 KiB), so that in
  // Batched mode they reach the file in one write at the sync instead of
  // one write per 8 KiB. Writing them sooner would make nothing durable
  // sooner, and the kernel's cost of a write is mostly per call and per
  // page touched.
  static constexpr std::size_t kBufferBytes = std::size_t{256} << 10;

  // Opens the log for appending, creating it (mode 0666) when missing.
  static Result<Wal> open(const std::filesystem::path& path, SyncMode sync_mode,
                          io::FileSystem& fs = io::default_file_system());
  // Opens an existing log for reading only: appends and truncation then
  // fail, and nothing can change the file.
  static Result<Wal> open_read_only(const std::filesystem::path& path,
                                    io::FileSystem& fs = io::default_file_system());

  Wal(Wal&&) noexcept = default;
  Wal& operator=(Wal&&) noexcept = default;
  Wal(const Wal&) = delete;
  Wal& operator=(const Wal&) = delete;
  // Writes out the buffer (errors ignored) and closes the file; no sync.
  ~Wal() = default;

  // Frames and buffers one record, then syncs as the sync mode says. A record
  // is either wholly appended or, on a write failure, not at all.
  Status append(const WalEntryRef& entry);
  Status append(const WalEntry& entry) { return append(entry.ref()); }
  // For a batch: writes `count` records framed back to back (BatchFramer)
  // in one piece, the first of them first_record_size bytes long. Does not
  // sync: the batch calls sync_if_due() once for many runs (group commit).
  // A failed write leaves none of the records in the file.
  Status write_framed(std::string_view records, std::size_t count, std::size_t first_record_size);
  // Whether sync_if_due() would sync now.
  bool sync_due() const;
  // Syncs as the sync mode says after the records appended so far: Always,
  // or Batched once 100 or more are unsynced. So at most 99 stay unsynced.
  Status sync_if_due();
  // Writes out the buffer and fsyncs the file.
  Status sync();
  // Appends a Checkpoint record, syncs, then truncates the file to zero.
  Status checkpoint();
  // Writes out the buffer and cuts the file to `length` bytes; for recovery,
  // which drops a torn tail (WalReadResult::valid_length) before appending.
  Status truncate_to(std::uint64_t length);

  std::size_t appends_since_sync() const { return appends_since_sync_; }
  // Where the next record will start in the file.
  std::uint64_t end_offset() const { return writer_.end_offset(); }
  SyncMode sync_mode() const { return sync_mode_; }
  const std::filesystem::path& path() const { return path_; }

  // Every record of the file at path, in order; only bytes that reached the
  // file are seen. A missing file or an empty one is an empty log. Fewer than
  // 4 stray bytes after the last record are ignored; any other bad record
  // fails the whole read, torn tail or not. Recovery and the collection
  // check read through WalReader (wal_reader.h) instead, which judges it.
  static Result<std::vector<WalEntry>> read_all(const std::filesystem::path& path,
                                                io::FileSystem& fs = io::default_file_system());

 private:
  Wal(std::filesystem::path path, io::FileSystem& fs, io::WritableFile writer,
      SyncMode sync_mode);

  // Writes framed records in one piece; a failure is reported against the
  // field of the first record that could not be placed.
  Status write_records(std::string_view records, std::size_t first_record_size);
  static Result<Wal> open_with(const std::filesystem::path& path, int flags, SyncMode sync_mode,
                               std::size_t buffer_bytes, io::FileSystem& fs);

  std::filesystem::path path_;
  io::FileSystem* fs_;
  io::WritableFile writer_;
  std::size_t appends_since_sync_ = 0;
  std::size_t sync_interval_ = kSyncInterval;
  SyncMode sync_mode_;
  // Reused for every append, so framing a record allocates only while the
  // largest record so far grows.
  std::string record_;
};

}  // namespace tarnvault_core::storage::wal

namespace tarnvault_core {
using storage::wal::Wal;
}  // namespace tarnvault_core
