// Every production path (DistanceMetric::distance, QueryScorer::score and the
// block kernels) must give the reference kernels' bits on arbitrary input.
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

constexpr DistanceMetric::Value kMetrics[] = {DistanceMetric::Euclidean, DistanceMetric::Cosine,
                                              DistanceMetric::DotProduct, DistanceMetric::Hamming};

// Values around the Hamming threshold and the IEEE special values.
const float kSpecials[] = {
    std::numeric_limits<float>::quiet_NaN(),
    std::numeric_limits<float>::infinity(),
    -std::numeric_limits<float>::infinity(),
    -0.0f,
    0.0f,
    0.5f,
    std::nextafter(0.5f, 1.0f),
    std::numeric_limits<float>::denorm_min(),
    std::numeric_limits<float>::max(),
};

class VectorSource {
 public:
  explicit VectorSource(unsigned seed) : rng_(seed) {}

  // Components of widely spread magnitude, so that any change in the order of
  // additions shows in the low bits; `special_rate` of them are special values.
  std::vector<float> next(std::size_t n, double special_rate) {
    std::vector<float> v(n);
    for (float& x : v) {
      if (uniform_(rng_) < special_rate) {
        x = kSpecials[rng_() % std::size(kSpecials)];
      } else {
        x = std::ldexp(normal_(rng_), exponent_(rng_));
      }
    }
    return v;
  }

 private:
  std::mt19937 rng_;
  std::uniform_real_distribution<double> uniform_{0.0, 1.0};
  std::normal_distribution<float> normal_;
  std::uniform_int_distribution<int> exponent_{-12, 12};
};

std::vector<std::size_t> dimensions_under_test() {
  std::vector<std::size_t> dims;
  for (std::size_t d = 0; d <= 40; ++d) dims.push_back(d);
  for (std::size_t d : {64u, 100u, 127u, 128u, 768u}) dims.push_back(d);
  return dims;
}

// Seven stored vectors: one group of four lanes plus a remainder of three.
constexpr std::size_t kStoredPerQuery = 7;

TEST(KernelAgreementTest, EveryPathMatchesTheReference) {
  VectorSource source(20240611);
  for (std::size_t dim : dimensions_under_test()) {
    for (double special_rate : {0.0, 0.02, 0.3}) {
      const std::vector<float> q = source.next(dim, special_rate);
      std::vector<float> stored;
      for (std::size_t i = 0; i < kStoredPerQuery; ++i) {
        const std::vector<float> s = source.next(dim, special_rate);
        stored.insert(stored.end(), s.begin(), s.end());
      }
      for (DistanceMetric metric : kMetrics) {
        SCOPED_TRACE(::testing::Message() << metric.name() << " dim " << dim << " specials "
                                          << special_rate);
        const QueryScorer scorer(metric, q);
        std::vector<float> block(kStoredPerQuery);
        scorer.score_block(stored.data(), kStoredPerQuery, block.data());
        for (std::size_t i = 0; i < kStoredPerQuery; ++i) {
          const std::span<const float> s(stored.data() + i * dim, dim);
          const float expected = reference::distance(metric, q, s);
          EXPECT_TRUE(SameBits(metric.distance(q, s), expected)) << "vector " << i;
          EXPECT_TRUE(SameBits(metric.distance(s, q), expected)) << "swapped, vector " << i;
          EXPECT_TRUE(SameBits(scorer.score(s), expected)) << "scorer, vector " << i;
          EXPECT_TRUE(SameBits(block[i], expected)) << "block, vector " << i;
        }
      }
      const std::span<const float> first(stored.data(), dim);
      EXPECT_TRUE(SameBits(dot_product(q, first), reference::dot_product(q, first)));
    }
  }
}

TEST(KernelAgreementTest, BlockOfAnySizeFillsExactlyItsOutputs) {
  VectorSource source(7);
  constexpr std::size_t kDim = 19;
  const std::vector<float> q = source.next(kDim, 0.0);
  for (std::size_t count = 0; count <= 9; ++count) {
    const std::vector<float> stored = source.next(count * kDim, 0.0);
    for (DistanceMetric metric : kMetrics) {
      SCOPED_TRACE(::testing::Message() << metric.name() << " count " << count);
      const float sentinel = -12345.0f;
      std::vector<float> out(count + 1, sentinel);
      QueryScorer(metric, q).score_block(stored.data(), count, out.data());
      for (std::size_t i = 0; i < count; ++i) {
        const std::span<const float> s(stored.data() + i * kDim, kDim);
        EXPECT_TRUE(SameBits(out[i], reference::distance(metric, q, s)));
      }
      EXPECT_EQ(out[count], sentinel);
    }
  }
}

}  // namespace
}  // namespace tarnvault_core::distance
