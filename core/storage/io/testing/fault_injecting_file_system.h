// A FileSystem that forwards to another one but fails chosen calls, for
// tests of what the log, the data file and the collection do when the disk
// misbehaves; and that can model a power failure: which bytes and names
// would survive it, and a machine that stops after a chosen call.
//
// Test-only: linked by the tests, never by the library or the module.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "core/storage/io/file_system.h"
#include "core/storage/io/testing/power_loss_model.h"

namespace tarnvault_core::storage::io {

// The system calls of the seam: the FileSystem's and those of its files.
enum class FsOp : std::uint8_t { Open, Close, Pwrite, Pread, Fsync, FileSize, Stat, Truncate,
                                 Rename, Lock, Unlink, Mkdir };

class FaultInjectingFileSystem final : public FileSystem {
 public:
  explicit FaultInjectingFileSystem(FileSystem& base = default_file_system()) : base_(&base) {}

  // The nth call (1-based, counted from now) of op fails with errnum
  // without reaching the base file system.
  void fail_nth(FsOp op, std::size_t nth, int errnum);
  // Like a disk that fills up: pwrite accepts `bytes` more bytes in total
  // (the one that crosses the budget is cut short) and then fails with
  // errnum.
  void fail_writes_after(std::uint64_t bytes, int errnum);
  // Forgets every armed fault.
  void clear();

  // Calls of op seen so far, failed ones included.
  std::size_t calls(FsOp op) const { return calls_[index(op)]; }

  // From now on, records what a power failure would keep (see
  // PowerLossModel). fsync is then only recorded, not performed: the model,
  // not the disk, decides what survives.
  void track_durability() { tracking_ = true; }
  // Calls that change the disk so far: writes, syncs, truncations, renames,
  // unlinks, directory creations, and opens that create or truncate.
  std::size_t changes() const { return changes_; }
  // After `count` more changing calls the machine stops: every later call
  // fails with EIO and changes nothing (close still releases the file).
  void stop_after_changes(std::size_t count) { stop_at_ = changes_ + count; }
  bool stopped() const { return stop_at_ && changes_ >= *stop_at_; }
  // Rewrites the tracked files to what survives a power loss now; every
  // file opened through this file system must have been closed.
  Status lose_power(PowerLoss mode) { return model_.lose_power(mode); }

  Result<std::unique_ptr<RandomAccessFile>> open(const std::filesystem::path& path, int flags,
                                                 mode_t mode) override;
  Status stat(const std::filesystem::path& path) override;
  Status rename(const std::filesystem::path& from, const std::filesystem::path& to) override;
  Status unlink(const std::filesystem::path& path) override;
  Status mkdir(const std::filesystem::path& path, mode_t mode) override;

 private:
  friend class FaultInjectingFile;

  static constexpr std::size_t kOpCount = 12;
  static std::size_t index(FsOp op) { return static_cast<std::size_t>(op); }
  // Counts the call; the injected failure when this call is the armed one,
  // or when the machine has stopped.
  Status count(FsOp op);
  // Counts a call that changes the disk.
  void changed() { ++changes_; }
  // How many of size bytes the byte budget lets through; 0 when exhausted.
  std::size_t allow_bytes(std::size_t size);

  struct Fault {
    std::size_t at_call = 0;  // 0: none armed
    int errnum = 0;
  };

  FileSystem* base_;
  std::array<std::size_t, kOpCount> calls_{};
  std::array<Fault, kOpCount> faults_{};
  std::optional<std::uint64_t> write_budget_;
  int budget_errnum_ = 0;

  bool tracking_ = false;
  PowerLossModel model_;
  int next_file_ = 0;  // names the open files for the model
  std::size_t changes_ = 0;
  std::optional<std::size_t> stop_at_;
};

}  // namespace tarnvault_core::storage::io
