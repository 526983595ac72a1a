// Checking a collection directory without opening it: every record of the
// log and of the data file is read and nothing is written, truncated or
// replayed. What an open's recovery would find (the live vectors, the next
// id) is worked out from the records alone.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "core/error/result.h"
#include "core/storage/io/file_system.h"

namespace tarnvault_core::collection {

// A bad record, or a torn tail, of one of the three files.
struct FileFinding {
  std::string file;  // "meta.json", "wal.log" or "data.qvf"
  std::optional<std::uint64_t> offset;
  std::string what;
};

struct CollectionCheck {
  // As meta.json records them.
  std::uint64_t dimension = 0;
  std::string metric;
  std::uint64_t meta_next_id = 0;
  std::uint64_t meta_vector_count = 0;
  // As recovery would find them: the searchable vectors and the counter.
  std::uint64_t live_vectors = 0;
  std::uint64_t next_id = 1;
  // Sizes of the three files in bytes (0 for a missing log or data file).
  std::uint64_t meta_size = 0;
  std::uint64_t wal_size = 0;
  std::uint64_t data_size = 0;
  // Inserts, updates and deletes in the log: written but not yet flushed.
  std::uint64_t unflushed_records = 0;
  // Live records in the data file, superseded ones included.
  std::uint64_t data_records = 0;
  // What a compaction would leave of the data file: the bytes of each id's
  // current record, the ones the log's replay appends included; and what it
  // would reclaim: the rest of data_size plus the replay's records, namely
  // deleted and superseded records, the records the log deletes or
  // rewrites, and a torn tail.
  std::uint64_t data_live_bytes = 0;
  std::uint64_t data_dead_bytes = 0;
  // What a crash leaves and the next open cuts off: reported, not damage.
  std::vector<FileFinding> torn_tails;
  // Bad records that good ones follow, or an unreadable meta.json: an open
  // would fail. Each file's first one only; reading stops there.
  std::vector<FileFinding> damage;
};

// Checks the collection in dir while holding its lock shared, as a
// read-only open does, so no writer can change it meanwhile. Fails
// (CollectionError) when dir holds no meta.json, when a writable Collection
// holds it open, or on a read error of the operating system; damage is
// reported in the result, not as an error.
Result<CollectionCheck> check_collection(
    const std::filesystem::path& dir,
    storage::io::FileSystem& fs = storage::io::default_file_system());

}  // namespace tarnvault_core::collection
