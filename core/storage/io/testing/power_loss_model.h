// A model of what a file system keeps when the power fails: file contents as
// of each file's last fsync, and directory entries (created, renamed or
// removed names) as of their directory's last fsync. Fed by the fault-
// injecting file system with every successful call that changes either;
// lose_power() then rewrites the real directory tree to what would survive.
//
// Files and directories are tracked from the first time a call names them;
// whatever existed before is taken to be durable as it was at that moment.
// Open files are known by the number the file system gave them at open.
//
// Test-only, like the fault-injecting file system.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/error/result.h"

namespace tarnvault_core::storage::io {

// What becomes of a file's bytes written since its last fsync.
enum class PowerLoss : std::uint8_t {
  // All of them are lost: the file is exactly as it was last synced.
  DropUnsynced,
  // The file keeps the length it had grown to, but the bytes past its synced
  // length read as zeros (the size reached the disk, the data did not).
  ZeroUnsynced,
  // The first half of the new bytes reached the disk; the rest read as zeros.
  TornUnsynced,
};

class PowerLossModel {
 public:
  // A successful open of path as file number `file`; created when the call
  // made the file.
  void opened(int file, const std::filesystem::path& path, bool created, bool directory);
  void closed(int file);
  // fsync of an open file: a file's current bytes, as read through its
  // current name, or a directory's current entries, become durable.
  void synced(int file);
  // Starts tracking path, if it exists, before a call changes it.
  void track(const std::filesystem::path& path);
  void renamed(const std::filesystem::path& from, const std::filesystem::path& to);
  void unlinked(const std::filesystem::path& path);
  void made_directory(const std::filesystem::path& path);

  // Rewrites every tracked file and directory to what survives a power loss
  // now, then forgets everything: the rewritten tree is the new durable
  // state. Open descriptors must have been closed.
  Status lose_power(PowerLoss mode);

 private:
  struct Node {
    bool directory = false;
    std::string durable;  // a file's bytes as of its last fsync
  };
  using Names = std::map<std::filesystem::path, std::size_t>;

  static std::filesystem::path normal(const std::filesystem::path& path);
  std::size_t track_existing(const std::filesystem::path& path, bool directory);
  // True when every tracked ancestor of path is durably present.
  bool reachable_after_loss(const std::filesystem::path& path) const;
  std::string surviving_bytes(std::size_t node, PowerLoss mode) const;

  std::vector<Node> nodes_;
  Names current_;  // names as the operating system sees them now
  Names durable_;  // names as they would be found after a power loss
  std::unordered_map<int, std::size_t> file_nodes_;
  std::unordered_map<int, std::filesystem::path> file_directories_;
};

}  // namespace tarnvault_core::storage::io
