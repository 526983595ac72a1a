// What a torn-tail aware scan of a data file found.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "core/error/error.h"

namespace tarnvault_core::storage::data_file {

enum class DataFileTail : std::uint8_t {
  // The last record ends exactly at the end of the file.
  Clean,
  // The record at valid_length is cut short by the end of the file: a torn
  // write, which recovery may truncate away.
  Torn,
  // The record at valid_length is complete but its payload does not parse:
  // damage that truncation would not repair.
  Unreadable,
};

struct DataFileScan {
  // End offset of the last complete, readable record.
  std::uint64_t valid_length = 0;
  // The file's size when the scan began.
  std::uint64_t file_length = 0;
  DataFileTail tail = DataFileTail::Clean;
  // For Torn and Unreadable: the read error of the record at valid_length,
  // with the text read_at would give.
  std::optional<Error> tail_error;
  // The verdict on that record, for a scan given the collection's
  // dimension: readable records follow it, so it is damage and not a torn
  // tail that recovery may cut off.
  bool damaged = false;
  // For damage: what is wrong with the record, as an open reports it.
  std::string damage;
};

}  // namespace tarnvault_core::storage::data_file
