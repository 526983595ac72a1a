// A FileSystem that forwards to another one but fails chosen calls, for
// tests of what the log and the data file do when the disk misbehaves.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "core/storage/io/file_system.h"

namespace tarnvault_core::storage::io {

enum class FsOp : std::uint8_t { Open, Close, Pwrite, Pread, Fsync, FileSize, Stat, Truncate,
                                 Rename, Lock };

class FaultInjectingFileSystem final : public FileSystem {
 public:
  explicit FaultInjectingFileSystem(FileSystem& base = default_file_system()) : base_(&base) {}

  // The nth call (1-based, counted from now) of op fails with errnum
  // without reaching the base file system.
  void fail_nth(FsOp op, std::size_t nth, int errnum);
  // Like a disk that fills up: write and pwrite accept `bytes` more bytes in
  // total (the one that crosses the budget is cut short) and then fail with
  // errnum.
  void fail_writes_after(std::uint64_t bytes, int errnum);
  // Forgets every armed fault.
  void clear();

  // Calls of op seen so far, failed ones included.
  std::size_t calls(FsOp op) const { return calls_[index(op)]; }

  IoResult<int> open(const std::filesystem::path& path, int flags, mode_t mode) override;
  IoStatus close(int fd) override;
  IoResult<std::size_t> pwrite(int fd, const void* data, std::size_t size,
                               std::uint64_t offset) override;
  IoResult<std::size_t> pread(int fd, void* data, std::size_t size,
                              std::uint64_t offset) override;
  IoStatus fsync(int fd) override;
  IoResult<std::uint64_t> file_size(int fd) override;
  IoStatus stat(const std::filesystem::path& path) override;
  IoStatus truncate(int fd, std::uint64_t length) override;
  IoStatus rename(const std::filesystem::path& from, const std::filesystem::path& to) override;
  IoStatus lock(int fd) override;

 private:
  static constexpr std::size_t kOpCount = 10;
  static std::size_t index(FsOp op) { return static_cast<std::size_t>(op); }
  // Counts the call; the injected failure when this call is the armed one.
  IoStatus count(FsOp op);
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
};

}  // namespace tarnvault_core::storage::io
