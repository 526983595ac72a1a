// Power loss after every single disk-changing call of a workload, in turn.
//
// The workload (inserts, replacements and deletes of held ids, batches,
// flushes, compactions, a reopen) runs on a file system that stops the machine after its
// i-th changing call; then the power fails (what was not synced is dropped,
// zeroed or torn, or kept, as when only the process dies), the collection is
// opened again, and what it holds is checked against a model of what was
// durable: every write that a returned flush or a log sync covered is there
// with exactly its bits (or a later write of its id), a durable delete holds
// (unless a later write of its id brings the id back), nothing is there that
// was never written, and what a batch left is a prefix of it. Then a new
// write is flushed, the power fails once more, and the next open must hold
// exactly what the collection held before, and no leftover of a compaction.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "core/collection/collection.h"
#include "core/collection/collection_files.h"
#include "core/collection/collection_test_support.h"
#include "core/storage/io/testing/fault_injecting_file_system.h"
#include "core/storage/io/testing/test_support.h"

namespace tarnvault_core::collection {
namespace {

using storage::io::FaultInjectingFileSystem;
using storage::io::PowerLoss;
using storage::io::testing::TempDir;
using testing::kSanitized;

// Each write's vector tells which write it is: (id + 0.5, sequence + 0.25).
// Dot products with (1, 0) and (0, 1) read both components back exactly.
// A delete is a write too, one that leaves no vector.
struct Write {
  std::uint64_t id;
  std::size_t sequence;
  bool deletes = false;
  std::vector<float> vector() const {
    return {static_cast<float>(id) + 0.5f, static_cast<float>(sequence) + 0.25f};
  }
};

enum class Step { Insert, Delete, Batch, Flush, Compact, Reopen };

struct Action {
  Step step;
  std::uint64_t id = 0;  // a batch's first id; it inserts count fresh ids
  std::size_t count = 0;
  // A batch written in many small groups (a sync each, when due), each
  // framed on two threads, while the previous group syncs on a third.
  bool small_groups = false;
};

// About 60 records of this test's size per group, in runs of about 8.
const storage::wal::BatchLimits kSmallGroups{512, 4096, 1024};

// Inserts, a flush, replacements, a reopen that replays the log, a run of
// inserts long enough for a batched log sync and for an 8 KiB data-file
// buffer to spill, a batch long enough for a sync and one too short for it, more
// flushes, compactions (of unflushed replacements and deletes, and of a
// file that replays had grown), a batch of many groups, and writes left
// unflushed at the end.
std::vector<Action> workload() {
  std::vector<Action> actions;
  auto insert = [&](std::uint64_t id) { actions.push_back({Step::Insert, id}); };
  auto remove = [&](std::uint64_t id) { actions.push_back({Step::Delete, id}); };
  for (std::uint64_t id : {1, 2, 3}) insert(id);
  actions.push_back({Step::Flush});
  insert(4);
  insert(2);
  remove(3);
  actions.push_back({Step::Compact});
  insert(5);
  remove(1);
  actions.push_back({Step::Reopen});
  for (std::uint64_t i = 0; i < 104; ++i) {
    insert(10 + i % 70);
    if (i % 25 == 7) remove(10 + (i * 3) % 70);
  }
  actions.push_back({Step::Flush});
  insert(1);
  remove(2);
  insert(200);
  actions.push_back({Step::Batch, 300, 250});
  actions.push_back({Step::Flush});
  insert(3);
  remove(1);
  actions.push_back({Step::Compact});
  insert(4);
  actions.push_back({Step::Batch, 600, 30});
  insert(2);
  actions.push_back({Step::Batch, 800, 280, true});
  insert(5);
  insert(201);
  return actions;
}

// What the workload got acknowledged, and which prefix of it is durable.
struct Model {
  std::vector<Write> attempted;
  std::size_t durable = 0;
  std::size_t appends_since_sync = 0;
  // Each batch as [first, first + count) of attempted.
  std::vector<std::pair<std::size_t, std::size_t>> batches;

  // Records that count appended records have made durable, per the mode.
  void appended(SyncMode mode, std::size_t count) {
    appends_since_sync += count;
    if (mode == SyncMode::Always ||
        (mode == SyncMode::Batched && appends_since_sync >= Wal::kSyncInterval)) {
      durable = attempted.size();
      appends_since_sync = 0;
    }
  }
};

constexpr std::size_t kDimension = 2;
// A data-file buffer that the workload's records spill many times: single
// inserts into a full buffer, and batch runs longer than the buffer that
// go straight to the file, each a crash point of its own.
constexpr std::size_t kSpilledDataBuffer = 8192;

struct CrashCase {
  SyncMode sync_mode;
  std::optional<PowerLoss> loss;  // none: only the process dies
  const char* name;
  std::size_t data_buffer_bytes = kSpilledDataBuffer;
};

CollectionConfig config_for(const CrashCase& tc) {
  CollectionConfig config{kDimension, DistanceMetric::DotProduct, tc.sync_mode};
  config.data_buffer_bytes = tc.data_buffer_bytes;
  return config;
}

// Runs the workload until a step fails (the machine stopped). Each
// compaction's first and last disk change go into compactions, if given.
Model run_workload(const std::filesystem::path& dir, const CrashCase& tc,
                   FaultInjectingFileSystem& fs,
                   std::vector<std::pair<std::size_t, std::size_t>>* compactions = nullptr) {
  const SyncMode mode = tc.sync_mode;
  Model model;
  auto opened = Collection::open_or_create(dir, config_for(tc), fs);
  if (!opened.ok()) return model;
  std::unique_ptr<Collection> c = std::move(opened).value();
  for (const Action& action : workload()) {
    switch (action.step) {
      case Step::Insert:
      case Step::Delete: {
        const Write write{action.id, model.attempted.size(), action.step == Step::Delete};
        model.attempted.push_back(write);
        const bool done = write.deletes ? c->remove(write.id).ok()
                                        : c->insert(write.id, write.vector(), {}).ok();
        if (!done) return model;
        model.appended(mode, 1);
        break;
      }
      case Step::Batch: {
        std::vector<std::uint64_t> ids;
        std::vector<std::vector<float>> vectors;
        model.batches.emplace_back(model.attempted.size(), action.count);
        for (std::size_t k = 0; k < action.count; ++k) {
          const Write write{action.id + k, model.attempted.size()};
          model.attempted.push_back(write);
          ids.push_back(write.id);
          vectors.push_back(write.vector());
        }
        c->set_batch_limits(action.small_groups ? kSmallGroups : storage::wal::BatchLimits{});
        if (!c->insert_batch(ids, [&](std::size_t i) { return std::span<const float>(vectors[i]); })
                 .ok()) {
          return model;
        }
        // What the log says it has not synced is all a power loss may take.
        const std::size_t unsynced = c->unsynced_log_records();
        if (mode == SyncMode::Batched) {
          EXPECT_LT(unsynced, Wal::kSyncInterval);
        } else if (mode == SyncMode::Always) {
          EXPECT_EQ(unsynced, 0u);
        }
        if (mode != SyncMode::Never) {
          model.durable = std::max(model.durable, model.attempted.size() - unsynced);
          model.appends_since_sync = unsynced;
        }
        break;
      }
      case Step::Flush:
      case Step::Compact: {
        const std::size_t first_change = fs.changes() + 1;
        const bool done =
            action.step == Step::Flush ? c->flush().ok() : c->compact().ok();
        if (!done) return model;
        if (compactions && action.step == Step::Compact) {
          compactions->emplace_back(first_change, fs.changes());
        }
        model.durable = model.attempted.size();
        model.appends_since_sync = 0;
        break;
      }
      case Step::Reopen: {
        c.reset();
        auto reopened = Collection::open_or_create(dir, config_for(tc), fs);
        if (!reopened.ok()) return model;
        c = std::move(reopened).value();
        model.appends_since_sync = 0;  // a new log handle counts afresh
        break;
      }
    }
  }
  return model;
}

// id -> (first component, second component) of what the collection holds.
std::map<std::uint64_t, std::pair<float, float>> contents(const Collection& c) {
  std::map<std::uint64_t, std::pair<float, float>> held;
  const std::size_t all = c.len() + 1;
  for (const SearchResult& r : c.search(std::vector<float>{1, 0}, all)) held[r.id].first = -r.distance;
  for (const SearchResult& r : c.search(std::vector<float>{0, 1}, all)) held[r.id].second = -r.distance;
  return held;
}

// Empty when the collection keeps the promises; otherwise what is wrong.
std::string broken_promise(const Model& model,
                           const std::map<std::uint64_t, std::pair<float, float>>& held) {
  // For each id, the index of its newest durable write, if any.
  std::map<std::uint64_t, std::size_t> newest_durable;
  for (std::size_t i = 0; i < model.durable; ++i) newest_durable[model.attempted[i].id] = i;
  for (const auto& [id, values] : held) {
    const auto sequence = static_cast<std::size_t>(values.second);
    if (sequence >= model.attempted.size() || model.attempted[sequence].id != id ||
        model.attempted[sequence].deletes ||
        model.attempted[sequence].vector() != std::vector<float>{values.first, values.second}) {
      return "id " + std::to_string(id) + " holds a vector that was never written to it";
    }
    auto durable = newest_durable.find(id);
    if (durable != newest_durable.end() && sequence < durable->second) {
      return "id " + std::to_string(id) + " went back to write " + std::to_string(sequence) +
             " from durable write " + std::to_string(durable->second);
    }
  }
  for (const auto& [id, index] : newest_durable) {
    if (held.count(id) != 0 || model.attempted[index].deletes) continue;
    // Missing is right only when a delete of it was attempted since.
    bool deleted_since = false;
    for (std::size_t i = index + 1; i < model.attempted.size(); ++i) {
      deleted_since = deleted_since || (model.attempted[i].id == id && model.attempted[i].deletes);
    }
    if (!deleted_since) return "durable id " + std::to_string(id) + " is missing";
  }
  // A batch's ids are fresh and written once: the held ones must be the
  // first of the batch, each with its own write.
  for (const auto& [first, count] : model.batches) {
    bool ended = false;
    for (std::size_t k = 0; k < count; ++k) {
      const Write& write = model.attempted[first + k];
      const auto found = held.find(write.id);
      const bool present =
          found != held.end() && found->second.second == static_cast<float>(write.sequence) + 0.25f;
      if (present && ended) {
        return "batch write " + std::to_string(first + k) + " is held after a missing one";
      }
      ended = ended || !present;
    }
  }
  return {};
}

class CrashPointTest : public ::testing::TestWithParam<CrashCase> {};

// How many disk-changing calls the whole workload makes, and which of them
// the compactions make.
std::size_t changes_of_workload(const CrashCase& tc,
                                std::vector<std::pair<std::size_t, std::size_t>>& compactions) {
  TempDir dir;
  FaultInjectingFileSystem fs;
  fs.track_durability();
  Model model = run_workload(dir.path() / "c", tc, fs, &compactions);
  std::size_t writes = 0;
  for (const Action& action : workload()) {
    const bool single = action.step == Step::Insert || action.step == Step::Delete;
    writes += single ? 1 : action.step == Step::Batch ? action.count : 0;
  }
  EXPECT_EQ(model.attempted.size(), writes) << "the workload did not finish";
  return fs.changes();
}

TEST_P(CrashPointTest, EveryCrashPointKeepsThePromises) {
  const CrashCase& tc = GetParam();
  std::vector<std::pair<std::size_t, std::size_t>> compactions;
  const std::size_t total = changes_of_workload(tc, compactions);
  ASSERT_GT(total, 50u);
  ASSERT_EQ(compactions.size(), 2u);
  RecordProperty("crash_points", static_cast<int>(total + 1));
  // Points inside a compaction: from just before its first disk change to
  // just before its last one.
  int inside_compaction = 0;
  for (const auto& [first, last] : compactions) inside_compaction += static_cast<int>(last - first + 1);
  RecordProperty("crash_points_in_compactions", inside_compaction);
  // Under a sanitizer, every fifth point.
  const std::size_t stride = kSanitized ? 5 : 1;
  for (std::size_t crash_after = 0; crash_after <= total; crash_after += stride) {
    SCOPED_TRACE("power lost after disk change " + std::to_string(crash_after) + " of " +
                 std::to_string(total));
    TempDir root;
    const auto dir = root.path() / "c";
    Model model;
    {
      FaultInjectingFileSystem fs;
      fs.track_durability();
      fs.stop_after_changes(crash_after);
      model = run_workload(dir, tc, fs);
      if (tc.loss) {
        ASSERT_TRUE(fs.lose_power(*tc.loss).ok());
      }
    }
    std::map<std::uint64_t, std::pair<float, float>> before_second_crash;
    {
      FaultInjectingFileSystem fs;
      fs.track_durability();
      auto reopened = Collection::open_or_create(dir, config_for(tc), fs);
      ASSERT_TRUE(reopened.ok()) << reopened.error().message();
      auto& c = *reopened.value();
      ASSERT_FALSE(std::filesystem::exists(CollectionFiles::in(dir).compacting));
      const auto held = contents(c);
      ASSERT_EQ(broken_promise(model, held), "");
      const Write fresh{999, 1000};
      ASSERT_TRUE(c.insert(fresh.id, fresh.vector(), {}).ok());
      ASSERT_TRUE(c.flush().ok());
      before_second_crash = contents(c);
      reopened.value().reset();
      ASSERT_TRUE(fs.lose_power(PowerLoss::DropUnsynced).ok());
    }
    FaultInjectingFileSystem fs;  // syncs only recorded: no waiting on the disk
    fs.track_durability();
    auto after = Collection::open_or_create(dir, config_for(tc), fs);
    ASSERT_TRUE(after.ok()) << after.error().message();
    ASSERT_EQ(contents(*after.value()), before_second_crash);
  }
}

INSTANTIATE_TEST_SUITE_P(
    SyncModesAndLosses, CrashPointTest,
    ::testing::Values(CrashCase{SyncMode::Always, PowerLoss::DropUnsynced, "AlwaysDrop"},
                      CrashCase{SyncMode::Always, PowerLoss::ZeroUnsynced, "AlwaysZero"},
                      CrashCase{SyncMode::Batched, PowerLoss::DropUnsynced, "BatchedDrop"},
                      CrashCase{SyncMode::Batched, PowerLoss::ZeroUnsynced, "BatchedZero"},
                      CrashCase{SyncMode::Batched, PowerLoss::TornUnsynced, "BatchedTorn"},
                      CrashCase{SyncMode::Batched, std::nullopt, "BatchedProcessKilled"},
                      CrashCase{SyncMode::Never, PowerLoss::ZeroUnsynced, "NeverZero"},
                      CrashCase{SyncMode::Never, std::nullopt, "NeverProcessKilled"},
                      // The default buffer, which the workload spills only
                      // at flushes, compactions and marks.
                      CrashCase{SyncMode::Batched, PowerLoss::TornUnsynced,
                                "BatchedTornDefaultBuffer", DataFile::kAppendBufferBytes},
                      CrashCase{SyncMode::Never, PowerLoss::ZeroUnsynced,
                                "NeverZeroDefaultBuffer", DataFile::kAppendBufferBytes}),
    [](const ::testing::TestParamInfo<CrashCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace tarnvault_core::collection
