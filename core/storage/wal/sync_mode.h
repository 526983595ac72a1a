// When the write-ahead log forces its records to stable storage.
#pragma once

#include <cstdint>

namespace tarnvault_core::storage::wal {

enum class SyncMode : std::uint8_t {
  Always,   // every append ends with a sync
  Batched,  // an append syncs once appends_since_sync reaches the sync interval
  Never,    // only sync() and checkpoint() sync
};

}  // namespace tarnvault_core::storage::wal

namespace tarnvault_core {
using storage::wal::SyncMode;
}  // namespace tarnvault_core
