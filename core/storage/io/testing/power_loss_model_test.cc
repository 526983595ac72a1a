#include <fcntl.h>

#include <cerrno>
#include <string>

#include <gtest/gtest.h>

#include "core/storage/io/directory.h"
#include "core/storage/io/testing/fault_injecting_file_system.h"
#include "core/storage/io/file_system.h"
#include "core/storage/io/testing/test_support.h"

namespace tarnvault_core::storage::io {
namespace {

using testing::read_bytes;
using testing::TempDir;
using testing::write_bytes;
using namespace std::string_view_literals;

void append(std::unique_ptr<RandomAccessFile>& file, std::string_view bytes) {
  auto size = file->size();
  ASSERT_TRUE(size.ok());
  ASSERT_TRUE(file->pwrite_all(bytes, *size).status.ok());
}

// "synced" reached the disk by fsync, "unsynced" after it did not.
TEST(PowerLossTest, UnsyncedBytesAreLostOrZeroedOrTorn) {
  struct Case {
    PowerLoss mode;
    std::string survives;
  };
  const Case cases[] = {
      {PowerLoss::DropUnsynced, "synced"},
      {PowerLoss::ZeroUnsynced, std::string("synced") + std::string(8, '\0')},
      {PowerLoss::TornUnsynced, std::string("syncedunsy") + std::string(4, '\0')},
  };
  for (const Case& c : cases) {
    TempDir dir;
    write_bytes(dir.file("f"), "");  // exists before tracking: durable
    FaultInjectingFileSystem fs;
    fs.track_durability();
    {
      auto file = open_file(fs, dir.file("f"), O_WRONLY);
      ASSERT_TRUE(file.ok());
      append(*file, "synced");
      ASSERT_TRUE((*file)->sync().ok());
      append(*file, "unsynced");
    }
    ASSERT_TRUE(fs.lose_power(c.mode).ok());
    EXPECT_EQ(read_bytes(dir.file("f")), c.survives);
  }
}

// A name created or renamed in a directory survives only once the
// directory is synced; a synced file whose name was never synced is lost.
TEST(PowerLossTest, NamesNeedTheirDirectorySynced) {
  for (bool sync_dir : {false, true}) {
    TempDir dir;
    write_bytes(dir.file("old"), "old");
    FaultInjectingFileSystem fs;
    fs.track_durability();
    std::vector<std::filesystem::path> made;
    ASSERT_TRUE(create_directories(fs, dir.path() / "sub", made).ok());
    {
      auto file = open_file(fs, dir.path() / "sub" / "new", O_WRONLY | O_CREAT);
      ASSERT_TRUE(file.ok());
      append(*file, "new");
      ASSERT_TRUE((*file)->sync().ok());
      auto tmp = open_file(fs, dir.file("tmp"), O_WRONLY | O_CREAT);
      append(*tmp, "replacement");
      ASSERT_TRUE((*tmp)->sync().ok());
    }
    ASSERT_TRUE(fs.rename(dir.file("tmp"), dir.file("old")).ok());
    if (sync_dir) {
      ASSERT_TRUE(sync_directory(fs, dir.path() / "sub").ok());
      ASSERT_TRUE(sync_directory(fs, dir.path()).ok());
    }
    ASSERT_TRUE(fs.lose_power(PowerLoss::DropUnsynced).ok());
    EXPECT_EQ(std::filesystem::exists(dir.path() / "sub" / "new"), sync_dir);
    EXPECT_EQ(read_bytes(dir.file("old")), sync_dir ? "replacement" : "old");
    EXPECT_FALSE(std::filesystem::exists(dir.file("tmp")));
  }
}

TEST(PowerLossTest, AStoppedMachineChangesNothingMore) {
  TempDir dir;
  FaultInjectingFileSystem fs;
  auto file = open_file(fs, dir.file("f"), O_WRONLY | O_CREAT);
  ASSERT_TRUE(file.ok());
  EXPECT_EQ(fs.changes(), 1u);
  fs.stop_after_changes(1);
  EXPECT_TRUE((*file)->pwrite_all("a"sv, 0).status.ok());
  EXPECT_TRUE(fs.stopped());
  EXPECT_EQ((*file)->pwrite_all("b"sv, 1).status.error(), Error::os_error(EIO));
  EXPECT_EQ((*file)->sync().error(), Error::os_error(EIO));
  EXPECT_EQ(read_bytes(dir.file("f")), "a");
}

}  // namespace
}  // namespace tarnvault_core::storage::io
