// The fuzz targets: one function per file reader, each taking arbitrary bytes.
// A target returns normally for any input it handles soundly (an error result
// is sound); a broken invariant aborts with a message, so both libFuzzer and
// the corpus regression test see it as a crash.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace tarnvault_fuzz {

using FuzzInput = std::span<const std::uint8_t>;

// The payload reader over the JSON text of a payload.
void payload_reader(FuzzInput input);
// WalEntry::from_bytes over one log record body.
void wal_entry(FuzzInput input);
// The meta.json reader over the file's text.
void meta_reader(FuzzInput input);
// Wal::read_all and the tail-aware read over a log file's bytes.
void wal_file(FuzzInput input);
// DataFile::iter_active and the scan over a data file's bytes.
void data_file(FuzzInput input);
// Collection::open_or_create over a directory assembled from the input.
void collection_open(FuzzInput input);

struct FuzzTarget {
  std::string_view name;
  void (*run)(FuzzInput);
};

inline constexpr FuzzTarget kFuzzTargets[] = {
    {"payload_reader", payload_reader}, {"wal_entry", wal_entry}, {"meta_reader", meta_reader},
    {"wal_file", wal_file},             {"data_file", data_file}, {"collection_open", collection_open},
};

}  // namespace tarnvault_fuzz
