#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include "core/collection/collection.h"
#include "core/collection/collection_test_support.h"

namespace tarnvault_core::collection {
namespace {

using namespace testing;

std::string already_open(const TempDir& dir) {
  return "collection error: lock failed: collection at " + dir.path().string() +
         " is already open";
}

// What an open of dir in a child process reports: 0 opened, 1 refused as
// already open, 2 anything else.
int open_in_child(const TempDir& dir) {
  const pid_t pid = fork();
  if (pid == 0) {
    auto opened = Collection::open_or_create(dir.path(), config());
    const bool refused = !opened.ok() && opened.error().message() == already_open(dir);
    _exit(opened.ok() ? 0 : refused ? 1 : 2);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(CollectionLock, ASecondOpenIsRefusedWhileTheFirstLives) {
  TempDir dir;
  auto first = open(dir.path());
  ASSERT_TRUE(first->insert(1, std::vector<float>{1, 1}, {}).ok());

  auto second = Collection::open_or_create(dir.path(), config());
  ASSERT_FALSE(second.ok());
  EXPECT_EQ(second.error().kind(), ErrorKind::CollectionError);
  EXPECT_EQ(second.error().message(), already_open(dir));
  EXPECT_EQ(open_in_child(dir), 1);

  // The refused opener touched nothing the first one relies on.
  ASSERT_TRUE(first->insert(2, std::vector<float>{2, 2}, {}).ok());
  ASSERT_TRUE(first->flush().ok());
  first.reset();

  EXPECT_EQ(open_in_child(dir), 0);
  auto again = open(dir.path());
  EXPECT_EQ(ids_near(*again, {0, 0}), (std::vector<std::uint64_t>{1, 2}));
}

TEST(CollectionLock, AFailedOpenReleasesTheLock) {
  TempDir dir;
  { auto c = open(dir.path()); }
  // A complete log record with a wrong checksum, followed by a good one,
  // fails recovery after the lock was taken.
  write_bytes(files(dir).wal, std::string("\x01\x01\x01\x01\x01\x00\x00\x00x", 9));
  write_wal(files(dir).wal, {wal_entry(WalEntryKind::Insert, 1, {1, 1})});
  ASSERT_FALSE(Collection::open_or_create(dir.path(), config()).ok());
  write_bytes(files(dir).wal, "");
  EXPECT_NE(open(dir.path()), nullptr);
}

}  // namespace
}  // namespace tarnvault_core::collection
