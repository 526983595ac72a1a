#include "core/distance/distance.h"

#include <cmath>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "core/distance/float_bits_test_util.h"

namespace tarnvault_core::distance {
namespace {

using testing::SameBits;

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float k2Pow24 = 16777216.0f;  // from here on, adding 1 is lost to rounding

// A vector given as runs of (value, count).
std::vector<float> runs(std::initializer_list<std::pair<float, std::size_t>> parts) {
  std::vector<float> v;
  for (const auto& [value, count] : parts) v.insert(v.end(), count, value);
  return v;
}

// Each case is built so that a plausible wrong summation order gives other bits.
TEST(DotProductTest, FollowsTheBlockedSummationOrder) {
  struct Case {
    const char* name;
    std::vector<float> terms;  // dotted with ones
    float expected;
  };
  const Case cases[] = {
      {"empty", {}, 0.0f},
      // 1 + 2^-24 ties back to 1 each time; summed backwards 14 * 2^-24 would stay.
      {"15, left to right", runs({{1.0f, 1}, {0x1p-24f, 14}}), 1.0f},
      // The chain starts from 2^24 and loses every 1; backwards gives 2^24 + 16.
      {"16, one serial block", runs({{k2Pow24, 1}, {1.0f, 15}}), k2Pow24},
      // Forgetting the tail, or summing backwards, differs.
      {"17, block and tail", runs({{k2Pow24, 1}, {1.0f, 15}, {2.0f, 1}}), k2Pow24 + 2.0f},
      // Tail terms go to the total one by one (each lost); summed apart they give + 4.
      {"20, tail one at a time", runs({{k2Pow24, 1}, {1.0f, 19}}), k2Pow24},
      // Blocks 2^24 and 16 are summed separately; one long chain gives 2^24.
      {"32, two blocks", runs({{k2Pow24, 1}, {1.0f, 31}}), k2Pow24 + 16.0f},
      // 16 + 2^24, then + 1 ties to the even 2^24 + 16.
      {"33, blocks and tail", runs({{1.0f, 16}, {k2Pow24, 1}, {1.0f, 16}}), k2Pow24 + 16.0f},
      // Every product is -0.0: a block keeps -0.0, but +0.0 + -0.0 = +0.0.
      {"total starts at +0.0", runs({{-0.0f, 17}}), 0.0f},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_TRUE(SameBits(dot_product(c.terms, runs({{1.0f, c.terms.size()}})), c.expected));
  }
}

// 1 - p / (|q| * |q|) for q = [0.1, 0.2, 0.3], evaluated step by step.
float cosine_of_point_one_two_three_with_itself() {
  volatile float p = 0.0f;
  p = p + 0.1f * 0.1f;
  p = p + 0.2f * 0.2f;
  p = p + 0.3f * 0.3f;
  const float norm = std::sqrt(static_cast<float>(p));
  volatile float den = norm * norm;
  return 1.0f - p / den;
}

TEST(DistanceMetricTest, SpecialCasesOfEveryMetric) {
  using M = DistanceMetric;
  struct Case {
    const char* name;
    DistanceMetric metric;
    std::vector<float> q, s;
    float expected;
  };
  const Case cases[] = {
      {"euclidean empty", M::Euclidean, {}, {}, 0.0f},
      {"euclidean identical", M::Euclidean, {1.5f, -2.0f, 3e30f}, {1.5f, -2.0f, 3e30f}, 0.0f},
      {"euclidean is not squared", M::Euclidean, {0.0f, 0.0f}, {3.0f, 4.0f}, 5.0f},
      {"euclidean infinite difference", M::Euclidean, {kInf, 0.0f}, {0.0f, 0.0f}, kInf},
      {"euclidean overflowing difference", M::Euclidean, {3e38f}, {-3e38f}, kInf},
      // sqrt(2^24 + 16) rounds to 4096 + 2^-9; one long chain would give 4096.
      {"euclidean blocked", M::Euclidean, runs({{4096.0f, 1}, {1.0f, 31}}), runs({{0.0f, 32}}),
       4096.0f + 0x1p-9f},
      {"cosine empty", M::Cosine, {}, {}, 1.0f},
      {"cosine zero query", M::Cosine, {0.0f, 0.0f}, {1.0f, 2.0f}, 1.0f},
      {"cosine zero stored", M::Cosine, {1.0f, 2.0f}, {0.0f, -0.0f}, 1.0f},
      {"cosine norms underflow", M::Cosine, {1e-30f, -1e-30f}, {1e-30f, 1e-30f}, 1.0f},
      {"cosine orthogonal", M::Cosine, {1.0f, 0.0f}, {0.0f, 1.0f}, 1.0f},
      {"cosine parallel", M::Cosine, {3.0f, 4.0f}, {6.0f, 8.0f}, 0.0f},
      {"cosine opposite", M::Cosine, {1.0f, 0.0f}, {-2.0f, 0.0f}, 2.0f},
      // Not zero: nothing clamps or short-cuts identical vectors.
      {"cosine with itself", M::Cosine, {0.1f, 0.2f, 0.3f}, {0.1f, 0.2f, 0.3f},
       cosine_of_point_one_two_three_with_itself()},
      {"cosine NaN norm", M::Cosine, {kNaN, 1.0f}, {1.0f, 1.0f}, kNaN},
      {"cosine infinite norm", M::Cosine, {kInf}, {1.0f}, kNaN},
      {"dot empty is -0", M::DotProduct, {}, {}, -0.0f},
      {"dot orthogonal is -0", M::DotProduct, {1.0f, 0.0f}, {0.0f, 1.0f}, -0.0f},
      {"dot negated", M::DotProduct, {1.0f, 2.0f}, {3.0f, 4.0f}, -11.0f},
      {"dot opposite is positive", M::DotProduct, {1.0f, 2.0f}, {-3.0f, -4.0f}, 11.0f},
      {"hamming empty", M::Hamming, {}, {}, 0.0f},
      {"hamming mixed", M::Hamming, {0.5f, 0.6f, kNaN, -1.0f}, {0.4f, 0.4f, 1.0f, 2.0f}, 3.0f},
      {"hamming threshold is strict", M::Hamming, {0.5f, std::nextafter(0.5f, 1.0f)},
       {0.0f, 0.0f}, 1.0f},
      {"hamming over the shorter length", M::Hamming, {1.0f, 1.0f, 1.0f}, {0.0f}, 1.0f},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_TRUE(SameBits(c.metric.distance(c.q, c.s), c.expected));
  }
  EXPECT_NE(cosine_of_point_one_two_three_with_itself(), 0.0f);
}

TEST(DistanceMetricTest, NamesRoundTrip) {
  const std::pair<DistanceMetric::Value, std::string> cases[] = {
      {DistanceMetric::Euclidean, "Euclidean"},
      {DistanceMetric::Cosine, "Cosine"},
      {DistanceMetric::DotProduct, "DotProduct"},
      {DistanceMetric::Hamming, "Hamming"},
  };
  for (const auto& [value, name] : cases) {
    EXPECT_EQ(DistanceMetric(value).name(), name);
    EXPECT_EQ(DistanceMetric::from_name(name), DistanceMetric(value)) << name;
  }
  for (const char* unknown : {"", "euclidean", "dot", "Dot", "Euclidean "}) {
    EXPECT_EQ(DistanceMetric::from_name(unknown), std::nullopt) << unknown;
  }
}

}  // namespace
}  // namespace tarnvault_core::distance
