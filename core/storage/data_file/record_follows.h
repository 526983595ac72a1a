// Whether a well-formed data-file record follows a bad one: what tells a
// torn tail (nothing readable after it) from damage in the middle of the
// file (readable records after it).
#pragma once

#include <cstdint>
#include <filesystem>

#include "core/error/result.h"
#include "core/storage/io/file_system.h"

namespace tarnvault_core::storage::data_file {

// True when a record with a deleted byte of 0 or 1, `dimension` components
// and a payload that parses starts anywhere after offset from in the file.
// Only the dimension the collection writes counts: zeros, and the cut
// remains of a record, hardly ever pass for one.
Result<bool> data_record_follows(const std::filesystem::path& path, std::uint64_t from,
                                 std::uint32_t dimension, io::FileSystem& fs);

}  // namespace tarnvault_core::storage::data_file
