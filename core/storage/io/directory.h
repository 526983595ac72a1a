// Directory operations on top of a FileSystem: creating a path with its
// parents, and making a directory's entries durable.
#pragma once

#include <filesystem>
#include <vector>

#include "core/storage/io/file_system.h"

namespace tarnvault_core::storage::io {

// Creates dir and every missing parent (mode 0777 before the umask). The
// directories it made, outermost first, are added to created; a directory
// that appears meanwhile is not an error.
Status create_directories(FileSystem& fs, const std::filesystem::path& dir,
                          std::vector<std::filesystem::path>& created);

// fsync of the directory itself: names created, renamed or removed in it
// survive a power failure only once this has succeeded.
Status sync_directory(FileSystem& fs, const std::filesystem::path& dir);

}  // namespace tarnvault_core::storage::io
