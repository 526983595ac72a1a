#include "core/storage/io/directory.h"

#include <fcntl.h>

#include <cerrno>
#include <utility>

namespace tarnvault_core::storage::io {

Status create_directories(FileSystem& fs, const std::filesystem::path& dir,
                          std::vector<std::filesystem::path>& created) {
  // Walk up to the first ancestor that exists, then create downwards.
  std::vector<std::filesystem::path> missing;
  for (std::filesystem::path p = dir.lexically_normal(); !p.empty() && !fs.stat(p).ok();
       p = p.parent_path()) {
    if (p.has_filename()) missing.push_back(p);
    if (p == p.parent_path()) break;
  }
  for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
    Status made = fs.mkdir(*it, kCreateDirectoryMode);
    if (made.ok()) {
      created.push_back(*it);
    } else if (made.error().os_error_number() != EEXIST) {
      return made;
    }
  }
  return {};
}

Status sync_directory(FileSystem& fs, const std::filesystem::path& dir) {
  auto opened = open_file(fs, dir.empty() ? std::filesystem::path(".") : dir,
                          O_RDONLY | O_DIRECTORY);
  if (!opened.ok()) return std::move(opened).error();
  TV_RETURN_IF_ERROR((*opened)->sync());
  return (*opened)->close();
}

}  // namespace tarnvault_core::storage::io
