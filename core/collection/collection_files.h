// The three files of a collection directory. Nothing else is read or written.
#pragma once

#include <filesystem>

namespace tarnvault_core::collection {

inline constexpr const char* kMetaFileName = "meta.json";
inline constexpr const char* kWalFileName = "wal.log";
inline constexpr const char* kDataFileName = "data.qvf";

struct CollectionFiles {
  std::filesystem::path meta;
  std::filesystem::path wal;
  std::filesystem::path data;

  static CollectionFiles in(const std::filesystem::path& dir) {
    return {dir / kMetaFileName, dir / kWalFileName, dir / kDataFileName};
  }
};

}  // namespace tarnvault_core::collection
