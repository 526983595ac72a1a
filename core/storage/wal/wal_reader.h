// Reading a log file back: the one reader behind Wal::read_all, recovery's
// check and replay, and the collection check.
//
// It reads records from the start until the end of the file or the first
// bad one, and says what that bad record is: a torn tail or damage. That
// verdict is made in one place (judge_bad_record in wal_reader.cc), so every
// caller draws the line where recovery does.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "core/error/result.h"
#include "core/storage/io/file_system.h"
#include "core/storage/wal/wal_entry.h"

namespace tarnvault_core::storage::wal {

// What follows the last good record. Anything but None is a record that a
// crash in the middle of a write, or a power failure that kept the file's
// new length but not its new bytes, can leave behind.
enum class WalTail : std::uint8_t {
  None,        // the file ends exactly after a complete record
  StrayBytes,  // 1 to 3 bytes: not even a whole checksum
  TornLength,  // a checksum, then fewer than 4 bytes of the length
  TornData,    // a checksum and a length, then fewer bytes than the length says
  Damaged,     // a complete record whose checksum or body is wrong
};

// An entry that a read kept. Its components lie in the read's component
// blocks: a hundred thousand kept entries then cost a few large blocks
// rather than as many small allocations, each freed on its own.
struct KeptEntry {
  WalEntryKind kind = WalEntryKind::Checkpoint;
  std::uint64_t id = 0;
  std::span<const float> vector;
  payload::Payload payload;

  WalEntryRef ref() const { return {kind, id, vector, payload}; }
};

struct WalReadResult {
  std::vector<KeptEntry> entries;
  // Where the kept entries' components lie; blocks never move, so moving
  // the result keeps the entries' spans valid.
  std::vector<std::unique_ptr<float[]>> component_blocks;
  // Bytes taken by the complete records: where a torn tail begins.
  std::uint64_t valid_length = 0;
  // Bytes taken by the records whose entries are held: where the records
  // that a read within a memory budget did not keep begin.
  std::uint64_t kept_length = 0;
  // The file's size when it was read.
  std::uint64_t file_length = 0;
  WalTail tail = WalTail::None;
  // The bad record's error, as read_all reports it; none for None and
  // StrayBytes.
  std::optional<Error> tail_error;
  // The verdict on a bad record: good records follow it, so it is damage
  // and not a torn tail that recovery may cut off.
  bool damaged = false;

  bool has_torn_tail() const { return tail != WalTail::None && !damaged; }
  // Copies of the kept entries that own their vectors.
  std::vector<WalEntry> owned_entries() const;
};

class WalReader {
 public:
  // Opens the log at path for reading. A log that was never created reads
  // as an empty one.
  static Result<WalReader> open(const std::filesystem::path& path, io::FileSystem& fs);

  // Reads every record from the start, checking each body as thoroughly
  // whether or not its entry is kept, and judges the bad record that ends
  // the read, if any. Only read errors of the operating system fail it.
  // The entries of the leading records are kept while their total size
  // stays within keep_budget bytes (0: none; kept_length says where they
  // end), so that a large log is checked in bounded memory.
  Result<WalReadResult> read(std::uint64_t keep_budget);

  // Reads the records in [from, limit) again, handing each entry to visit
  // and stopping at the first error it returns. For the part of the log
  // that read() found good, from a record boundary: a record failing now
  // is an error. The entry handed over is reused for the next record.
  Status for_each(std::uint64_t from, std::uint64_t limit,
                  const std::function<Status(WalEntry&)>& visit);

 private:
  WalReader(std::unique_ptr<io::RandomAccessFile> file, std::uint64_t size)
      : file_(std::move(file)), size_(size) {}

  Result<bool> judge_bad_record(std::uint64_t at);

  std::unique_ptr<io::RandomAccessFile> file_;  // none for a missing log
  std::uint64_t size_ = 0;
};

}  // namespace tarnvault_core::storage::wal
