// What a torn-tail aware read of a log file found.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "core/error/error.h"
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

struct WalReadResult {
  std::vector<WalEntry> entries;
  // Bytes taken by the complete records: where a torn tail begins.
  std::uint64_t valid_length = 0;
  // Bytes taken by the records whose entries are held: where the records
  // that a read within a memory budget did not keep begin.
  std::uint64_t kept_length = 0;
  // The file's size when it was read.
  std::uint64_t file_length = 0;
  WalTail tail = WalTail::None;
  // What read_all reports for the tail; none for None and StrayBytes.
  std::optional<Error> tail_error;

  bool has_torn_tail() const { return tail != WalTail::None; }
};

}  // namespace tarnvault_core::storage::wal
