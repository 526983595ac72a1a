// Collection::open: an existing collection opened as its meta.json records
// it, for writing or read-only. A read-only open changes no byte of any file,
// not even to cut a torn tail, shares the directory with other read-only
// opens and is excluded by a writer and excludes one.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <string>

#include "core/collection/collection.h"
#include "core/collection/collection_test_support.h"

namespace tarnvault_core::collection {
namespace {

using namespace testing;

struct Snapshot {
  std::string meta, wal, data;
  friend bool operator==(const Snapshot&, const Snapshot&) = default;
};

Snapshot snapshot(const TempDir& dir) {
  const CollectionFiles f = files(dir);
  return {read_bytes(f.meta), read_bytes(f.wal), read_bytes(f.data)};
}

std::vector<std::uint64_t> sorted_ids(const Collection& c) {
  std::vector<std::uint64_t> ids = c.ids();
  std::sort(ids.begin(), ids.end());
  return ids;
}

std::unique_ptr<Collection> open_read_only(const TempDir& dir) {
  auto opened = Collection::open(dir.path(), OpenOptions{SyncMode::Batched, true});
  EXPECT_TRUE(opened.ok()) << opened.error().message();
  return opened.ok() ? std::move(opened).value() : nullptr;
}

// Flushed records, then a logged insert, replacement and delete to replay,
// in a cosine collection of dimension 3.
void make_collection(const TempDir& dir) {
  auto c = open(dir.path(), config(3, DistanceMetric::Cosine));
  for (std::uint64_t id : {1, 2, 3}) {
    ASSERT_TRUE(c->insert(id, std::vector<float>{float(id), 1, 0}, {}).ok());
  }
  ASSERT_TRUE(c->flush().ok());
  ASSERT_TRUE(c->insert(4, std::vector<float>{0, 0, 4}, {}).ok());
  ASSERT_TRUE(c->insert(1, std::vector<float>{0, 1, 1}, {}).ok());
  ASSERT_TRUE(*c->remove(2));
}

TEST(CollectionOpen, TakesDimensionAndMetricFromMeta) {
  TempDir dir;
  make_collection(dir);
  auto opened = Collection::open(dir.path());
  ASSERT_TRUE(opened.ok()) << opened.error().message();
  EXPECT_EQ((*opened)->config().dimension, 3u);
  EXPECT_EQ((*opened)->config().metric, DistanceMetric::Cosine);
  EXPECT_EQ(sorted_ids(**opened), (std::vector<std::uint64_t>{1, 3, 4}));
}

TEST(CollectionOpen, ADirectoryWithoutACollectionIsRefusedAndNothingIsCreated) {
  TempDir dir;
  for (const auto& path : {dir.path() / "missing", dir.path()}) {
    for (const bool read_only : {false, true}) {
      auto opened = Collection::open(path, OpenOptions{SyncMode::Batched, read_only});
      ASSERT_FALSE(opened.ok());
      EXPECT_EQ(opened.error().message(), "collection error: no collection at " + path.string());
    }
  }
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "missing"));
  EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}

TEST(CollectionReadOnly, ReplaysInMemoryAndChangesNoFile) {
  TempDir dir;
  make_collection(dir);
  // Torn tails that a writer would cut off.
  storage::io::testing::append_bytes(files(dir).wal, read_bytes(files(dir).wal).substr(0, 40));
  storage::io::testing::append_bytes(files(dir).data, std::string(5, '\0'));
  const Snapshot before = snapshot(dir);
  {
    auto c = open_read_only(dir);
    ASSERT_NE(c, nullptr);
    EXPECT_TRUE(c->read_only());
    EXPECT_EQ(sorted_ids(*c), (std::vector<std::uint64_t>{1, 3, 4}));
    EXPECT_EQ(c->get(1)->first, (std::vector<float>{0, 1, 1}));
    EXPECT_EQ(c->next_id(), 5u);
    const std::string refused = "collection error: collection is read-only";
    EXPECT_EQ(c->insert(9, std::vector<float>{1, 1, 1}, {}).error().message(), refused);
    EXPECT_EQ(c->remove(1).error().message(), refused);
    EXPECT_EQ(c->flush().error().message(), refused);
  }
  EXPECT_EQ(snapshot(dir), before);
  // A writer then sees the same collection.
  auto writer = Collection::open(dir.path());
  ASSERT_TRUE(writer.ok()) << writer.error().message();
  EXPECT_EQ(sorted_ids(**writer), (std::vector<std::uint64_t>{1, 3, 4}));
}

// What an open of dir in a child process reports: 0 opened, 1 refused as
// already open, 2 anything else.
int open_in_child(const TempDir& dir, bool read_only) {
  const pid_t pid = fork();
  if (pid == 0) {
    auto opened = Collection::open(dir.path(), OpenOptions{SyncMode::Batched, read_only});
    const bool refused = !opened.ok() && opened.error().message().find("is already open") !=
                                             std::string::npos;
    _exit(opened.ok() ? 0 : refused ? 1 : 2);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(CollectionReadOnly, ReadersShareTheDirectoryAndExcludeWriters) {
  TempDir dir;
  make_collection(dir);
  {
    auto first = open_read_only(dir);
    auto second = open_read_only(dir);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(open_in_child(dir, true), 0);
    EXPECT_EQ(open_in_child(dir, false), 1);
    EXPECT_FALSE(Collection::open(dir.path()).ok());
  }
  {
    auto writer = Collection::open(dir.path());
    ASSERT_TRUE(writer.ok());
    EXPECT_EQ(open_in_child(dir, true), 1);
    EXPECT_FALSE(Collection::open(dir.path(), OpenOptions{SyncMode::Batched, true}).ok());
  }
  EXPECT_EQ(open_in_child(dir, true), 0);
}

}  // namespace
}  // namespace tarnvault_core::collection
