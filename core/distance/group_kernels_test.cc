// Every instruction-set level of the group kernels gives the reference
// kernels' bits, for every lane, query count and group count.
#include "core/distance/group_kernels.h"

#include <cmath>
#include <limits>
#include <random>
#include <span>
#include <vector>

#include <gtest/gtest.h>

#include "core/distance/float_bits_test_util.h"
#include "core/distance/reference_kernels.h"
#include "core/distance/simd_level.h"

namespace tarnvault_core::distance {
namespace {

using testing::SameBits;
using testing::random_floats;

// Row-major vectors into groups: component j of lane l at j * 16 + l.
std::vector<float> to_groups(const std::vector<float>& rows, std::size_t count, std::size_t dim) {
  const std::size_t groups = (count + kGroupLanes - 1) / kGroupLanes;
  std::vector<float> out(groups * group_floats(dim), 0.0f);
  for (std::size_t v = 0; v < count; ++v) {
    float* group = out.data() + (v / kGroupLanes) * group_floats(dim);
    for (std::size_t j = 0; j < dim; ++j) group[j * kGroupLanes + v % kGroupLanes] = rows[v * dim + j];
  }
  return out;
}

std::vector<SimdLevel> levels_to_test() {
  std::vector<SimdLevel> levels;
  for (SimdLevel level : {SimdLevel::Scalar, SimdLevel::Avx2, SimdLevel::Avx512}) {
    if (level <= supported_simd_level()) levels.push_back(level);
  }
  return levels;
}

class GroupKernelTest : public ::testing::TestWithParam<SimdLevel> {
 protected:
  void SetUp() override { ASSERT_EQ(set_simd_level(GetParam()), GetParam()); }
  void TearDown() override { set_simd_level(SimdLevel::Avx512); }
};

TEST_P(GroupKernelTest, EveryLaneMatchesTheReference) {
  std::vector<std::size_t> dims;
  for (std::size_t d = 0; d <= 40; ++d) dims.push_back(d);
  for (std::size_t d : {64u, 100u, 127u, 128u, 768u}) dims.push_back(d);

  std::mt19937 rng(7 + static_cast<int>(GetParam()));
  for (std::size_t dim : dims) {
    for (double special_rate : {0.0, 0.03, 0.3}) {
      // Group counts around the kernels' tile widths; the last group partly empty.
      const std::size_t groups = 1 + (dim + rng()) % 9;
      const std::size_t count = groups * kGroupLanes - rng() % kGroupLanes;
      const std::size_t query_count = 1 + rng() % 3;
      const std::vector<float> rows = random_floats(rng, count * dim, special_rate);
      const std::vector<float> grouped = to_groups(rows, count, dim);
      const std::vector<float> query_data = random_floats(rng, query_count * dim, special_rate);

      std::vector<const float*> queries;
      std::vector<float> norms;
      for (std::size_t i = 0; i < query_count; ++i) {
        const std::span<const float> q(query_data.data() + i * dim, dim);
        queries.push_back(q.data());
        norms.push_back(std::sqrt(reference::dot_product(q, q)));
      }
      std::vector<std::vector<float>> out(query_count, std::vector<float>(groups * kGroupLanes));
      std::vector<float*> out_rows;
      for (auto& row : out) out_rows.push_back(row.data());

      for (DistanceMetric metric : {DistanceMetric::Euclidean, DistanceMetric::Cosine,
                                    DistanceMetric::DotProduct, DistanceMetric::Hamming}) {
        SCOPED_TRACE(::testing::Message() << metric.name() << " dim " << dim << " specials "
                                          << special_rate << " queries " << query_count);
        score_groups(metric, {queries.data(), norms.data(), query_count},
                     {grouped.data(), groups, dim}, out_rows.data());
        for (std::size_t i = 0; i < query_count; ++i) {
          const std::span<const float> q(queries[i], dim);
          for (std::size_t v = 0; v < count; ++v) {
            const std::span<const float> s(rows.data() + v * dim, dim);
            ASSERT_TRUE(SameBits(out[i][v], reference::distance(metric, q, s)))
                << "query " << i << " vector " << v;
          }
        }
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Levels, GroupKernelTest, ::testing::ValuesIn(levels_to_test()),
                         [](const auto& info) { return std::string(simd_level_name(info.param)); });

TEST(SimdLevelTest, NamesRoundTripAndRequestsAreClamped) {
  for (SimdLevel level : {SimdLevel::Scalar, SimdLevel::Avx2, SimdLevel::Avx512}) {
    EXPECT_EQ(simd_level_from_name(simd_level_name(level)), level);
  }
  EXPECT_EQ(simd_level_from_name("AVX2"), std::nullopt);
  EXPECT_EQ(set_simd_level(SimdLevel::Avx512), supported_simd_level());
  EXPECT_EQ(simd_level(), supported_simd_level());
  EXPECT_EQ(set_simd_level(SimdLevel::Scalar), SimdLevel::Scalar);
  set_simd_level(SimdLevel::Avx512);
}

}  // namespace
}  // namespace tarnvault_core::distance
