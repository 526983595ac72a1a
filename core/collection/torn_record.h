// A look at the header of a data-file record that runs past the end of the
// file, to tell a write cut short by a crash from a damaged count.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>

#include "core/error/result.h"
#include "core/storage/io/file_system.h"

namespace tarnvault_core::collection {

// The dim field of the record at offset, or nothing when the file ends
// before the field does.
Result<std::optional<std::uint32_t>> read_torn_record_dim(storage::io::FileSystem& fs,
                                                          const std::filesystem::path& data_file,
                                                          std::uint64_t offset);

}  // namespace tarnvault_core::collection
