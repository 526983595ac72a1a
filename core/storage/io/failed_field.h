// Which field of a record a failed write is reported against.
//
// Records are handed to the WritableFile in one piece, but their errors
// name the field that could not be placed ("write id failed: ..."): the
// field that, written field by field, would have been the first to need the
// file. For a failed write-out that is the first field that did not fit in
// the buffer's free space; for a failed write-through, the first field that
// would not have fitted in an empty buffer.
#pragma once

#include <cstddef>
#include <span>

#include "core/storage/io/file.h"

namespace tarnvault_core::storage::io {

// field_ends: the end offset of each field within the record, ascending.
// free_space_before: the writer's free space before the record was written;
// capacity: the size of its buffer.
std::size_t failed_field(std::span<const std::size_t> field_ends, WriteStage stage,
                         std::size_t free_space_before, std::size_t capacity);

}  // namespace tarnvault_core::storage::io
