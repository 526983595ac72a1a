#include "core/storage/io/failed_field.h"

namespace tarnvault_core::storage::io {

std::size_t failed_field(std::span<const std::size_t> field_ends, WriteStage stage,
                         std::size_t free_space_before, std::size_t capacity) {
  const std::size_t room = stage == WriteStage::WriteOut ? free_space_before : capacity;
  for (std::size_t i = 0; i < field_ends.size(); ++i) {
    if (field_ends[i] > room) return i;
  }
  // Only a record that fitted could get here, and such a write cannot fail.
  return field_ends.empty() ? 0 : field_ends.size() - 1;
}

}  // namespace tarnvault_core::storage::io
