// Whole-file reads for tests and fuzz targets, built on the one reader of
// each file: what recovery sees of a log, and a data-file scan that keeps
// the records it visits.
#pragma once

#include <cstdint>
#include <filesystem>
#include <limits>
#include <optional>
#include <utility>
#include <vector>

#include "core/error/result.h"
#include "core/storage/data_file/data_file.h"
#include "core/storage/io/file_system.h"
#include "core/storage/wal/wal_reader.h"

namespace tarnvault_core::storage::testing {

// Every entry of the log with recovery's verdict: a torn tail is reported
// in the result, damage fails the read with the bad record's error.
inline Result<wal::WalReadResult> read_log_with_tail(
    const std::filesystem::path& path, io::FileSystem& fs = io::default_file_system()) {
  auto reader = wal::WalReader::open(path, fs);
  if (!reader.ok()) return std::move(reader).error();
  auto read = reader->read(std::numeric_limits<std::uint64_t>::max());
  if (!read.ok()) return read;
  if (read->damaged) return std::move(*read->tail_error);
  return read;
}

struct CollectedScan : data_file::DataFileScan {
  // The live records before valid_length, in file order.
  std::vector<data_file::DataRecord> records;
};

// DataFile::scan_each, keeping each live record it visits.
inline Result<CollectedScan> scan_collecting(
    const data_file::DataFile& file, std::optional<std::uint64_t> dimension = std::nullopt) {
  CollectedScan collected;
  auto scan = file.scan_each(
      [&collected](data_file::RecordVisit& record) {
        collected.records.push_back(data_file::DataRecord{record.id,
                                                          {record.vector.begin(), record.vector.end()},
                                                          std::move(record.payload),
                                                          false,
                                                          record.offset});
      },
      dimension);
  if (!scan.ok()) return std::move(scan).error();
  static_cast<data_file::DataFileScan&>(collected) = std::move(scan).value();
  return collected;
}

}  // namespace tarnvault_core::storage::testing
