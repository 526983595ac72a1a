// Every single-pair production path (DistanceMetric::distance and
// QueryScorer::score) must give the reference kernels' bits on arbitrary
// input; group_kernels_test.cc covers the scan kernels.
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "core/distance/distance.h"
#include "core/distance/float_bits_test_util.h"
#include "core/distance/query_scorer.h"
#include "core/distance/reference_kernels.h"

namespace tarnvault_core::distance {
namespace {

using testing::SameBits;
using testing::random_floats;

TEST(KernelAgreementTest, EveryPathMatchesTheReference) {
  std::vector<std::size_t> dims;
  for (std::size_t d = 0; d <= 40; ++d) dims.push_back(d);
  for (std::size_t d : {64u, 100u, 127u, 128u, 768u}) dims.push_back(d);

  std::mt19937 rng(20240611);
  for (std::size_t dim : dims) {
    for (double special_rate : {0.0, 0.02, 0.3}) {
      // 1 to 9 stored vectors, each scored on its own.
      const std::size_t count = 1 + (dim + rng()) % 9;
      const std::vector<float> q = random_floats(rng, dim, special_rate);
      const std::vector<float> stored = random_floats(rng, count * dim, special_rate);
      for (DistanceMetric metric : {DistanceMetric::Euclidean, DistanceMetric::Cosine,
                                    DistanceMetric::DotProduct, DistanceMetric::Hamming}) {
        SCOPED_TRACE(::testing::Message() << metric.name() << " dim " << dim << " specials "
                                          << special_rate);
        const QueryScorer scorer(metric, q);
        for (std::size_t i = 0; i < count; ++i) {
          const std::span<const float> s(stored.data() + i * dim, dim);
          const float expected = reference::distance(metric, q, s);
          EXPECT_TRUE(SameBits(metric.distance(q, s), expected)) << "vector " << i;
          EXPECT_TRUE(SameBits(metric.distance(s, q), expected)) << "swapped, vector " << i;
          EXPECT_TRUE(SameBits(scorer.score(s), expected)) << "scorer, vector " << i;
        }
      }
      const std::span<const float> first(stored.data(), dim);
      EXPECT_TRUE(SameBits(dot_product(q, first), reference::dot_product(q, first)));
    }
  }
}

}  // namespace
}  // namespace tarnvault_core::distance
