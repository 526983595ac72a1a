#include "core/distance/kernels.h"

#include <bit>
#include <cmath>
#include <cstdint>

#include "core/distance/blocked_sum.h"

namespace tarnvault_core::distance::kernels {
namespace {

float flip_sign(float x) {
  return std::bit_cast<float>(std::bit_cast<std::uint32_t>(x) ^ 0x80000000u);
}

float cosine_from_parts(float p, float query_norm, float stored_square_sum) {
  const float den = std::sqrt(stored_square_sum) * query_norm;
  if (den == 0.0f) return 1.0f;
  return 1.0f - p / den;
}

bool binarised_bits_differ(float a, float b) { return (a > 0.5f) != (b > 0.5f); }

}  // namespace

float dot_product(const float* a, const float* b, std::size_t n) {
  return blocked_sum(a, b, n, Product{});
}

float euclidean(const float* q, const float* s, std::size_t n) {
  return std::sqrt(blocked_sum(q, s, n, SquaredDifference{}));
}

float cosine(const float* q, float query_norm, const float* s, std::size_t n) {
  // p and |s|^2 as two interleaved chains of one pass.
  const float* left[2] = {q, s};
  const float* right[2] = {s, s};
  float sums[2];
  blocked_sums<2>(left, right, n, Product{}, sums);
  return cosine_from_parts(sums[0], query_norm, sums[1]);
}

float negated_dot_product(const float* q, const float* s, std::size_t n) {
  return flip_sign(dot_product(q, s, n));
}

float hamming(const float* q, const float* s, std::size_t n) {
  // A narrow per-block count lets the comparisons vectorise; the total count
  // does not depend on grouping.
  std::size_t differing = 0;
  std::size_t i = 0;
  for (; i + kSumBlock <= n; i += kSumBlock) {
    std::uint32_t in_block = 0;
    for (std::size_t j = 0; j < kSumBlock; ++j) in_block += binarised_bits_differ(q[i + j], s[i + j]);
    differing += in_block;
  }
  for (; i < n; ++i) differing += binarised_bits_differ(q[i], s[i]);
  return static_cast<float>(differing);
}

}  // namespace tarnvault_core::distance::kernels
