// One Collection shared by writers, searchers (single and batched) and a
// flusher that also compacts, at once.
//
// Each writer owns a disjoint range of ids and walks every id through a fixed
// sequence of versions (insert, update or delete, chosen by the id and the
// version), so the model always knows what a reader may see: at least the
// version completed before its search began, at most the one begun before
// its search ended. After the threads join, the collection, and the same
// directory reopened, must hold exactly the model's final state.
//
// TARNVAULT_STRESS_ROUNDS scales the run (default 40 rounds per writer).
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/collection/collection.h"
#include "core/collection/collection_files.h"
#include "core/collection/collection_meta.h"
#include "core/collection/collection_test_support.h"

namespace tarnvault_core::collection {
namespace {

using namespace testing;

constexpr std::size_t kDimension = 4;
constexpr DistanceMetric kMetric = DistanceMetric::Euclidean;
constexpr int kWriters = 4;
constexpr int kSearchers = 2;
constexpr std::uint64_t kIdsPerWriter = 48;
// Inserted before the threads start and never touched: every full search
// must find all of them.
constexpr std::uint64_t kStableIds = 16;
constexpr std::size_t kSlots = kWriters * kIdsPerWriter;
constexpr std::size_t kEverything = kStableIds + kSlots + 1;

enum class Op { Insert, Update, Delete };

std::uint64_t id_of_slot(std::size_t slot) {
  return 1000 * (slot / kIdsPerWriter + 1) + slot % kIdsPerWriter;
}

// Version 0 is "never written"; version 1 is always an insert.
Op op_for(std::uint64_t id, std::uint32_t version) {
  if (version == 1) return Op::Insert;
  switch ((id * 31 + version * 17) % 10) {
    case 0: return Op::Delete;
    case 1: return Op::Update;
    default: return Op::Insert;
  }
}

bool present(std::uint64_t id, std::uint32_t version) {
  return version != 0 && op_for(id, version) != Op::Delete;
}

// Small integers, exact in float, distinct for every (id, version).
std::vector<float> vector_of(std::uint64_t id, std::uint32_t version) {
  return {static_cast<float>(id), static_cast<float>(version),
          static_cast<float>((id + version) % 7), 1.0f};
}

std::vector<float> stable_vector(std::uint64_t id) { return {static_cast<float>(id), 0, 0, 0}; }

int rounds_per_writer() {
  const char* text = std::getenv("TARNVAULT_STRESS_ROUNDS");
  const int rounds = text ? std::atoi(text) : 0;
  return rounds > 0 ? rounds : 40;
}

// Per slot: the last version a writer began, and the last it completed.
struct Model {
  std::array<std::atomic<std::uint32_t>, kSlots> begun{};
  std::array<std::atomic<std::uint32_t>, kSlots> done{};
};

struct Counts {
  std::atomic<std::uint64_t> writes{0};
  std::atomic<std::uint64_t> searches{0};
  std::atomic<std::uint64_t> flushes{0};
  std::atomic<std::uint64_t> compactions{0};
};

Status apply(Collection& c, std::uint64_t id, std::uint32_t version) {
  switch (op_for(id, version)) {
    case Op::Insert:
      return c.insert(id, vector_of(id, version), {});
    case Op::Update:
      return c.apply_update_no_wal(id, vector_of(id, version), {});
    case Op::Delete: {
      auto held = c.apply_delete_no_wal(id);
      if (!held.ok()) return std::move(held).error();
      return {};
    }
  }
  return {};
}

void write_rounds(Collection& c, Model& model, Counts& counts, int writer, int rounds) {
  const std::size_t first = writer * kIdsPerWriter;
  std::size_t next = 0;
  for (int round = 0; round < rounds; ++round) {
    // Single writes and runs of eight, as insert and insert_batch issue them.
    const std::size_t run = round % 4 == 0 ? 1 : 8;
    for (std::size_t i = 0; i < run; ++i, next = (next + 1) % kIdsPerWriter) {
      const std::size_t slot = first + next;
      const std::uint64_t id = id_of_slot(slot);
      const std::uint32_t version = model.begun[slot].load() + 1;
      model.begun[slot].store(version);
      const Status status = apply(c, id, version);
      ASSERT_TRUE(status.ok()) << status.error().message();
      model.done[slot].store(version);
      counts.writes.fetch_add(1);
    }
    const std::size_t len = c.len();
    EXPECT_GE(len, kStableIds);
    EXPECT_LE(len, kStableIds + kSlots);
    // Writers flush too, racing the flusher and each other.
    if (round % 10 == 9) {
      const Status status = c.flush();
      ASSERT_TRUE(status.ok()) << status.error().message();
      counts.flushes.fetch_add(1);
    }
  }
}

// Whether the version range [low, high] of a slot can give this distance.
bool distance_allowed(std::span<const float> query, std::uint64_t id, std::uint32_t low,
                      std::uint32_t high, float distance) {
  for (std::uint32_t v = std::max<std::uint32_t>(low, 1); v <= high; ++v) {
    if (present(id, v) && kMetric.distance(query, vector_of(id, v)) == distance) return true;
  }
  return false;
}

bool always_present(std::uint64_t id, std::uint32_t low, std::uint32_t high) {
  for (std::uint32_t v = low; v <= high; ++v) {
    if (!present(id, v)) return false;
  }
  return true;
}

std::size_t slot_of(std::uint64_t id) {
  const std::uint64_t writer = id / 1000 - 1;
  const std::uint64_t local = id % 1000;
  if (id < 1000 || writer >= kWriters || local >= kIdsPerWriter) return kSlots;
  return writer * kIdsPerWriter + local;
}

using Versions = std::array<std::uint32_t, kSlots>;

// One answer against the versions each slot may have shown meanwhile.
void check_answer(std::span<const float> query, std::size_t k,
                  const std::vector<SearchResult>& results, const Versions& low,
                  const Versions& high) {
  ASSERT_LE(results.size(), k);
  std::set<std::uint64_t> seen;
  for (std::size_t i = 0; i < results.size(); ++i) {
    const SearchResult& r = results[i];
    if (i > 0) {
      ASSERT_LE(results[i - 1].distance, r.distance);
    }
    ASSERT_TRUE(seen.insert(r.id).second) << "id " << r.id << " returned twice";
    if (r.id >= 1 && r.id <= kStableIds) {
      ASSERT_EQ(r.distance, kMetric.distance(query, stable_vector(r.id)));
      continue;
    }
    const std::size_t slot = slot_of(r.id);
    ASSERT_LT(slot, kSlots) << "id " << r.id << " was never written";
    ASSERT_TRUE(distance_allowed(query, r.id, low[slot], high[slot], r.distance))
        << "id " << r.id << " at distance " << r.distance << " fits no version in ["
        << low[slot] << ", " << high[slot] << "]";
  }
  if (k < kEverything) return;
  for (std::uint64_t id = 1; id <= kStableIds; ++id) ASSERT_TRUE(seen.count(id)) << id;
  for (std::size_t s = 0; s < kSlots; ++s) {
    if (low[s] != 0 && always_present(id_of_slot(s), low[s], high[s])) {
      ASSERT_TRUE(seen.count(id_of_slot(s))) << "id " << id_of_slot(s) << " missing";
    }
  }
}

// A single search, or a batch of queries, each answer checked alone.
void check_search(const Collection& c, const Model& model, std::mt19937& random, int round) {
  Versions low;
  for (std::size_t s = 0; s < kSlots; ++s) low[s] = model.done[s].load();
  const std::size_t k = round % 2 == 0 ? kEverything : 1 + random() % 8;
  std::vector<std::vector<float>> queries(round % 3 == 0 ? 3 : 1);
  for (auto& query : queries) {
    query = {static_cast<float>(random() % 5000), static_cast<float>(random() % 60), 0, 1};
  }
  std::vector<std::vector<SearchResult>> answers;
  if (queries.size() == 1) {
    answers.push_back(c.search(queries[0], k));
  } else {
    const std::vector<std::span<const float>> spans(queries.begin(), queries.end());
    answers = c.search_batch(spans, k);
  }
  Versions high;
  for (std::size_t s = 0; s < kSlots; ++s) high[s] = model.begun[s].load();
  ASSERT_EQ(answers.size(), queries.size());
  for (std::size_t q = 0; q < queries.size(); ++q) {
    check_answer(queries[q], k, answers[q], low, high);
  }
}

void flush_until(Collection& c, Counts& counts, const std::atomic<bool>& stop) {
  std::uint64_t last_next_id = 0;
  std::uint64_t round = 0;
  do {
    // Every third one compacts, while the writers' unlogged updates and
    // deletes (apply operations) race it.
    if (++round % 3 == 0) {
      auto compacted = c.compact();
      ASSERT_TRUE(compacted.ok()) << compacted.error().message();
      counts.compactions.fetch_add(1);
    } else {
      const Status status = c.flush();
      ASSERT_TRUE(status.ok()) << status.error().message();
      counts.flushes.fetch_add(1);
    }
    // meta.json is replaced whole: a reader never sees a torn one.
    auto meta = read_meta_file(CollectionFiles::in(c.path()).meta);
    ASSERT_TRUE(meta.ok()) << meta.error().message();
    EXPECT_EQ(meta->dimension, kDimension);
    const std::uint64_t next_id = c.next_id();
    EXPECT_GE(next_id, last_next_id);
    last_next_id = next_id;
  } while (!stop.load());
}

// The exact final state: every stable id and every slot whose last version
// is present, at distance 0 from its own vector and nothing else.
void expect_final_state(const Collection& c, const Model& model) {
  std::map<std::uint64_t, std::vector<float>> expected;
  for (std::uint64_t id = 1; id <= kStableIds; ++id) expected[id] = stable_vector(id);
  for (std::size_t s = 0; s < kSlots; ++s) {
    const std::uint32_t version = model.done[s].load();
    if (present(id_of_slot(s), version)) expected[id_of_slot(s)] = vector_of(id_of_slot(s), version);
  }
  ASSERT_EQ(c.len(), expected.size());
  const std::vector<float> origin(kDimension, 0.0f);
  std::map<std::uint64_t, float> found;
  for (const SearchResult& r : c.search(origin, kEverything)) found[r.id] = r.distance;
  ASSERT_EQ(found.size(), expected.size());
  // Every offset names the id's live record in the data file, whatever
  // compactions moved it.
  auto data_file = DataFile::open_read_only(CollectionFiles::in(c.path()).data);
  ASSERT_TRUE(data_file.ok());
  for (const auto& [id, vector] : expected) {
    ASSERT_TRUE(found.count(id)) << id;
    EXPECT_EQ(found[id], kMetric.distance(origin, vector)) << id;
    EXPECT_TRUE(holds(c, id, vector)) << id;
    const auto offset = c.offset_of(id);
    ASSERT_TRUE(offset.has_value()) << id;
    auto record = data_file->read_at(*offset);
    ASSERT_TRUE(record.ok()) << record.error().message();
    EXPECT_EQ(record->id, id);
    EXPECT_FALSE(record->deleted) << id;
    EXPECT_EQ(record->vector, vector) << id;
  }
  EXPECT_EQ(c.next_id(), id_of_slot(kSlots - 1) + 1);
}

TEST(CollectionStress, ConcurrentWritesSearchesAndFlushesMatchTheModel) {
  TempDir dir;
  auto c = open(dir.path(), config(kDimension, kMetric, SyncMode::Batched));
  ASSERT_NE(c, nullptr);
  for (std::uint64_t id = 1; id <= kStableIds; ++id) {
    ASSERT_TRUE(c->insert(id, stable_vector(id), {}).ok());
  }
  Model model;
  Counts counts;
  std::atomic<bool> writers_done{false};
  const int rounds = rounds_per_writer();

  std::vector<std::thread> writers;
  for (int w = 0; w < kWriters; ++w) {
    writers.emplace_back([&, w] { write_rounds(*c, model, counts, w, rounds); });
  }
  std::vector<std::thread> others;
  for (int s = 0; s < kSearchers; ++s) {
    others.emplace_back([&, s] {
      std::mt19937 random(s + 1);
      // Bounded, so that on few cores the searchers cannot starve the writers.
      const int most = 25 * rounds;
      int i = 0;
      do {
        check_search(*c, model, random, ++i);
        if (::testing::Test::HasFatalFailure()) return;
        counts.searches.fetch_add(1);
      } while (!writers_done.load() && i < most);
    });
  }
  others.emplace_back([&] { flush_until(*c, counts, writers_done); });
  for (auto& t : writers) t.join();
  writers_done.store(true);
  for (auto& t : others) t.join();
  ASSERT_FALSE(HasFailure());
  std::printf("stress: %d writers, %d searchers, 1 flusher: %llu writes, %llu searches, "
              "%llu flushes, %llu compactions\n",
              kWriters, kSearchers, static_cast<unsigned long long>(counts.writes.load()),
              static_cast<unsigned long long>(counts.searches.load()),
              static_cast<unsigned long long>(counts.flushes.load()),
              static_cast<unsigned long long>(counts.compactions.load()));

  // Updates and deletes are not logged: only a flush makes them durable.
  ASSERT_TRUE(c->flush().ok());
  expect_final_state(*c, model);
  c.reset();
  auto reopened = open(dir.path(), config(kDimension, kMetric, SyncMode::Batched));
  ASSERT_NE(reopened, nullptr);
  expect_final_state(*reopened, model);
}

// Flushes racing only each other: each must succeed and leave a whole
// meta.json with the final summary.
TEST(CollectionStress, ConcurrentFlushesAllSucceed) {
  TempDir dir;
  auto c = open(dir.path(), config(kDimension, kMetric, SyncMode::Never));
  ASSERT_NE(c, nullptr);
  ASSERT_TRUE(c->insert(41, stable_vector(41), {}).ok());
  std::vector<std::thread> flushers;
  for (int t = 0; t < 4; ++t) {
    flushers.emplace_back([&c] {
      for (int i = 0; i < 25; ++i) {
        const Status status = c->flush();
        ASSERT_TRUE(status.ok()) << status.error().message();
      }
    });
  }
  for (auto& t : flushers) t.join();
  auto meta = read_meta_file(CollectionFiles::in(dir.path()).meta);
  ASSERT_TRUE(meta.ok()) << meta.error().message();
  EXPECT_EQ(meta->vector_count, 1u);
  EXPECT_EQ(meta->next_id, 42u);
}

}  // namespace
}  // namespace tarnvault_core::collection
