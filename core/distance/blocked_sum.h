// The one summation order every distance uses, shared by the fast kernels.
//
// total starts at +0.0; full blocks of 16 terms are each summed as a serial
// chain from their first term and then added to total; the 0..15 tail terms
// are added to total one at a time. Changing any of this changes result bits.
#pragma once

#include <cstddef>
#include <type_traits>

namespace tarnvault_core::distance {

inline constexpr std::size_t kSumBlock = 16;

// Term functions: t(i) from the components a(i) and b(i) of two vectors.
struct Product {
  float operator()(float a, float b) const { return a * b; }
};
struct SquaredDifference {
  float operator()(float a, float b) const {
    const float d = a - b;
    return d * d;
  }
};

// Blocked sums of term(left(l)[i], b[l][i]) for `Lanes` vector pairs at once.
// Each lane follows exactly the single-pair order; lanes only interleave
// independent add chains, which hides the latency of the serial chain. The
// terms of a block are materialised first so that they can be computed with
// vector instructions without reordering any addition.
//
// `a` is either one vector shared by every lane (the query) or one per lane.
template <std::size_t Lanes, typename Left, typename Term>
inline void blocked_sums(const Left& a, const float* const (&b)[Lanes], std::size_t n, Term term,
                         float (&out)[Lanes]) {
  const auto left = [&a](std::size_t l) -> const float* {
    if constexpr (std::is_pointer_v<Left>) {
      return a;
    } else {
      return a[l];
    }
  };
  for (std::size_t l = 0; l < Lanes; ++l) out[l] = 0.0f;
  std::size_t i = 0;
  for (; i + kSumBlock <= n; i += kSumBlock) {
    float terms[kSumBlock][Lanes];
    for (std::size_t l = 0; l < Lanes; ++l) {
      for (std::size_t j = 0; j < kSumBlock; ++j) terms[j][l] = term(left(l)[i + j], b[l][i + j]);
    }
    float chain[Lanes];
    for (std::size_t l = 0; l < Lanes; ++l) chain[l] = terms[0][l];
    for (std::size_t j = 1; j < kSumBlock; ++j) {
      for (std::size_t l = 0; l < Lanes; ++l) chain[l] = chain[l] + terms[j][l];
    }
    for (std::size_t l = 0; l < Lanes; ++l) out[l] = out[l] + chain[l];
  }
  for (; i < n; ++i) {
    for (std::size_t l = 0; l < Lanes; ++l) out[l] = out[l] + term(left(l)[i], b[l][i]);
  }
}

template <typename Term>
inline float blocked_sum(const float* a, const float* b, std::size_t n, Term term) {
  const float* b_lanes[1] = {b};
  float sum[1];
  blocked_sums<1>(a, b_lanes, n, term, sum);
  return sum[0];
}

}  // namespace tarnvault_core::distance
