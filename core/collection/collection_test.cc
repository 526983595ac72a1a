#include "core/collection/collection.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <algorithm>
#include <limits>
#include <map>
#include <span>
#include <thread>

#include "core/collection/collection_meta.h"
#include "core/collection/collection_test_support.h"
#include "core/storage/io/testing/fault_injecting_file_system.h"

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
// A delete is logged before it is applied: it holds after a reopen that
// replays the log as after one that follows a flush, and a later insert of
// the id brings it back.
TEST(CollectionDelete, IsLoggedAndHoldsAcrossReopens) {
  for (const bool flush_first : {false, true}) {
    SCOPED_TRACE(flush_first ? "flushed" : "replayed");
    TempDir dir;
    {
      auto c = open(dir.path());
      for (std::uint64_t id : {1, 2, 3}) {
        ASSERT_TRUE(c->insert(id, std::vector<float>{float(id), 0}, {}).ok());
      }
      if (flush_first) {
        ASSERT_TRUE(c->flush().ok());
      }
      auto removed = c->remove(2);
      ASSERT_TRUE(removed.ok());
      EXPECT_TRUE(*removed);
      auto again = c->remove(2);
      ASSERT_TRUE(again.ok());
      EXPECT_FALSE(*again);
      EXPECT_FALSE(c->contains(2));
      EXPECT_FALSE(c->get(2).has_value());
      EXPECT_EQ(ids_near(*c, {0, 0}), (std::vector<std::uint64_t>{1, 3}));
      // Inserted again in the same session and deleted again.
      ASSERT_TRUE(c->insert(3, std::vector<float>{9, 9}, {}).ok());
      ASSERT_TRUE(*c->remove(3));
    }
    {
      auto c = open(dir.path());
      EXPECT_EQ(c->ids(), (std::vector<std::uint64_t>{1}));
      ASSERT_TRUE(c->insert(2, std::vector<float>{5, 5}, {}).ok());
      ASSERT_TRUE(c->flush().ok());
    }
    auto c = open(dir.path());
    EXPECT_TRUE(holds(*c, 2, {5, 5}));
    EXPECT_EQ(c->len(), 2u);
  }
}

TEST(CollectionLookup, GetReturnsTheStoredVectorAndPayload) {
  TempDir dir;
  auto c = open(dir.path());
  Payload payload;
  payload.data["tag"] = JsonValue::string("x");
  ASSERT_TRUE(c->insert(9, std::vector<float>{0.1f, -2.5f}, payload).ok());
  ASSERT_TRUE(c->insert(4, std::vector<float>{1, 1}, {}).ok());
  auto got = c->get(9);
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(got->first, (std::vector<float>{0.1f, -2.5f}));
  EXPECT_EQ(got->second, payload);
  EXPECT_TRUE(c->contains(4));
  EXPECT_FALSE(c->get(5).has_value());
  EXPECT_EQ(c->ids(), (std::vector<std::uint64_t>{9, 4}));
}

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

namespace tarnvault_core::collection {
namespace {

using namespace testing;
using storage::io::FaultInjectingFileSystem;
using storage::io::FsOp;

// 1,000 pairs at dimension 128, some ids repeated: about 1.6 MiB of log,
// so more than one run of the log.
constexpr std::size_t kBatchDimension = 128;
struct BatchInput {
  std::vector<std::uint64_t> ids;
  std::vector<std::vector<float>> vectors;
  Collection::VectorAt vector_at() const {
    return [this](std::size_t i) { return std::span<const float>(vectors[i]); };
  }
};

BatchInput batch_input(std::size_t count = 1000, std::size_t dimension = kBatchDimension) {
  BatchInput input;
  for (std::size_t i = 0; i < count; ++i) {
    input.ids.push_back(i % 7 == 3 ? i / 2 : i);
    std::vector<float> vector(dimension);
    for (std::size_t j = 0; j < dimension; ++j) {
      vector[j] = static_cast<float>(i * 131 + j) / 7.0f - 300.0f;
    }
    input.vectors.push_back(std::move(vector));
  }
  return input;
}

// A batch is insert() once per pair in all but its syncs: the same log
// bytes, the same data file bytes, the same collection after a reopen.
TEST(CollectionBatch, WritesTheFilesOfOneInsertPerPair) {
  const BatchInput input = batch_input();
  TempDir one_by_one;
  TempDir batched;
  {
    auto a = open(one_by_one.path(), config(kBatchDimension));
    for (std::size_t i = 0; i < input.ids.size(); ++i) {
      ASSERT_TRUE(a->insert(input.ids[i], input.vectors[i], {}).ok());
    }
    auto b = open(batched.path(), config(kBatchDimension));
    ASSERT_TRUE(b->insert_batch(input.ids, input.vector_at()).ok());
    EXPECT_EQ(b->len(), a->len());
    EXPECT_EQ(b->next_id(), a->next_id());
  }
  EXPECT_EQ(read_bytes(files(batched).wal), read_bytes(files(one_by_one).wal));
  EXPECT_EQ(read_bytes(files(batched).data), read_bytes(files(one_by_one).data));
  auto reopened = open(batched.path(), config(kBatchDimension));
  std::map<std::uint64_t, std::size_t> last_write;
  for (std::size_t i = 0; i < input.ids.size(); ++i) last_write[input.ids[i]] = i;
  EXPECT_EQ(reopened->len(), last_write.size());
  for (const auto& [id, i] : last_write) EXPECT_TRUE(holds(*reopened, id, input.vectors[i])) << id;
}

// Group commit: the Batched log syncs once for a batch, not every 100
// records, and leaves no more than 99 records unsynced: a batch of 99 leaves
// them all, and the next insert syncs. Never does not sync.
TEST(CollectionBatch, SyncsOncePerGroup) {
  struct Case {
    SyncMode mode;
    std::size_t count;
    std::size_t syncs;
    std::size_t syncs_with_one_more;  // after one insert() that follows
  };
  for (const Case& c :
       {Case{SyncMode::Batched, 1000, 1, 1}, Case{SyncMode::Batched, 99, 0, 1},
        Case{SyncMode::Always, 1000, 1, 2}, Case{SyncMode::Never, 1000, 0, 0}}) {
    TempDir dir;
    FaultInjectingFileSystem fs;
    auto opened = Collection::open_or_create(dir.path(), config(kBatchDimension, DistanceMetric::Euclidean, c.mode), fs);
    ASSERT_TRUE(opened.ok());
    const BatchInput input = batch_input(c.count);
    const std::size_t before = fs.calls(FsOp::Fsync);
    ASSERT_TRUE(opened.value()->insert_batch(input.ids, input.vector_at()).ok());
    EXPECT_EQ(fs.calls(FsOp::Fsync) - before, c.syncs) << c.count;
    ASSERT_TRUE(opened.value()->insert(5000, input.vectors[0], {}).ok());
    EXPECT_EQ(fs.calls(FsOp::Fsync) - before, c.syncs_with_one_more) << c.count;
  }
}

// The pairs before a refused one are inserted and logged; nothing of it or
// after it is.
TEST(CollectionBatch, StopsAtTheFirstRefusedPair) {
  for (const float bad : {std::nanf(""), std::numeric_limits<float>::infinity()}) {
    for (const bool wrong_length : {false, true}) {
      BatchInput input = batch_input();
      if (wrong_length) {
        input.vectors[700].pop_back();
      } else {
        input.vectors[700][5] = bad;
      }
      TempDir dir;
      {
        auto c = open(dir.path(), config(kBatchDimension));
        const Status status = c->insert_batch(input.ids, input.vector_at());
        ASSERT_FALSE(status.ok());
        EXPECT_EQ(status.error().kind(),
                  wrong_length ? ErrorKind::DimensionMismatch : ErrorKind::WalCorrupted);
        EXPECT_TRUE(holds(*c, input.ids[699], input.vectors[699]));
        EXPECT_FALSE(c->offset_of(700).has_value());
        EXPECT_FALSE(c->offset_of(999).has_value());
      }
      EXPECT_EQ(Wal::read_all(files(dir).wal)->size(), 700u);
    }
  }
}

// A log write that fails leaves the collection as it was before the run;
// the collection still works and reopens.
TEST(CollectionBatch, FailedLogWriteKeepsTheEarlierRuns) {
  TempDir dir;
  FaultInjectingFileSystem fs;
  auto opened = Collection::open_or_create(dir.path(), config(kBatchDimension), fs);
  ASSERT_TRUE(opened.ok());
  auto& c = *opened.value();
  // 2,000 pairs: runs of a mebibyte or more, so that each goes to the file
  // in a write of its own, past the log's buffer.
  const BatchInput input = batch_input(2000);
  fs.fail_nth(FsOp::Pwrite, 2, ENOSPC);  // the second run of the log
  const Status status = c.insert_batch(input.ids, input.vector_at());
  ASSERT_FALSE(status.ok());
  EXPECT_EQ(status.error().text().rfind("write data failed: ", 0), 0u) << status.error().text();
  const std::size_t held = c.len();
  EXPECT_GT(held, 0u);
  EXPECT_LT(held, 2000u);
  EXPECT_GE(Wal::read_all(files(dir).wal)->size(), held);  // the first run, some ids twice
  fs.clear();
  ASSERT_TRUE(c.flush().ok());
  opened.value().reset();
  EXPECT_EQ(open(dir.path(), config(kBatchDimension))->len(), held);
}

}  // namespace
}  // namespace tarnvault_core::collection
