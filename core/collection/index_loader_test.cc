// The staged load must leave exactly the index that replacing each record's
// entry in turn (remove, then insert) leaves: same ids in the same
// enumeration order, same vectors bit for bit, same payloads.
#include "core/collection/recovery.h"

#include <cstring>
#include <random>
#include <vector>

#include <gtest/gtest.h>

namespace tarnvault_core::collection {
namespace {

constexpr std::size_t kDimension = 20;

struct Record {
  std::uint64_t id;
  std::vector<float> vector;
  payload::Payload payload;
};

// How a sequence of records is drawn: ids from [0, id_range), so small
// ranges repeat ids within and across staged runs; some records carry a
// payload or a vector of the wrong length.
struct Mix {
  const char* name;
  std::size_t count;
  std::uint64_t id_range;
  unsigned payload_every;  // 0: never
  unsigned wrong_length_every;
};

std::vector<Record> records_of(const Mix& mix) {
  std::mt19937_64 random(mix.count + mix.id_range);
  std::normal_distribution<float> component;
  std::vector<Record> records;
  for (std::size_t i = 0; i < mix.count; ++i) {
    Record r{random() % mix.id_range, std::vector<float>(kDimension), {}};
    for (float& x : r.vector) x = component(random);
    if (mix.payload_every != 0 && i % mix.payload_every == 0) {
      r.payload = *payload::payload_from_json(R"({"data":{"n":)" + std::to_string(i) + "}}");
    }
    if (mix.wrong_length_every != 0 && i % mix.wrong_length_every == 0) r.vector.pop_back();
    records.push_back(std::move(r));
  }
  return records;
}

void expect_same_index(const BruteForceIndex& actual, const BruteForceIndex& expected) {
  ASSERT_EQ(std::vector(actual.ids().begin(), actual.ids().end()),
            std::vector(expected.ids().begin(), expected.ids().end()));
  const std::vector<float> query(kDimension, 0.5f);
  const auto got = actual.search(query, expected.len());
  const auto want = expected.search(query, expected.len());
  ASSERT_EQ(got.size(), want.size());
  for (std::size_t i = 0; i < want.size(); ++i) {
    EXPECT_EQ(got[i].id, want[i].id);
    EXPECT_EQ(std::memcmp(&got[i].distance, &want[i].distance, sizeof(float)), 0);
    EXPECT_EQ(got[i].payload, want[i].payload);
  }
  for (std::uint64_t id : expected.ids()) {
    const auto a = actual.vector(id);
    const auto b = expected.vector(id);
    ASSERT_TRUE(a && b);
    EXPECT_EQ(std::memcmp(a->data(), b->data(), kDimension * sizeof(float)), 0) << id;
  }
}

TEST(IndexLoaderTest, SameIndexAsReplacingEachRecordInTurn) {
  const Mix mixes[] = {
      {"distinct ids, several staged runs", 300, 1u << 30, 0, 0},
      {"ids repeated within and across runs", 400, 90, 0, 0},
      {"payloads break the runs", 300, 120, 7, 0},
      {"wrong lengths remove the entry", 300, 60, 0, 5},
      {"everything at once", 500, 70, 11, 13},
  };
  for (const Mix& mix : mixes) {
    SCOPED_TRACE(mix.name);
    const std::vector<Record> records = records_of(mix);
    BruteForceIndex expected(DistanceMetric::Euclidean, kDimension);
    for (const Record& r : records) {
      expected.remove(r.id);
      (void)expected.insert(r.id, r.vector, r.payload);
    }
    BruteForceIndex actual(DistanceMetric::Euclidean, kDimension);
    IndexLoader loader(actual);
    for (const Record& r : records) loader.load(r.id, r.vector, payload::Payload(r.payload));
    loader.finish();
    expect_same_index(actual, expected);
  }
}

}  // namespace
}  // namespace tarnvault_core::collection
