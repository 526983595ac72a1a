#include "core/index/brute_force/brute_force_index.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <cstdint>
#include <limits>
#include <map>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/distance/float_bits_test_util.h"
#include "core/filter/random_filter_test_util.h"
#include "core/index/brute_force/top_k_selector.h"

namespace tarnvault_core::index::brute_force {
namespace {

using distance::testing::SameBits;
using Ids = std::vector<std::uint64_t>;
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr std::size_t kAll = std::numeric_limits<std::size_t>::max();

Payload tagged(const std::string& color) {
  Payload payload;
  payload.data["color"] = JsonValue::string(color);
  return payload;
}

Ids ids_of(const std::vector<SearchResult>& results) {
  Ids ids;
  for (const auto& r : results) ids.push_back(r.id);
  return ids;
}

void insert_ok(BruteForceIndex& index, std::uint64_t id, std::vector<float> vector,
               Payload payload = {}) {
  const Status status = index.insert(id, vector, std::move(payload));
  ASSERT_TRUE(status.ok()) << status.error().message();
}

TEST(DistanceRankTest, NumbersAscendThenNaN) {
  using L = std::numeric_limits<float>;
  // Tiers in ascending order; members of a tier share a rank.
  const std::vector<std::vector<float>> tiers = {
      {-L::infinity()}, {-1.0f}, {-L::denorm_min()}, {-0.0f, 0.0f}, {L::denorm_min()},
      {L::max()},       {L::infinity()}, {kNaN, -kNaN}};
  for (std::size_t t = 0; t < tiers.size(); ++t) {
    for (float x : tiers[t]) {
      EXPECT_EQ(distance_rank(x), distance_rank(tiers[t][0])) << x;
      if (t > 0) {
        EXPECT_LT(distance_rank(tiers[t - 1][0]), distance_rank(x)) << x;
      }
    }
  }
}

TEST(BruteForceIndexTest, InsertChecksLengthBeforeDuplicate) {
  BruteForceIndex index(DistanceMetric::Euclidean, 2);
  insert_ok(index, 7, {1.0f, 2.0f});
  const std::pair<std::vector<float>, Error> cases[] = {
      {{1.0f}, Error::dimension_mismatch(2, 1)},
      {{}, Error::dimension_mismatch(2, 0)},
      {{1.0f, 2.0f, 3.0f}, Error::dimension_mismatch(2, 3)},
      {{5.0f, 5.0f}, Error::duplicate_id(7)},
  };
  for (const auto& [vector, expected] : cases) {
    EXPECT_EQ(index.insert(7, vector, tagged("new")).error(), expected);
  }
  EXPECT_EQ(index.insert(8, std::vector<float>{1.0f}, {}).error(), Error::dimension_mismatch(2, 1));
  // Nothing changed: the first entry is still the only one, vector and payload.
  EXPECT_EQ(index.len(), 1u);
  const auto results = index.search(std::vector<float>{1.0f, 2.0f}, kAll);
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0].distance, 0.0f);
  EXPECT_EQ(results[0].payload, Payload{});
}

TEST(BruteForceIndexTest, SearchesThatFindNothing) {
  BruteForceIndex empty(DistanceMetric::Euclidean, 2);
  BruteForceIndex full(DistanceMetric::Euclidean, 2);
  insert_ok(full, 1, {0.0f, 0.0f});
  EXPECT_TRUE(empty.search(std::vector<float>{0.0f, 0.0f}, 5).empty());
  for (std::size_t query_length : {0u, 1u, 3u}) {
    EXPECT_TRUE(full.search(std::vector<float>(query_length), kAll).empty()) << query_length;
  }
  EXPECT_TRUE(full.search(std::vector<float>{0.0f, 0.0f}, 0).empty());
}

TEST(BruteForceIndexTest, AscendingDistanceTiesInEnumerationOrderNaNLast) {
  BruteForceIndex index(DistanceMetric::Euclidean, 1);
  const std::pair<std::uint64_t, float> entries[] = {
      {50, 5.0f}, {31, kNaN}, {10, 1.0f}, {30, -1.0f}, {20, 2.0f}, {11, kNaN}, {40, 1.0f}};
  for (const auto& [id, x] : entries) insert_ok(index, id, {x}, tagged(std::to_string(id)));
  ASSERT_EQ(Ids(index.ids().begin(), index.ids().end()), (Ids{50, 31, 10, 30, 20, 11, 40}));
  const std::vector<float> query = {0.0f};

  const auto all = index.search(query, kAll);
  EXPECT_EQ(ids_of(all), (Ids{10, 30, 40, 20, 50, 31, 11}));
  for (const auto& r : all) EXPECT_EQ(r.payload, tagged(std::to_string(r.id)));
  EXPECT_EQ(all[4].distance, 5.0f);
  EXPECT_EQ(ids_of(index.search(query, 2)), (Ids{10, 30}));
  EXPECT_EQ(ids_of(index.search(query, 6)), (Ids{10, 30, 40, 20, 50, 31}));
  EXPECT_EQ(index.search(query, 8).size(), 7u);
}

TEST(BruteForceIndexTest, DimensionZeroScoresEmptyVectors) {
  const std::pair<DistanceMetric, float> cases[] = {{DistanceMetric::Euclidean, 0.0f},
                                                    {DistanceMetric::Cosine, 1.0f},
                                                    {DistanceMetric::DotProduct, -0.0f},
                                                    {DistanceMetric::Hamming, 0.0f}};
  for (const auto& [metric, expected] : cases) {
    SCOPED_TRACE(metric.name());
    BruteForceIndex index(metric, 0);
    for (std::uint64_t id : {6u, 2u, 4u}) insert_ok(index, id, {});
    EXPECT_EQ(index.insert(1, std::vector<float>{0.0f}, {}).error(), Error::dimension_mismatch(0, 1));
    EXPECT_TRUE(index.remove(6));
    const auto results = index.search({}, kAll);
    ASSERT_EQ(results.size(), 2u);
    for (const auto& r : results) EXPECT_TRUE(SameBits(r.distance, expected));
  }
}

TEST(BruteForceIndexTest, RemoveKeepsEveryOtherEntryIntact) {
  BruteForceIndex index(DistanceMetric::Euclidean, 3);
  const auto vector_of = [](std::uint64_t id) {
    const float x = static_cast<float>(id);
    return std::vector<float>{x, -x, 2 * x};
  };
  for (std::uint64_t id = 0; id < 6; ++id) insert_ok(index, id, vector_of(id), tagged(std::to_string(id)));
  EXPECT_FALSE(index.remove(42));
  // A middle slot (the last entry moves into it), the entry just moved, the first slot.
  for (std::uint64_t id : {1u, 5u, 0u}) EXPECT_TRUE(index.remove(id));
  EXPECT_FALSE(index.remove(1));
  EXPECT_EQ(index.len(), 3u);
  for (std::uint64_t id : {2u, 3u, 4u}) {
    const auto nearest = index.search(vector_of(id), 1);
    ASSERT_EQ(nearest.size(), 1u);
    EXPECT_EQ(nearest[0].id, id);
    EXPECT_EQ(nearest[0].distance, 0.0f);
    EXPECT_EQ(nearest[0].payload, tagged(std::to_string(id)));
    EXPECT_EQ(index.insert(id, vector_of(9), {}).error(), Error::duplicate_id(id));
  }
  insert_ok(index, 1, vector_of(9));
  EXPECT_EQ(index.search(vector_of(9), 1)[0].id, 1u);
}

TEST(BruteForceIndexTest, MovedIndexKeepsItsEntries) {
  BruteForceIndex source(DistanceMetric::Euclidean, 2);
  for (std::uint64_t id = 0; id < 40; ++id) insert_ok(source, id, {float(id), 0.0f});
  BruteForceIndex moved(std::move(source));
  BruteForceIndex assigned(DistanceMetric::Euclidean, 2);
  insert_ok(assigned, 99, {5.0f, 5.0f});
  assigned = std::move(moved);
  EXPECT_EQ(assigned.len(), 40u);
  EXPECT_FALSE(assigned.contains(99));
  EXPECT_EQ(ids_of(assigned.search(std::vector<float>{30.2f, 0.0f}, 2)), (Ids{30, 31}));
  insert_ok(assigned, 99, {5.0f, 5.0f});
  EXPECT_EQ(assigned.search(std::vector<float>{5.0f, 5.0f}, 1)[0].id, 99u);
  // The moved-from index is empty and still works.
  EXPECT_EQ(source.len(), 0u);
  EXPECT_TRUE(source.search(std::vector<float>{0.0f, 0.0f}, 3).empty());
  insert_ok(source, 5, {1.0f, 1.0f});
  EXPECT_EQ(ids_of(source.search(std::vector<float>{0.0f, 0.0f}, 3)), (Ids{5}));
}

TEST(BruteForceIndexTest, FilterDecidesWhichEntriesAreScored) {
  BruteForceIndex index(DistanceMetric::Euclidean, 1);
  insert_ok(index, 1, {3.0f}, tagged("red"));
  insert_ok(index, 2, {1.0f}, tagged("blue"));
  insert_ok(index, 3, {2.0f}, tagged("red"));
  insert_ok(index, 4, {0.5f});
  const auto color_is = [](const char* color) {
    return FilterCondition::eq("color", JsonValue::string(color));
  };
  const Filter red{color_is("red")};
  const Filter green{color_is("green")};
  const Filter not_red{FilterCondition::not_(color_is("red"))};
  const std::vector<float> query = {0.0f};
  EXPECT_EQ(ids_of(index.search(query, kAll, &red)), (Ids{3, 1}));
  EXPECT_EQ(ids_of(index.search(query, 1, &red)), (Ids{3}));
  EXPECT_TRUE(index.search(query, kAll, &green).empty());
  EXPECT_EQ(ids_of(index.search(query, kAll, &not_red)), (Ids{4, 2}));
}

// The slow definition: score every passing entry in enumeration order, stable
// sort by distance with NaN after every number, keep the first k.
std::vector<SearchResult> expected_search(const BruteForceIndex& index,
                                          const std::map<std::uint64_t, std::vector<float>>& vectors,
                                          const std::vector<float>& query, std::size_t k,
                                          const std::vector<bool>* passes) {
  std::vector<SearchResult> all;
  for (std::uint64_t id : index.ids()) {
    if (passes == nullptr || (*passes)[id]) {
      all.push_back({id, index.metric().distance(query, vectors.at(id)), {}});
    }
  }
  const auto numbers_end = std::stable_partition(
      all.begin(), all.end(), [](const SearchResult& r) { return !std::isnan(r.distance); });
  std::stable_sort(all.begin(), numbers_end, [](const SearchResult& a, const SearchResult& b) {
    return a.distance < b.distance;
  });
  all.resize(std::min(k, all.size()));
  return all;
}

// Coarse components so that distances tie often, some NaNs, removals that
// move the last slot into holes and reinserts of removed ids, across group
// (16 slots) and, for the larger shape, storage chunk boundaries.
struct Shape {
  std::size_t dimension;
  std::uint64_t ids;
};

class BruteForceScanTest : public ::testing::TestWithParam<Shape> {};

TEST_P(BruteForceScanTest, TopKEqualsAFullStableSortAndBatchEqualsSingle) {
  // Plain variables, not a structured binding: the lambdas below capture them.
  const std::size_t dim = GetParam().dimension;
  const std::uint64_t id_count = GetParam().ids;
  const float components[] = {0.0f, 0.5f, 1.0f, 1.0f, -1.0f, 2.0f, kNaN};
  std::mt19937 rng(5);
  const auto random_vector = [&](std::size_t n) {
    std::vector<float> v(n);
    for (float& x : v) x = components[rng() % (rng() % 20 == 0 ? 7 : 6)];
    return v;
  };
  std::vector<bool> passes(id_count);
  for (std::uint64_t id = 0; id < id_count; ++id) passes[id] = rng() % 3 != 0;
  const Filter red{FilterCondition::eq("color", JsonValue::string("red"))};
  const std::vector<std::vector<float>> queries = {random_vector(dim), random_vector(dim + 1),
                                                   random_vector(dim), random_vector(dim)};

  for (DistanceMetric metric : {DistanceMetric::Euclidean, DistanceMetric::Cosine,
                                DistanceMetric::DotProduct, DistanceMetric::Hamming}) {
    SCOPED_TRACE(metric.name());
    BruteForceIndex index(metric, dim);
    std::map<std::uint64_t, std::vector<float>> vectors;
    const auto insert = [&](std::uint64_t id) {
      vectors[id] = random_vector(dim);
      insert_ok(index, id, vectors[id], tagged(passes[id] ? "red" : "blue"));
    };
    for (std::uint64_t id = 0; id < id_count; ++id) {
      insert(id);
      if (id % 7 == 3) {
        const std::uint64_t victim = rng() % (id + 1);
        EXPECT_EQ(index.remove(victim), vectors.erase(victim) == 1);
        if (id % 5 == 0 && !vectors.contains(victim)) insert(victim);
      }
    }
    for (const auto& [id, v] : vectors) {
      const auto stored = index.vector(id);
      ASSERT_TRUE(stored && std::memcmp(stored->data(), v.data(), dim * sizeof(float)) == 0) << id;
    }

    const std::size_t n = index.len();
    const std::vector<std::span<const float>> spans(queries.begin(), queries.end());
    for (std::size_t k : {std::size_t{1}, std::size_t{5}, std::size_t{300}, n - 1, n, kAll}) {
      for (const std::vector<bool>* filter_passes : {static_cast<std::vector<bool>*>(nullptr), &passes}) {
        SCOPED_TRACE(::testing::Message() << "k " << k << (filter_passes ? " filtered" : ""));
        const Filter* filter = filter_passes ? &red : nullptr;
        const auto batch = index.search_batch(spans, k, filter);
        ASSERT_EQ(batch.size(), queries.size());
        for (std::size_t q = 0; q < queries.size(); ++q) {
          const auto actual = index.search(queries[q], k, filter);
          if (queries[q].size() != dim) {
            EXPECT_TRUE(actual.empty());
            EXPECT_TRUE(batch[q].empty());
            continue;
          }
          const auto expected = expected_search(index, vectors, queries[q], k, filter_passes);
          ASSERT_EQ(ids_of(actual), ids_of(expected)) << "query " << q;
          ASSERT_EQ(ids_of(batch[q]), ids_of(expected)) << "batch query " << q;
          for (std::size_t i = 0; i < actual.size(); ++i) {
            EXPECT_TRUE(SameBits(actual[i].distance, expected[i].distance)) << "position " << i;
            EXPECT_TRUE(SameBits(batch[q][i].distance, expected[i].distance)) << "position " << i;
          }
        }
      }
    }
  }
}

// Filtered searches against a reference that tests Filter::matches on each
// entry's payload, with payloads of every value kind, through inserts, bulk
// inserts (empty payloads), removals and replacements (remove, then insert
// with another payload), across group and chunk boundaries (1024 slots at
// this dimension), and filters from nothing to everything passing.
TEST(BruteForceFilterTest, FilteredSearchEqualsMatchesOnEachPayload) {
  constexpr std::size_t kDim = 64;
  filter::testing::RandomFilters random(11);
  std::mt19937& rng = random.rng();
  const auto random_vector = [&rng] {
    static const float components[] = {0.0f, 0.5f, 1.0f, -1.0f};
    std::vector<float> v(kDim);
    for (float& x : v) x = components[rng() % (rng() % 4 == 0 ? 4 : 2)];
    return v;
  };
  BruteForceIndex index(DistanceMetric::Euclidean, kDim);
  std::map<std::uint64_t, std::vector<float>> vectors;
  std::map<std::uint64_t, Payload> payloads;
  const auto insert = [&](std::uint64_t id) {
    if (index.contains(id)) return;
    vectors[id] = random_vector();
    payloads[id] = random.payload();
    insert_ok(index, id, vectors[id], payloads[id]);
  };
  const auto check = [&](const Filter& filter, const char* what) {
    SCOPED_TRACE(what);
    const std::vector<std::vector<float>> queries = {random_vector(), random_vector()};
    const std::vector<std::span<const float>> spans(queries.begin(), queries.end());
    for (std::size_t k : {std::size_t{1}, std::size_t{10}, kAll}) {
      const auto batch = index.search_batch(spans, k, &filter);
      for (std::size_t q = 0; q < queries.size(); ++q) {
        std::vector<SearchResult> expected;
        for (std::uint64_t id : index.ids()) {
          if (filter.matches(payloads.at(id))) {
            expected.push_back({id, index.metric().distance(queries[q], vectors.at(id)), {}});
          }
        }
        std::stable_sort(expected.begin(), expected.end(),
                         [](const auto& a, const auto& b) { return a.distance < b.distance; });
        expected.resize(std::min(k, expected.size()));
        const auto actual = index.search(queries[q], k, &filter);
        ASSERT_EQ(ids_of(actual), ids_of(expected)) << "k " << k << " query " << q;
        ASSERT_EQ(ids_of(batch[q]), ids_of(expected)) << "batch, k " << k << " query " << q;
        for (std::size_t i = 0; i < actual.size(); ++i) {
          EXPECT_TRUE(SameBits(actual[i].distance, expected[i].distance)) << i;
          EXPECT_TRUE(SameBits(batch[q][i].distance, expected[i].distance)) << i;
          ASSERT_TRUE(actual[i].payload.has_value());
          EXPECT_TRUE(filter::testing::identical(*actual[i].payload, payloads.at(actual[i].id)))
              << i;
        }
      }
    }
  };

  for (int round = 0; round < 6; ++round) {
    SCOPED_TRACE(::testing::Message() << "round " << round);
    for (int i = 0; i < 500; ++i) insert(rng() % 3000);
    std::vector<std::uint64_t> bulk;
    const std::uint64_t first_bulk_id = 10000 + 100 * static_cast<std::uint64_t>(round);
    for (std::uint64_t id = first_bulk_id; id < first_bulk_id + 40; ++id) {
      bulk.push_back(id);
      vectors[id] = random_vector();
      payloads[id] = Payload{};
    }
    ASSERT_TRUE(index.insert_batch(bulk, [&](std::size_t i) {
      return std::span<const float>(vectors[bulk[i]]);
    }).ok());
    for (int i = 0; i < 200; ++i) {
      const std::uint64_t victim = index.ids()[rng() % index.len()];
      ASSERT_TRUE(index.remove(victim));
      vectors.erase(victim);
      payloads.erase(victim);
      if (rng() % 2 == 0) insert(victim);  // replaced under the same id
    }
    ASSERT_EQ(index.len(), payloads.size());
    for (int f = 0; f < 12; ++f) {
      check(Filter{random.condition(3)}, "random filter");
      if (HasFatalFailure()) return;
    }
    check(Filter{FilterCondition::exists("unique " + std::to_string(rng() % 300))}, "one key");
    check(Filter{FilterCondition::eq("a", JsonValue::unsigned_integer(1))}, "sparse");
    if (HasFatalFailure()) return;
  }
}

INSTANTIATE_TEST_SUITE_P(Shapes, BruteForceScanTest,
                         ::testing::Values(Shape{3, 700}, Shape{100, 1500}),
                         [](const auto& info) { return std::to_string(info.param.dimension) + "d"; });

}  // namespace
}  // namespace tarnvault_core::index::brute_force
