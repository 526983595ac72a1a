#include "core/storage/io/file.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <string>

#include <gtest/gtest.h>

#include "core/storage/io/buffered_reader.h"
#include "core/storage/io/fault_injecting_file_system.h"
#include "core/storage/io/test_support.h"

namespace tarnvault_core::storage::io {
namespace {

using testing::TempDir;
using namespace std::string_view_literals;
using testing::write_bytes;

TEST(FileTest, SyncAndWritesAreRetriedWhenInterrupted) {
  TempDir dir;
  FaultInjectingFileSystem fs;
  auto file = File::open(fs, dir.file("f"), O_RDWR | O_CREAT);
  ASSERT_TRUE(file.ok());
  fs.fail_nth(FsOp::Fsync, 1, EINTR);
  EXPECT_TRUE(file.value.sync().ok());
  EXPECT_EQ(fs.calls(FsOp::Fsync), 2u);
  fs.fail_nth(FsOp::Pwrite, 1, EINTR);
  EXPECT_TRUE(file.value.pwrite_all("abc"sv, 0).status.ok());
  EXPECT_EQ(file.value.size().value, 3u);
}

TEST(FileTest, CreatedFilesAreCloseOnExecWithMode0666LessUmask) {
  TempDir dir;
  const mode_t old_umask = umask(027);
  auto file = File::open(default_file_system(), dir.file("f"), O_RDWR | O_CREAT);
  umask(old_umask);
  ASSERT_TRUE(file.ok());
  EXPECT_EQ(std::filesystem::status(dir.file("f")).permissions(),
            std::filesystem::perms(0640));
  // The descriptor number is private to File; find it by reopening /proc.
  bool found_cloexec = false;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code ec;
    if (std::filesystem::read_symlink(entry.path(), ec) == dir.file("f")) {
      const int fd = std::stoi(entry.path().filename().string());
      found_cloexec = (fcntl(fd, F_GETFD) & FD_CLOEXEC) != 0;
    }
  }
  EXPECT_TRUE(found_cloexec);
}

class BufferedReaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (int i = 0; i < 20000; ++i) content_.push_back(static_cast<char>(i * 7));
    write_bytes(dir_.file("f"), content_);
    auto opened = File::open(fs_, dir_.file("f"), O_RDONLY);
    ASSERT_TRUE(opened.ok());
    file_ = std::move(opened.value);
  }

  TempDir dir_;
  FaultInjectingFileSystem fs_;
  File file_;
  std::string content_;
};

TEST_F(BufferedReaderTest, ReadsAcrossBufferBoundariesAndLargeSpans) {
  BufferedReader reader(file_, 3, content_.size());
  std::string a(8190, '\0'), b(10, '\0'), c(9000, '\0');
  ASSERT_TRUE(reader.read_exact(a).ok());
  ASSERT_TRUE(reader.read_exact(b).ok());
  ASSERT_TRUE(reader.read_exact(c).ok());
  EXPECT_EQ(a + b + c, content_.substr(3, a.size() + b.size() + c.size()));
  EXPECT_EQ(reader.position(), 3u + 8190 + 10 + 9000);
}

TEST_F(BufferedReaderTest, NeverReadsPastTheLimit) {
  BufferedReader reader(file_, 0, 100);
  std::string head(96, '\0');
  ASSERT_TRUE(reader.read_exact(head).ok());
  std::uint64_t value = 0;
  EXPECT_TRUE(reader.read_u64(value).is_end_of_file());
  EXPECT_EQ(reader.remaining(), 4u);
}

TEST_F(BufferedReaderTest, RefusesAnOversizedReadWithoutTouchingTheFile) {
  BufferedReader reader(file_, 0, content_.size());
  const std::size_t before = fs_.calls(FsOp::Pread);
  std::string huge(content_.size() + 1, '\0');
  EXPECT_TRUE(reader.read_exact(huge).is_end_of_file());
  EXPECT_EQ(fs_.calls(FsOp::Pread), before);
}

}  // namespace
}  // namespace tarnvault_core::storage::io
