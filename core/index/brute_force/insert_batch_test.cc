// insert_batch must leave exactly the state that insert of each row in
// order leaves: the same vectors bit for bit, enumeration order and search
// results, and on a failing row the same error with the rows before it kept.
#include <cstdint>
#include <limits>
#include <random>
#include <set>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "core/distance/float_bits_test_util.h"
#include "core/distance/simd_level.h"
#include "core/index/brute_force/brute_force_index.h"

namespace tarnvault_core::index::brute_force {
namespace {

using distance::testing::SameBits;
using Rows = std::vector<std::vector<float>>;
using Ids = std::vector<std::uint64_t>;

Rows random_rows(std::size_t count, std::size_t dimension, std::uint32_t seed) {
  std::mt19937 random(seed);
  std::normal_distribution<float> component;
  Rows rows(count, std::vector<float>(dimension));
  for (auto& row : rows) {
    for (float& x : row) x = component(random);
  }
  // Values whose bits a careless copy would change.
  if (count > 3 && dimension > 0) {
    rows[1][0] = -0.0f;
    rows[2][dimension - 1] = std::numeric_limits<float>::quiet_NaN();
    rows[3][0] = std::numeric_limits<float>::denorm_min();
  }
  return rows;
}

Status insert_rows(BruteForceIndex& index, const Ids& ids, const Rows& rows) {
  return index.insert_batch(ids, [&](std::size_t i) { return std::span<const float>(rows[i]); });
}

// The reference: insert one by one, stopping at the first failure.
Status insert_each(BruteForceIndex& index, const Ids& ids, const Rows& rows) {
  for (std::size_t i = 0; i < ids.size(); ++i) {
    Status status = index.insert(ids[i], rows[i], {});
    if (!status.ok()) return status;
  }
  return {};
}

void expect_same_state(const BruteForceIndex& actual, const BruteForceIndex& expected) {
  ASSERT_EQ(Ids(actual.ids().begin(), actual.ids().end()),
            Ids(expected.ids().begin(), expected.ids().end()));
  for (std::uint64_t id : expected.ids()) {
    const auto got = actual.vector(id);
    const auto want = expected.vector(id);
    ASSERT_TRUE(got && want);
    for (std::size_t j = 0; j < want->size(); ++j) {
      ASSERT_TRUE(SameBits((*got)[j], (*want)[j])) << "id " << id << " component " << j;
    }
  }
  const Rows queries = random_rows(2, expected.dimension(), 99);
  for (const auto& query : queries) {
    const auto got = actual.search(query, expected.len());
    const auto want = expected.search(query, expected.len());
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t i = 0; i < want.size(); ++i) {
      EXPECT_EQ(got[i].id, want[i].id);
      EXPECT_TRUE(SameBits(got[i].distance, want[i].distance));
    }
  }
}

// Dimension 768 holds 64 vectors per chunk, so these batches cross groups
// and chunks; `before` entries inserted one by one make a batch start in
// the middle of a group.
struct Shape {
  std::size_t dimension;
  std::size_t before;
  std::size_t batch;
};

// Whole groups are written by a transpose of each instruction-set level.
class InsertBatchShapeTest
    : public ::testing::TestWithParam<std::tuple<distance::SimdLevel, Shape>> {
 protected:
  void TearDown() override { distance::set_simd_level(distance::supported_simd_level()); }
};

TEST_P(InsertBatchShapeTest, SameStateAsInsertingOneByOne) {
  const auto [level, shape] = GetParam();
  if (distance::set_simd_level(level) != level) GTEST_SKIP() << "level not supported here";
  const std::size_t total = shape.before + shape.batch;
  const Rows rows = random_rows(total, shape.dimension, 7);
  Ids ids(total);
  for (std::size_t i = 0; i < total; ++i) ids[i] = (i * 7919) % 100003;  // not in slot order

  BruteForceIndex expected(DistanceMetric::Euclidean, shape.dimension);
  ASSERT_TRUE(insert_each(expected, ids, rows).ok());

  BruteForceIndex actual(DistanceMetric::Euclidean, shape.dimension);
  const Ids head(ids.begin(), ids.begin() + shape.before);
  const Ids tail(ids.begin() + shape.before, ids.end());
  ASSERT_TRUE(insert_each(actual, head, Rows(rows.begin(), rows.begin() + shape.before)).ok());
  ASSERT_TRUE(insert_rows(actual, tail, Rows(rows.begin() + shape.before, rows.end())).ok());
  expect_same_state(actual, expected);

  // Removal sees a consistent index.
  if (total == 0) return;
  for (std::uint64_t id : std::set<std::uint64_t>{ids[0], ids[total / 2], ids[total - 1]}) {
    EXPECT_TRUE(actual.remove(id));
    EXPECT_TRUE(expected.remove(id));
  }
  expect_same_state(actual, expected);
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, InsertBatchShapeTest,
    ::testing::Combine(::testing::Values(distance::SimdLevel::Scalar, distance::SimdLevel::Avx2,
                                         distance::SimdLevel::Avx512),
                       ::testing::Values(Shape{3, 0, 0}, Shape{3, 0, 1}, Shape{3, 0, 16},
                                         Shape{3, 5, 40}, Shape{0, 2, 20}, Shape{16, 0, 32},
                                         Shape{17, 3, 45}, Shape{100, 0, 64},
                                         Shape{128, 16, 48}, Shape{768, 0, 64},
                                         Shape{768, 13, 150})));

TEST(InsertBatchTest, StopsAtTheFirstFailingRowLikeInsert) {
  constexpr std::size_t kDimension = 768;
  const Rows good = random_rows(40, kDimension, 3);
  struct Case {
    const char* name;
    Ids ids;
    std::vector<std::size_t> lengths;  // of each row; kDimension unless listed
  };
  const Ids seq = [] {
    Ids v(40);
    for (std::size_t i = 0; i < v.size(); ++i) v[i] = 1000 + i;
    return v;
  }();
  auto with = [&](std::size_t at, std::uint64_t id) {
    Ids v = seq;
    v[at] = id;
    return v;
  };
  const std::vector<std::size_t> full(40, kDimension);
  auto short_at = [&](std::size_t at) {
    auto v = full;
    v[at] = kDimension - 1;
    return v;
  };
  const Case cases[] = {
      {"duplicate of an earlier entry", with(21, 1), full},
      {"duplicate within the batch", with(30, 1003), full},
      {"duplicate in the first row", with(0, 2), full},
      {"wrong length", seq, short_at(17)},
      {"wrong length before duplicate", with(17, 1), short_at(17)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Rows rows = good;
    for (std::size_t i = 0; i < rows.size(); ++i) rows[i].resize(c.lengths[i]);
    const Ids existing = {1, 2, 3};
    const Rows existing_rows = random_rows(3, kDimension, 5);

    BruteForceIndex expected(DistanceMetric::Cosine, kDimension);
    BruteForceIndex actual(DistanceMetric::Cosine, kDimension);
    ASSERT_TRUE(insert_each(expected, existing, existing_rows).ok());
    ASSERT_TRUE(insert_each(actual, existing, existing_rows).ok());
    const Status want = insert_each(expected, c.ids, rows);
    const Status got = insert_rows(actual, c.ids, rows);
    ASSERT_FALSE(want.ok());
    ASSERT_FALSE(got.ok());
    EXPECT_EQ(got.error(), want.error());
    expect_same_state(actual, expected);

    // The index goes on working after the failure.
    const Rows more = random_rows(20, kDimension, 11);
    Ids more_ids(20);
    for (std::size_t i = 0; i < more_ids.size(); ++i) more_ids[i] = 5000 + i;
    ASSERT_TRUE(insert_each(expected, more_ids, more).ok());
    ASSERT_TRUE(insert_rows(actual, more_ids, more).ok());
    expect_same_state(actual, expected);
  }
}

}  // namespace
}  // namespace tarnvault_core::index::brute_force
