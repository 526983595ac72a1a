// One record of the data file as read back.
#pragma once

#include <cstdint>
#include <vector>

#include "core/payload/payload.h"

namespace tarnvault_core::storage::data_file {

struct DataRecord {
  std::uint64_t id = 0;
  std::vector<float> vector;
  payload::Payload payload;
  bool deleted = false;     // the stored deleted byte is exactly 1
  std::uint64_t offset = 0;  // where the record starts in the file
};

}  // namespace tarnvault_core::storage::data_file

namespace tarnvault_core {
using storage::data_file::DataRecord;
}  // namespace tarnvault_core
