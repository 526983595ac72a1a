// The files of a collection directory: the three that hold the collection,
// and the one a compaction writes before renaming it over the data file.
// Nothing else is read or written.
#pragma once

#include <filesystem>

namespace tarnvault_core::collection {

inline constexpr const char* kMetaFileName = "meta.json";
inline constexpr const char* kWalFileName = "wal.log";
inline constexpr const char* kDataFileName = "data.qvf";
// Only ever a leftover of a compaction that did not finish: the next open
// removes it.
inline constexpr const char* kCompactFileName = "data.qvf.compact";

struct CollectionFiles {
  std::filesystem::path meta;
  std::filesystem::path wal;
  std::filesystem::path data;
  std::filesystem::path compacting;

  static CollectionFiles in(const std::filesystem::path& dir) {
    return {dir / kMetaFileName, dir / kWalFileName, dir / kDataFileName, dir / kCompactFileName};
  }
};

}  // namespace tarnvault_core::collection
