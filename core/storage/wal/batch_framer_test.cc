#include "core/storage/wal/batch_framer.h"

#include <cmath>
#include <new>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/storage/wal/wal_record.h"

namespace tarnvault_core::storage::wal {
namespace {

// Records of uneven size: vectors of 1 to 12 components, every fifth with
// a payload.
struct Batch {
  std::vector<std::vector<float>> vectors;
  std::vector<payload::Payload> payloads;

  explicit Batch(std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
      std::vector<float> vector(1 + i % 12);
      for (std::size_t j = 0; j < vector.size(); ++j) {
        vector[j] = static_cast<float>(i * 7 + j) / 3.0f - 50.0f;
      }
      vectors.push_back(std::move(vector));
      payload::Payload payload;
      if (i % 5 == 0) payload.data["n"] = JsonValue::string(std::string(i % 40, 'x'));
      payloads.push_back(std::move(payload));
    }
  }
  WalEntryRef entry(std::size_t i) const {
    return {WalEntryKind::Insert, 1000 + i, vectors[i], payloads[i]};
  }
};

struct FramerCase {
  const char* name;
  std::size_t count;
  BatchLimits limits;
  std::optional<std::size_t> bad;  // a record with a NaN component
  std::size_t min_groups;
};

// Whatever the limits, threads and groups, the framed bytes are those of
// append_record one record at a time, the batch ends at the first record
// that cannot be encoded with its error, and only the calling thread asks
// for entries.
TEST(BatchFramerTest, FramesTheBytesOfOneRecordAtATime) {
  const BatchLimits tiny{256, 2048, 512};    // many groups, halves on two threads
  const BatchLimits serial{256, 2048, 1 << 30};  // many groups, one thread
  const FramerCase cases[] = {
      {"default limits, small batch", 300, BatchLimits{}, std::nullopt, 1},
      {"tiny limits", 900, tiny, std::nullopt, 10},
      {"tiny limits, one thread", 900, serial, std::nullopt, 10},
      {"bad record in the first run", 900, tiny, 2, 1},
      {"bad record in a front half", 900, tiny, 400, 2},
      {"bad record in a back half", 900, tiny, 436, 2},
      {"bad last record", 900, tiny, 899, 2},
      {"bad first record", 900, tiny, 0, 1},
      {"one record", 1, tiny, std::nullopt, 1},
      {"no record", 0, tiny, std::nullopt, 0},
  };
  for (const FramerCase& c : cases) {
    SCOPED_TRACE(c.name);
    Batch batch(c.count);
    if (c.bad) batch.vectors[*c.bad].back() = std::nanf("");
    const std::size_t end = c.bad.value_or(c.count);
    std::string expected;
    for (std::size_t i = 0; i < end; ++i) ASSERT_TRUE(append_record(batch.entry(i), expected).ok());

    const std::thread::id caller = std::this_thread::get_id();
    bool other_thread_asked = false;
    BatchFramer framer(c.count, [&](std::size_t i) {
      other_thread_asked = other_thread_asked || std::this_thread::get_id() != caller;
      return batch.entry(i);
    }, c.limits);
    std::string framed;
    std::size_t next = 0;
    std::size_t groups = 0;
    Status stopped;
    while (next < c.count && stopped.ok()) {
      FramedGroup group = framer.frame_group(next);
      ASSERT_EQ(group.first, next);
      std::size_t in_runs = 0;
      std::string bytes;
      for (const FramedRun& run : group.runs) {
        ASSERT_GT(run.count, 0u);
        in_runs += run.count;
        std::string first;
        ASSERT_TRUE(append_record(batch.entry(next + in_runs - run.count),
                                  first).ok());
        EXPECT_EQ(run.first_record_size, first.size());
        bytes += run.bytes;
      }
      ASSERT_EQ(in_runs, group.count);
      // A group ends near its budget: a run, or a half's last record, over.
      EXPECT_LE(bytes.size(), c.limits.group_bytes + 2 * c.limits.run_bytes + 600);
      framed += bytes;
      next += group.count;
      stopped = std::move(group.stopped);
      ++groups;
      ASSERT_LT(groups, 10000u) << "no progress";
    }
    EXPECT_EQ(framed, expected);
    EXPECT_EQ(next, end);
    EXPECT_GE(groups, c.min_groups);
    EXPECT_FALSE(other_thread_asked);
    if (c.bad) {
      ASSERT_FALSE(stopped.ok());
      std::string unused;
      EXPECT_EQ(stopped.error(), append_record(batch.entry(*c.bad), unused).error());
    } else {
      EXPECT_TRUE(stopped.ok());
    }
  }
}

TEST(BatchFramerTest, RunBesideRunsBothAndWaits) {
  int helper = 0;
  int own = 0;
  std::thread::id helper_thread;
  run_beside([&] { helper = 1; helper_thread = std::this_thread::get_id(); }, [&] { own = 2; });
  EXPECT_EQ(helper + own, 3);
  EXPECT_NE(helper_thread, std::this_thread::get_id());
  // A failure on either side reaches the caller once both sides are done.
  for (const bool helper_throws : {true, false}) {
    bool other_done = false;
    EXPECT_THROW(run_beside(
                     [&] {
                       if (helper_throws) throw std::bad_alloc();
                       other_done = true;
                     },
                     [&] {
                       if (!helper_throws) throw std::bad_alloc();
                       other_done = true;
                     }),
                 std::bad_alloc);
    EXPECT_TRUE(other_done);
  }
}

}  // namespace
}  // namespace tarnvault_core::storage::wal
