#include "core/storage/io/file.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "core/storage/io/testing/fault_injecting_file_system.h"
#include "core/storage/io/testing/test_support.h"

namespace tarnvault_core::storage::io {
namespace {

using testing::read_bytes;
using testing::TempDir;
using testing::write_bytes;
using namespace std::string_view_literals;

// ---- RandomAccessFile ----------------------------------------------------------

TEST(RandomAccessFileTest, SyncAndWritesAreRetriedWhenInterrupted) {
  TempDir dir;
  FaultInjectingFileSystem fs;
  auto file = open_file(fs, dir.file("f"), O_RDWR | O_CREAT);
  ASSERT_TRUE(file.ok());
  fs.fail_nth(FsOp::Fsync, 1, EINTR);
  EXPECT_TRUE((*file)->sync().ok());
  EXPECT_EQ(fs.calls(FsOp::Fsync), 2u);
  fs.fail_nth(FsOp::Pwrite, 1, EINTR);
  EXPECT_TRUE((*file)->pwrite_all("abc"sv, 0).status.ok());
  EXPECT_EQ(*(*file)->size(), 3u);
}

TEST(RandomAccessFileTest, CreatedFilesAreCloseOnExecWithMode0666LessUmask) {
  TempDir dir;
  const mode_t old_umask = umask(027);
  auto file = open_file(default_file_system(), dir.file("f"), O_RDWR | O_CREAT);
  umask(old_umask);
  ASSERT_TRUE(file.ok());
  EXPECT_EQ(std::filesystem::status(dir.file("f")).permissions(),
            std::filesystem::perms(0640));
  // The descriptor number is private to the file; find it through /proc.
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

// ---- WritableFile --------------------------------------------------------------

WritableFile open_writer(FileSystem& fs, const std::filesystem::path& path,
                         std::size_t capacity = kBufferSize) {
  auto file = open_file(fs, path, O_RDWR | O_APPEND | O_CREAT);
  EXPECT_TRUE(file.ok());
  auto size = (*file)->size();
  return WritableFile(std::move(file).value(), *size, capacity);
}

std::string bytes_of(std::size_t n, char fill) { return std::string(n, fill); }

struct WriteOutCase {
  const char* name;
  std::vector<std::size_t> writes;
  std::size_t file_bytes_after;  // what reached the file after the last write
};

// The cases for a buffer of `capacity` bytes (at least 1000).
std::vector<WriteOutCase> write_out_cases(std::size_t capacity) {
  const std::size_t most = capacity - 192;
  const std::size_t large = capacity + 808;
  return {
      {"small writes stay buffered", {100, 200}, 0},
      {"filling the buffer exactly stays buffered", {most, 192}, 0},
      {"a whole buffer into an empty one is copied", {capacity}, 0},
      {"overflow writes out the earlier bytes only", {most, 193}, most},
      {"large write goes straight through after the buffer", {10, large}, 10 + large},
      {"large write into an empty buffer goes straight through", {large}, large},
      {"bytes after a straight-through write are buffered", {large, 5}, large},
  };
}

TEST(WritableFileTest, WritesOutOnlyWhenAnAppendDoesNotFit) {
  for (std::size_t capacity : {kBufferSize, std::size_t{1000}, std::size_t{256} << 10}) {
    for (const auto& c : write_out_cases(capacity)) {
      SCOPED_TRACE(std::to_string(capacity) + ": " + c.name);
      TempDir dir;
      const auto path = dir.file("f");
      WritableFile writer = open_writer(default_file_system(), path, capacity);
      EXPECT_EQ(writer.capacity(), capacity);
      std::size_t total = 0;
      for (std::size_t n : c.writes) {
        ASSERT_TRUE(writer.append(bytes_of(n, 'a')).ok());
        total += n;
      }
      EXPECT_EQ(read_bytes(path).size(), c.file_bytes_after);
      EXPECT_EQ(writer.end_offset(), total);
      ASSERT_TRUE(writer.flush().ok());
      EXPECT_EQ(read_bytes(path).size(), total);
    }
  }
}

TEST(WritableFileTest, ReplacedFileTakesTheLaterBytes) {
  TempDir dir;
  WritableFile writer = open_writer(default_file_system(), dir.file("a"), 1000);
  ASSERT_TRUE(writer.append(bytes_of(300, 'a')).ok());
  ASSERT_TRUE(writer.flush().ok());
  auto other = open_file(default_file_system(), dir.file("b"), O_RDWR | O_CREAT);
  ASSERT_TRUE(other.ok());
  writer.replace_file(std::move(other).value(), 0);
  EXPECT_EQ(writer.capacity(), 1000u);
  EXPECT_EQ(writer.end_offset(), 0u);
  ASSERT_TRUE(writer.append(bytes_of(900, 'b')).ok());
  EXPECT_EQ(read_bytes(dir.file("b")), "");
  ASSERT_TRUE(writer.append(bytes_of(200, 'c')).ok());
  EXPECT_EQ(read_bytes(dir.file("b")), bytes_of(900, 'b'));
  ASSERT_TRUE(writer.flush().ok());
  EXPECT_EQ(read_bytes(dir.file("a")), bytes_of(300, 'a'));
  EXPECT_EQ(read_bytes(dir.file("b")), bytes_of(900, 'b') + bytes_of(200, 'c'));
}

TEST(WritableFileTest, RollbackThatFailsIsRetriedBeforeTheNextWriteOut) {
  TempDir dir;
  const auto path = dir.file("f");
  FaultInjectingFileSystem fs;
  WritableFile writer = open_writer(fs, path);
  fs.fail_writes_after(10, ENOSPC);
  fs.fail_nth(FsOp::Truncate, 1, EIO);
  EXPECT_FALSE(writer.append(bytes_of(9000, 'b')).ok());
  EXPECT_EQ(read_bytes(path).size(), 10u);  // the torn bytes could not be taken back

  fs.clear();
  ASSERT_TRUE(writer.append("ok"sv).ok());
  ASSERT_TRUE(writer.flush().ok());
  EXPECT_EQ(read_bytes(path), "ok");
}

TEST(WritableFileTest, FailedWriteOutKeepsTheUnwrittenBytesForARetry) {
  TempDir dir;
  const auto path = dir.file("f");
  FaultInjectingFileSystem fs;
  WritableFile writer = open_writer(fs, path);
  ASSERT_TRUE(writer.append(bytes_of(8000, 'a')).ok());
  fs.fail_writes_after(3000, ENOSPC);
  const WriteOutcome outcome = writer.append(bytes_of(500, 'b'));
  EXPECT_EQ(outcome.stage, WriteStage::WriteOut);
  EXPECT_EQ(read_bytes(path).size(), 3000u);
  EXPECT_EQ(writer.buffered(), 5000u);
  EXPECT_EQ(writer.end_offset(), 8000u);

  fs.clear();
  ASSERT_TRUE(writer.append(bytes_of(500, 'b')).ok());
  ASSERT_TRUE(writer.flush().ok());
  EXPECT_EQ(read_bytes(path), bytes_of(8000, 'a') + bytes_of(500, 'b'));
}

// Keeps the file in memory and records the writeback hints it is given.
class HintRecordingFile final : public RandomAccessFile {
 public:
  explicit HintRecordingFile(std::size_t initial_size) : bytes_(initial_size, 'x') {}

  Result<std::size_t> pwrite(const void* data, std::size_t size, std::uint64_t offset) override {
    if (offset + size > bytes_.size()) bytes_.resize(offset + size);
    bytes_.replace(offset, size, static_cast<const char*>(data), size);
    return size;
  }
  Result<std::size_t> pread(void*, std::size_t, std::uint64_t) override { return std::size_t{0}; }
  Status fsync() override { return {}; }
  Result<std::uint64_t> size() override { return bytes_.size(); }
  Status truncate(std::uint64_t length) override {
    bytes_.resize(length);
    return {};
  }
  Status lock(LockKind) override { return {}; }
  Status close() override { return {}; }
  void start_writeback(std::uint64_t offset, std::uint64_t length) override {
    // Only bytes that are in the file can be handed on.
    EXPECT_LE(offset + length, bytes_.size());
    hints_->emplace_back(offset, length);
  }

  std::string bytes_;
  std::vector<std::pair<std::uint64_t, std::uint64_t>>* hints_ = nullptr;
};

struct WritebackCase {
  const char* name;
  std::size_t initial_size;
  std::size_t append_size;
  std::size_t appends;
  bool truncate_to_zero_first;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> hints;  // (offset, length)
};

TEST(WritableFileTest, HandsEachWrittenMebibyteToWritebackOnce) {
  constexpr std::uint64_t kMiB = std::uint64_t{1} << 20;
  const WritebackCase cases[] = {
      {"less than a mebibyte is not hinted", 0, 8000, 100, false, {}},
      // 8000-byte appends reach the file one buffer at a time: the 132nd
      // write-out crosses the mebibyte.
      {"buffered write-outs are gathered", 0, 8000, 200, false, {{0, 132 * 8000}}},
      {"straight-through writes are hinted whole", 0, kMiB, 3, false,
       {{0, kMiB}, {kMiB, kMiB}, {2 * kMiB, kMiB}}},
      {"hints start where the file ended when opened", 100, kMiB, 1, false, {{100, kMiB}}},
      {"a truncation restarts the count", 3 * kMiB, kMiB, 1, true, {{0, kMiB}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::pair<std::uint64_t, std::uint64_t>> hints;
    auto file = std::make_unique<HintRecordingFile>(c.initial_size);
    file->hints_ = &hints;
    HintRecordingFile* const raw = file.get();
    WritableFile writer(std::move(file), c.initial_size);
    if (c.truncate_to_zero_first) {
      ASSERT_TRUE(writer.truncate(0).ok());
    }
    for (std::size_t i = 0; i < c.appends; ++i) {
      ASSERT_TRUE(writer.append(bytes_of(c.append_size, 'a')).ok());
    }
    ASSERT_TRUE(writer.flush().ok());
    EXPECT_EQ(hints, c.hints);
    EXPECT_EQ(raw->bytes_.size(),
              (c.truncate_to_zero_first ? 0 : c.initial_size) + c.append_size * c.appends);
  }
}

// ---- SequentialFile ------------------------------------------------------------

class SequentialFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (int i = 0; i < 20000; ++i) content_.push_back(static_cast<char>(i * 7));
    write_bytes(dir_.file("f"), content_);
    auto opened = open_file(fs_, dir_.file("f"), O_RDONLY);
    ASSERT_TRUE(opened.ok());
    file_ = std::move(opened).value();
  }

  TempDir dir_;
  FaultInjectingFileSystem fs_;
  std::unique_ptr<RandomAccessFile> file_;
  std::string content_;
};

TEST_F(SequentialFileTest, ReadsAcrossBufferBoundariesAndLargeSpans) {
  SequentialFile reader(*file_, 3, content_.size());
  std::string a(8190, '\0'), b(10, '\0'), c(9000, '\0');
  ASSERT_TRUE(reader.read_exact(a).ok());
  ASSERT_TRUE(reader.read_exact(b).ok());
  ASSERT_TRUE(reader.read_exact(c).ok());
  EXPECT_EQ(a + b + c, content_.substr(3, a.size() + b.size() + c.size()));
  EXPECT_EQ(reader.position(), 3u + 8190 + 10 + 9000);
}

TEST_F(SequentialFileTest, NeverReadsPastTheLimit) {
  SequentialFile reader(*file_, 0, 100);
  std::string head(96, '\0');
  ASSERT_TRUE(reader.read_exact(head).ok());
  std::uint64_t value = 0;
  EXPECT_TRUE(reader.read_u64(value).error().is_end_of_file());
  EXPECT_EQ(reader.remaining(), 4u);
}

TEST_F(SequentialFileTest, RefusesAnOversizedReadWithoutTouchingTheFile) {
  SequentialFile reader(*file_, 0, content_.size());
  const std::size_t before = fs_.calls(FsOp::Pread);
  std::string huge(content_.size() + 1, '\0');
  EXPECT_TRUE(reader.read_exact(huge).error().is_end_of_file());
  EXPECT_TRUE(reader.ensure(huge.size()).error().is_end_of_file());
  EXPECT_EQ(fs_.calls(FsOp::Pread), before);
}

}  // namespace
}  // namespace tarnvault_core::storage::io
