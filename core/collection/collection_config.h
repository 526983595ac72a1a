// The configuration a collection is opened with; fixed for its lifetime.
#pragma once

#include <cstddef>

#include "core/distance/distance.h"
#include "core/storage/data_file/data_file.h"
#include "core/storage/wal/sync_mode.h"

namespace tarnvault_core::collection {

struct CollectionConfig {
  std::size_t dimension = 0;
  DistanceMetric metric = DistanceMetric::Euclidean;
  // Handed to the write-ahead log unchanged: when an insert is forced to disk.
  SyncMode sync_mode = SyncMode::Batched;
  // The data file's write buffer while the collection is open for writing.
  // Only tests choose another size, to reach its edge in fewer records.
  std::size_t data_buffer_bytes = storage::data_file::DataFile::kAppendBufferBytes;
};

}  // namespace tarnvault_core::collection

namespace tarnvault_core {
using collection::CollectionConfig;
}  // namespace tarnvault_core
