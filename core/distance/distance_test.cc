#include "core/distance/distance.h"

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/distance/float_bits_test_util.h"

namespace tarnvault_core::distance {
namespace {

using testing::SameBits;

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float k2Pow24 = 16777216.0f;  // from here on, adding 1 is lost to rounding

std::vector<float> repeat(float value, std::size_t count) {
  return std::vector<float>(count, value);
}

std::vector<float> concat(std::vector<float> a, const std::vector<float>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

struct SumCase {
  std::string name;
  std::vector<float> a;  // dotted with all ones, so a holds the terms themselves
  float expected;
};

// Each case is built so that a plausible wrong summation order gives other bits.
TEST(DotProductTest, FollowsTheBlockedSummationOrder) {
  const std::vector<SumCase> cases = {
      {"empty", {}, 0.0f},
      // 1 + 2^-24 ties back to 1 every time; summing backwards would keep 14 * 2^-24.
      {"15 tail terms, left to right", concat({1.0f}, repeat(0x1p-24f, 14)), 1.0f},
      // The chain starts from 2^24 and loses every 1; backwards it would reach 2^24 + 16.
      {"16, one serial block", concat({k2Pow24}, repeat(1.0f, 15)), k2Pow24},
      // Block 2^24, then + 2: forgetting the tail or summing backwards differs.
      {"17, block and one tail term", concat(concat({k2Pow24}, repeat(1.0f, 15)), {2.0f}),
       k2Pow24 + 2.0f},
      // Tail terms go to the total one by one (each lost); summed apart they give + 4.
      {"20, tail added one at a time", concat({k2Pow24}, repeat(1.0f, 19)), k2Pow24},
      // Blocks 2^24 and 16 are summed separately: 2^24 + 16. One chain gives 2^24.
      {"32, two blocks differ from one chain", concat({k2Pow24}, repeat(1.0f, 31)),
       k2Pow24 + 16.0f},
      // 16 + 2^24 exactly, then + 1 ties to the even 2^24 + 16.
      {"33, two blocks and a tail",
       concat(concat(repeat(1.0f, 16), concat({k2Pow24}, repeat(1.0f, 15))), {1.0f}),
       k2Pow24 + 16.0f},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_TRUE(SameBits(dot_product(c.a, repeat(1.0f, c.a.size())), c.expected));
  }
}

TEST(DotProductTest, TotalStartsAtPositiveZero) {
  // Every product is -0.0; a block chain keeps -0.0 but +0.0 + -0.0 is +0.0.
  for (std::size_t n : {1u, 15u, 16u, 17u, 32u}) {
    SCOPED_TRACE(n);
    EXPECT_TRUE(SameBits(dot_product(repeat(-1.0f, n), repeat(0.0f, n)), 0.0f));
  }
}

struct MetricCase {
  std::string name;
  DistanceMetric metric;
  std::vector<float> q;
  std::vector<float> s;
  float expected;
};

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
  const std::vector<float> hamming_q = {0.5f, 0.6f, kNaN, -1.0f};
  const std::vector<float> hamming_s = {0.4f, 0.4f, 1.0f, 2.0f};
  // sqrt(2^24 + 16) = 4096 + 2^-9 after rounding; one long chain would give 4096.
  const std::vector<float> blocked_q = concat({4096.0f}, repeat(1.0f, 31));
  const std::vector<MetricCase> cases = {
      {"euclidean empty", M::Euclidean, {}, {}, 0.0f},
      {"euclidean identical", M::Euclidean, {1.5f, -2.0f, 3e30f}, {1.5f, -2.0f, 3e30f}, 0.0f},
      {"euclidean 3-4-5", M::Euclidean, {0.0f, 0.0f}, {3.0f, 4.0f}, 5.0f},
      {"euclidean is not squared", M::Euclidean, {0.0f}, {-2.0f}, 2.0f},
      {"euclidean infinite difference", M::Euclidean, {kInf, 0.0f}, {0.0f, 0.0f}, kInf},
      {"euclidean overflowing difference", M::Euclidean, {3e38f}, {-3e38f}, kInf},
      {"euclidean blocked", M::Euclidean, blocked_q, repeat(0.0f, 32), 4096.0f + 0x1p-9f},
      {"euclidean NaN", M::Euclidean, {kNaN}, {0.0f}, kNaN},
      {"cosine empty", M::Cosine, {}, {}, 1.0f},
      {"cosine zero query", M::Cosine, {0.0f, 0.0f, 0.0f}, {1.0f, 2.0f, 3.0f}, 1.0f},
      {"cosine zero stored", M::Cosine, {1.0f, 2.0f, 3.0f}, {0.0f, -0.0f, 0.0f}, 1.0f},
      {"cosine norms underflow", M::Cosine, {1e-30f, -1e-30f}, {1e-30f, 1e-30f}, 1.0f},
      {"cosine orthogonal", M::Cosine, {1.0f, 0.0f}, {0.0f, 1.0f}, 1.0f},
      {"cosine parallel", M::Cosine, {3.0f, 4.0f}, {6.0f, 8.0f}, 0.0f},
      {"cosine opposite", M::Cosine, {1.0f, 0.0f}, {-2.0f, 0.0f}, 2.0f},
      {"cosine with itself", M::Cosine, {0.1f, 0.2f, 0.3f}, {0.1f, 0.2f, 0.3f},
       cosine_of_point_one_two_three_with_itself()},
      {"cosine NaN norm", M::Cosine, {kNaN, 1.0f}, {1.0f, 1.0f}, kNaN},
      {"cosine infinite norm", M::Cosine, {kInf}, {1.0f}, kNaN},
      {"dot empty is -0", M::DotProduct, {}, {}, -0.0f},
      {"dot orthogonal is -0", M::DotProduct, {1.0f, 0.0f}, {0.0f, 1.0f}, -0.0f},
      {"dot negated", M::DotProduct, {1.0f, 2.0f}, {3.0f, 4.0f}, -11.0f},
      {"dot of opposite vectors is positive", M::DotProduct, {1.0f, 2.0f}, {-3.0f, -4.0f}, 11.0f},
      {"dot blocked", M::DotProduct, concat({k2Pow24}, repeat(1.0f, 31)), repeat(1.0f, 32),
       -(k2Pow24 + 16.0f)},
      {"hamming empty", M::Hamming, {}, {}, 0.0f},
      {"hamming mixed", M::Hamming, hamming_q, hamming_s, 3.0f},
      {"hamming threshold is strict", M::Hamming, {0.5f, std::nextafter(0.5f, 1.0f)},
       {0.0f, 0.0f}, 1.0f},
      {"hamming shorter length counts", M::Hamming, {1.0f, 1.0f, 1.0f}, {0.0f}, 1.0f},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_TRUE(SameBits(c.metric.distance(c.q, c.s), c.expected));
  }
}

TEST(DistanceMetricTest, CosineOfAVectorWithItselfIsNotClamped) {
  // Rounding leaves this example measurably away from zero; a clamp or an
  // early "identical vectors" exit would hide that.
  const std::vector<float> q = {0.1f, 0.2f, 0.3f};
  const float d = DistanceMetric(DistanceMetric::Cosine).distance(q, q);
  EXPECT_NE(d, 0.0f);
  EXPECT_LT(std::fabs(d), 1e-6f);
}

TEST(DistanceMetricTest, NamesRoundTrip) {
  struct NameCase {
    DistanceMetric::Value value;
    const char* name;
    int discriminant;
  };
  const NameCase cases[] = {
      {DistanceMetric::Euclidean, "Euclidean", 0},
      {DistanceMetric::Cosine, "Cosine", 1},
      {DistanceMetric::DotProduct, "DotProduct", 2},
      {DistanceMetric::Hamming, "Hamming", 3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(DistanceMetric(c.value).name(), c.name);
    EXPECT_EQ(static_cast<int>(c.value), c.discriminant);
    const auto parsed = DistanceMetric::from_name(c.name);
    ASSERT_TRUE(parsed.has_value());
    EXPECT_EQ(parsed->value(), c.value);
  }
  for (const char* unknown : {"", "euclidean", "cosine", "dot", "Dot", "Euclidean "}) {
    EXPECT_FALSE(DistanceMetric::from_name(unknown).has_value()) << unknown;
  }
}

}  // namespace
}  // namespace tarnvault_core::distance
