#include "core/collection/collection.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <limits>
#include <thread>

#include "core/collection/collection_meta.h"
#include "core/collection/collection_test_support.h"
#include "core/storage/io/fault_injecting_file_system.h"

namespace tarnvault_core::collection {
namespace {

using namespace testing;
using storage::io::FaultInjectingFileSystem;
using storage::io::FsOp;

constexpr std::uint64_t kMaxId = std::numeric_limits<std::uint64_t>::max();
constexpr std::uint64_t kRecordSize = 36;  // dimension 2, empty payload

// Nothing of a refused insert may reach the log: a logged record the index
// refuses would fail every later open.
TEST(CollectionWrite, RefusedVectorsLeaveNoTrace) {
  const std::vector<std::vector<float>> cases = {
      {1, 2, 3},
      {},
      {std::nanf(""), 1},
      {std::numeric_limits<float>::infinity(), 1},
      {1, -std::numeric_limits<float>::infinity()},
  };
  for (const auto& vector : cases) {
    TempDir dir;
    {
      auto c = open(dir.path());
      ASSERT_TRUE(c->insert(7, std::vector<float>{1, 1}, {}).ok());
      auto status = c->insert(7, vector, {});
      ASSERT_FALSE(status.ok());
      if (vector.size() != 2) {
        EXPECT_EQ(status.error().message(),
                  "dimension mismatch: expected 2, got " + std::to_string(vector.size()));
      } else {
        EXPECT_EQ(status.error().kind(), ErrorKind::WalCorrupted);
        EXPECT_EQ(status.error().text().rfind("serialization failed: ", 0), 0u)
            << status.error().text();
      }
      if (vector.size() != 2) {
        // Replay goes through the apply operations: they refuse it too.
        EXPECT_FALSE(c->apply_insert_no_wal(7, vector, {}).ok());
        EXPECT_FALSE(c->apply_update_no_wal(7, vector, {}).ok());
      }
      EXPECT_TRUE(holds(*c, 7, {1, 1}));
      EXPECT_EQ(c->offset_of(7), 0u);
    }
    EXPECT_EQ(Wal::read_all(files(dir).wal)->size(), 1u);
    EXPECT_EQ(std::filesystem::file_size(files(dir).data), kRecordSize);
    auto reopened = open(dir.path());
    EXPECT_TRUE(holds(*reopened, 7, {1, 1}));
  }
}

// The earlier record is marked only once the replacement is durable: a
// mark that reached the disk before the replacement would lose the id.
TEST(CollectionWrite, ReinsertReplacesAndMarksTheEarlierRecordAtTheNextFlush) {
  TempDir dir;
  auto c = open(dir.path());
  ASSERT_TRUE(c->insert(5, std::vector<float>{1, 1}, {}).ok());
  ASSERT_TRUE(c->flush().ok());
  ASSERT_TRUE(c->insert(5, std::vector<float>{9, 9}, {}).ok());
  EXPECT_FALSE(deleted_at(files(dir).data, 0));
  EXPECT_EQ(c->len(), 1u);
  EXPECT_TRUE(holds(*c, 5, {9, 9}));
  EXPECT_EQ(c->offset_of(5), kRecordSize);
  ASSERT_TRUE(c->flush().ok());
  EXPECT_TRUE(deleted_at(files(dir).data, 0));
  EXPECT_FALSE(deleted_at(files(dir).data, kRecordSize));
}

TEST(CollectionWrite, NextIdIsOneMoreThanTheLargestInsertedId) {
  struct Case {
    std::vector<std::uint64_t> ids;
    std::uint64_t next_id;
  };
  const Case cases[] = {
      {{}, 1},
      {{0}, 1},
      {{41}, 42},
      {{41, 3}, 42},
      {{kMaxId}, 1},  // the increment wraps to 0, which raises nothing
      {{10, kMaxId, 2}, 11},
      {{kMaxId - 1}, kMaxId},
  };
  for (const Case& tc : cases) {
    TempDir dir;
    auto c = open(dir.path());
    for (std::uint64_t id : tc.ids) ASSERT_TRUE(c->insert(id, std::vector<float>{1, 2}, {}).ok());
    EXPECT_EQ(c->next_id(), tc.next_id);
  }
}

TEST(CollectionFlush, EmptiesTheLogAndRecordsTheSummary) {
  TempDir dir;
  auto c = open(dir.path(), config(2, DistanceMetric::Cosine));
  ASSERT_TRUE(c->insert(10, std::vector<float>{1, 0}, {}).ok());
  ASSERT_TRUE(c->insert(3, std::vector<float>{0, 1}, {}).ok());
  for (int round = 0; round < 2; ++round) {
    ASSERT_TRUE(c->flush().ok());
    EXPECT_EQ(std::filesystem::file_size(files(dir).wal), 0u);
    EXPECT_EQ(std::filesystem::file_size(files(dir).data), 2 * kRecordSize);
    auto meta = read_meta_file(files(dir).meta);
    ASSERT_TRUE(meta.ok());
    EXPECT_EQ(meta->dimension, 2u);
    EXPECT_EQ(meta->metric, "Cosine");
    EXPECT_EQ(meta->vector_count, 2u);
    EXPECT_EQ(meta->next_id, 11u);
  }
}

// The log may be emptied only once the data file holding its records is
// durable; a failure anywhere leaves the later steps undone.
TEST(CollectionFlush, AFailedStepLeavesTheLaterStepsUndone) {
  for (int failing_fsync : {1, 2}) {  // the data file's, then the log's
    TempDir dir;
    {
      FaultInjectingFileSystem fs;
      auto opened = Collection::open_or_create(
          dir.path(), config(2, DistanceMetric::Euclidean, SyncMode::Never), fs);
      ASSERT_TRUE(opened.ok());
      auto& c = *opened.value();
      ASSERT_TRUE(c.insert(4, std::vector<float>{1, 2}, {}).ok());
      const std::string meta_before = read_bytes(files(dir).meta);
      fs.fail_nth(FsOp::Fsync, failing_fsync, EIO);
      auto status = c.flush();
      ASSERT_FALSE(status.ok());
      EXPECT_EQ(status.error().message(), "io error: sync failed: Input/output error (os error 5)");
      EXPECT_EQ(read_bytes(files(dir).meta), meta_before);
    }
    EXPECT_GT(std::filesystem::file_size(files(dir).wal), 0u);
    auto reopened = open(dir.path());
    EXPECT_TRUE(holds(*reopened, 4, {1, 2}));
  }
}

// Writers of one id racing each other: whatever the interleaving, the index
// and the map must name the same record, in memory and after a reopen.
TEST(CollectionThreads, ConcurrentWritersKeepIndexAndMapInAgreement) {
  TempDir dir;
  auto c = open(dir.path(), config(2, DistanceMetric::Euclidean, SyncMode::Never));
  constexpr int kThreads = 4;
  constexpr int kRounds = 200;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&c, t] {
      for (int i = 0; i < kRounds; ++i) {
        const float tag = static_cast<float>(t * kRounds + i);
        EXPECT_TRUE(c->insert(1, std::vector<float>{tag, tag}, {}).ok());
        EXPECT_TRUE(c->insert(100 + t, std::vector<float>{tag, 0}, {}).ok());
        (void)c->search(std::vector<float>{tag, tag}, 3);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(c->len(), 1u + kThreads);
  ASSERT_TRUE(c->flush().ok());
  auto record = DataFile::open(files(dir).data)->read_at(*c->offset_of(1));
  ASSERT_TRUE(record.ok());
  EXPECT_FALSE(record->deleted);
  EXPECT_TRUE(holds(*c, 1, record->vector));
  c.reset();
  auto reopened = open(dir.path());
  EXPECT_EQ(reopened->len(), 1u + kThreads);
  EXPECT_TRUE(holds(*reopened, 1, record->vector));
}

}  // namespace
}  // namespace tarnvault_core::collection
