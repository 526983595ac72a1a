// Looking for a well-formed record anywhere after a damaged one. Recovery
// uses it to tell a torn tail (a crash cut the last write short, or left the
// bytes after it as zeros or garbage: nothing readable follows) from damage
// in the middle of a file (readable records follow, which cutting the file
// there would silently throw away).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "core/error/result.h"
#include "core/storage/io/file_system.h"

namespace tarnvault_core::storage::io {

struct RecordProbe {
  // Bytes at a candidate offset that `plausible` looks at.
  std::size_t header_size = 0;
  // A cheap test of those bytes (and of the offset: the record must fit
  // before the end of the file).
  std::function<bool(const char* header, std::uint64_t offset)> plausible;
  // The full test of a plausible candidate; returns the number of bytes it
  // read in `cost`, so the search can stop before its work grows without
  // bound on a hostile file.
  std::function<Result<bool>(std::uint64_t offset, std::uint64_t& cost)> confirm;
};

// True when a record that passes the probe starts at some offset in
// (from, size). Reads the range once, sequentially, in bounded memory. When
// confirming candidates has cost more than a few times the range's length,
// it answers true: calling damage damage is the safe mistake.
Result<bool> record_follows(RandomAccessFile& file, std::uint64_t from, std::uint64_t size,
                              const RecordProbe& probe);

}  // namespace tarnvault_core::storage::io
