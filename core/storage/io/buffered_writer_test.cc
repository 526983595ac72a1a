#include "core/storage/io/buffered_writer.h"

#include <fcntl.h>

#include <cerrno>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/storage/io/fault_injecting_file_system.h"
#include "core/storage/io/test_support.h"

namespace tarnvault_core::storage::io {
namespace {

using testing::read_bytes;
using testing::TempDir;
using namespace std::string_view_literals;

BufferedWriter open_writer(FileSystem& fs, const std::filesystem::path& path) {
  auto file = File::open(fs, path, O_RDWR | O_APPEND | O_CREAT);
  EXPECT_TRUE(file.ok());
  auto size = file.value.size();
  return BufferedWriter(std::move(file.value), size.value);
}

std::string bytes_of(std::size_t n, char fill) { return std::string(n, fill); }

struct WriteOutCase {
  const char* name;
  std::vector<std::size_t> writes;
  std::size_t file_bytes_after;  // what reached the file after the last write
};

TEST(BufferedWriterTest, WritesOutOnlyWhenAWriteDoesNotFit) {
  const WriteOutCase cases[] = {
      {"small writes stay buffered", {100, 200}, 0},
      {"filling the buffer exactly stays buffered", {8000, 192}, 0},
      {"a whole buffer into an empty one is copied", {8192}, 0},
      {"overflow writes out the earlier bytes only", {8000, 193}, 8000},
      {"large write goes straight through after the buffer", {10, 9000}, 9010},
      {"large write into an empty buffer goes straight through", {9000}, 9000},
      {"bytes after a straight-through write are buffered", {9000, 5}, 9000},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const auto path = dir.file("f");
    BufferedWriter writer = open_writer(default_file_system(), path);
    std::size_t total = 0;
    for (std::size_t n : c.writes) {
      ASSERT_TRUE(writer.write(bytes_of(n, 'a')).ok());
      total += n;
    }
    EXPECT_EQ(read_bytes(path).size(), c.file_bytes_after);
    EXPECT_EQ(writer.end_offset(), total);
    ASSERT_TRUE(writer.flush().ok());
    EXPECT_EQ(read_bytes(path).size(), total);
  }
}

TEST(BufferedWriterTest, RollbackThatFailsIsRetriedBeforeTheNextWriteOut) {
  TempDir dir;
  const auto path = dir.file("f");
  FaultInjectingFileSystem fs;
  BufferedWriter writer = open_writer(fs, path);
  fs.fail_writes_after(10, ENOSPC);
  fs.fail_nth(FsOp::Truncate, 1, EIO);
  EXPECT_FALSE(writer.write(bytes_of(9000, 'b')).ok());
  EXPECT_EQ(read_bytes(path).size(), 10u);  // the torn bytes could not be taken back

  fs.clear();
  ASSERT_TRUE(writer.write("ok"sv).ok());
  ASSERT_TRUE(writer.flush().ok());
  EXPECT_EQ(read_bytes(path), "ok");
}

TEST(BufferedWriterTest, FailedWriteOutKeepsTheUnwrittenBytesForARetry) {
  TempDir dir;
  const auto path = dir.file("f");
  FaultInjectingFileSystem fs;
  BufferedWriter writer = open_writer(fs, path);
  ASSERT_TRUE(writer.write(bytes_of(8000, 'a')).ok());
  fs.fail_writes_after(3000, ENOSPC);
  const WriteOutcome outcome = writer.write(bytes_of(500, 'b'));
  EXPECT_EQ(outcome.stage, WriteStage::WriteOut);
  EXPECT_EQ(read_bytes(path).size(), 3000u);
  EXPECT_EQ(writer.buffered(), 5000u);
  EXPECT_EQ(writer.end_offset(), 8000u);

  fs.clear();
  ASSERT_TRUE(writer.write(bytes_of(500, 'b')).ok());
  ASSERT_TRUE(writer.flush().ok());
  EXPECT_EQ(read_bytes(path), bytes_of(8000, 'a') + bytes_of(500, 'b'));
}

}  // namespace
}  // namespace tarnvault_core::storage::io
