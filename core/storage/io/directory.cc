#include "core/storage/io/directory.h"

#include <fcntl.h>

#include <cerrno>

#include "core/storage/io/file.h"

namespace tarnvault_core::storage::io {

IoStatus create_directories(FileSystem& fs, const std::filesystem::path& dir,
                            std::vector<std::filesystem::path>& created) {
  // Walk up to the first ancestor that exists, then create downwards.
  std::vector<std::filesystem::path> missing;
  for (std::filesystem::path p = dir.lexically_normal(); !p.empty() && !fs.stat(p).ok();
       p = p.parent_path()) {
    if (p.has_filename()) missing.push_back(p);
    if (p == p.parent_path()) break;
  }
  for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
    IoStatus made = fs.mkdir(*it, kCreateDirectoryMode);
    if (made.ok()) {
      created.push_back(*it);
    } else if (made.error_number() != EEXIST) {
      return made;
    }
  }
  return IoStatus();
}

IoStatus sync_directory(FileSystem& fs, const std::filesystem::path& dir) {
  auto opened = File::open(fs, dir.empty() ? std::filesystem::path(".") : dir,
                           O_RDONLY | O_DIRECTORY);
  if (!opened.ok()) return opened.status;
  if (IoStatus synced = opened.value.sync(); !synced.ok()) return synced;
  return opened.value.close();
}

}  // namespace tarnvault_core::storage::io
