#include "core/distance/reference_kernels.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>

namespace tarnvault_core::distance::reference {
namespace {

constexpr std::size_t kBlock = 16;

// total = +0.0; each full block is a serial chain from its first term, added
// to total; the remaining terms are added to total one by one.
template <typename Term>
float blocked_sum(std::size_t n, Term term) {
  float total = +0.0f;
  const std::size_t blocked = kBlock * (n / kBlock);
  for (std::size_t b = 0; b < blocked; b += kBlock) {
    float block = term(b);
    for (std::size_t j = 1; j < kBlock; ++j) block = block + term(b + j);
    total = total + block;
  }
  for (std::size_t i = blocked; i < n; ++i) total = total + term(i);
  return total;
}

std::size_t common_length(std::span<const float> a, std::span<const float> b) {
  return std::min(a.size(), b.size());
}

bool is_set_bit(float component) { return component > 0.5f; }

float flip_sign(float x) {
  return std::bit_cast<float>(std::bit_cast<std::uint32_t>(x) ^ 0x80000000u);
}

}  // namespace

float dot_product(std::span<const float> a, std::span<const float> b) {
  return blocked_sum(common_length(a, b), [&](std::size_t i) { return a[i] * b[i]; });
}

float euclidean(std::span<const float> q, std::span<const float> s) {
  const float sum = blocked_sum(common_length(q, s), [&](std::size_t i) {
    const float d = q[i] - s[i];
    return d * d;
  });
  return std::sqrt(sum);
}

float cosine(std::span<const float> q, std::span<const float> s) {
  const std::size_t n = common_length(q, s);
  q = q.first(n);
  s = s.first(n);
  const float p = dot_product(q, s);
  const float nq = std::sqrt(dot_product(q, q));
  const float ns = std::sqrt(dot_product(s, s));
  const float den = ns * nq;
  if (den == 0.0f) return 1.0f;
  return 1.0f - p / den;
}

float negated_dot_product(std::span<const float> q, std::span<const float> s) {
  return flip_sign(dot_product(q, s));
}

float hamming(std::span<const float> q, std::span<const float> s) {
  std::size_t differing = 0;
  for (std::size_t i = 0; i < common_length(q, s); ++i) {
    if (is_set_bit(q[i]) != is_set_bit(s[i])) ++differing;
  }
  return static_cast<float>(differing);
}

float distance(DistanceMetric metric, std::span<const float> q, std::span<const float> s) {
  switch (metric.value()) {
    case DistanceMetric::Euclidean:
      return euclidean(q, s);
    case DistanceMetric::Cosine:
      return cosine(q, s);
    case DistanceMetric::DotProduct:
      return negated_dot_product(q, s);
    case DistanceMetric::Hamming:
      return hamming(q, s);
  }
  return std::nanf("");
}

}  // namespace tarnvault_core::distance::reference
