// The group scoring algorithm, written once over a vector-operations type
// `Ops` and compiled by each instruction-set file with its own flags.
//
// Ops provides, for one register's worth of kGroupLanes lanes:
//   Vec zero(); Vec load(const float*); Vec broadcast(float);
//   Vec add(Vec, Vec); Vec sub(Vec, Vec); Vec mul(Vec, Vec); Vec div(Vec, Vec);
//   Vec sqrt(Vec); Vec flip_sign(Vec); Vec one_where_zero(Vec den, Vec value);
//   void store(float*, Vec);
//   Count zero_count(); Count count_differing(Count, Vec stored, bool query_bit);
//   Vec to_float(Count);
//   constexpr int kSingleGroups, kBatchGroups: groups scored at once.
#pragma once

#include <cstddef>

#include "core/distance/blocked_sum.h"
#include "core/distance/group_kernels.h"

namespace tarnvault_core::distance::group_scan {
// Internal linkage on purpose: each instruction-set file gets its own copy,
// so the linker can never hand the scalar path an AVX-512 instantiation.
namespace {

using Metric = DistanceMetric::Value;

template <typename Ops, Metric M>
inline typename Ops::Vec term(typename Ops::Vec query_component, typename Ops::Vec stored) {
  if constexpr (M == DistanceMetric::Euclidean) {
    const auto d = Ops::sub(query_component, stored);
    return Ops::mul(d, d);
  } else {
    return Ops::mul(query_component, stored);
  }
}

// Blocked sums of Q queries against G groups, plus, for Cosine, each group's
// self inner product. Lanes are independent add chains; within a lane the
// order is exactly blocked_sum's.
template <typename Ops, Metric M, int Q, int G>
struct Sums {
  using Vec = typename Ops::Vec;
  static constexpr bool kSelf = M == DistanceMetric::Cosine;

  Vec main[Q][G];
  Vec self[G];

  // main (and self) = the terms of component j.
  static inline void terms(const float* const (&q)[Q], const float* const (&g)[G], std::size_t j,
                           Vec (&main)[Q][G], Vec (&self)[G]) {
    Vec query[Q];
#pragma GCC unroll 8
    for (int qi = 0; qi < Q; ++qi) query[qi] = Ops::broadcast(q[qi][j]);
#pragma GCC unroll 8
    for (int gi = 0; gi < G; ++gi) {
      const Vec s = Ops::load(g[gi] + kGroupLanes * j);
      if constexpr (kSelf) self[gi] = Ops::mul(s, s);
#pragma GCC unroll 8
      for (int qi = 0; qi < Q; ++qi) main[qi][gi] = term<Ops, M>(query[qi], s);
    }
  }

  static inline void accumulate(Vec (&into)[Q][G], Vec (&self_into)[G], const Vec (&main)[Q][G],
                                const Vec (&self)[G]) {
#pragma GCC unroll 8
    for (int gi = 0; gi < G; ++gi) {
      if constexpr (kSelf) self_into[gi] = Ops::add(self_into[gi], self[gi]);
#pragma GCC unroll 8
      for (int qi = 0; qi < Q; ++qi) into[qi][gi] = Ops::add(into[qi][gi], main[qi][gi]);
    }
  }

  void compute(const float* const (&q)[Q], const float* const (&g)[G], std::size_t n) {
#pragma GCC unroll 8
    for (int gi = 0; gi < G; ++gi) {
      self[gi] = Ops::zero();
#pragma GCC unroll 8
      for (int qi = 0; qi < Q; ++qi) main[qi][gi] = Ops::zero();
    }
    std::size_t j = 0;
    for (; j + kSumBlock <= n; j += kSumBlock) {
      Vec chain[Q][G];
      Vec self_chain[G];
      terms(q, g, j, chain, self_chain);
      // Unrolling this chain makes GCC serialise the interleaved chains.
#pragma GCC unroll 1
      for (std::size_t i = j + 1; i < j + kSumBlock; ++i) {
        Vec t[Q][G];
        Vec self_t[G];
        terms(q, g, i, t, self_t);
        accumulate(chain, self_chain, t, self_t);
      }
      accumulate(main, self, chain, self_chain);
    }
    for (; j < n; ++j) {
      Vec t[Q][G];
      Vec self_t[G];
      terms(q, g, j, t, self_t);
      accumulate(main, self, t, self_t);
    }
  }
};

template <typename Ops, Metric M>
inline typename Ops::Vec finish(typename Ops::Vec sum, typename Ops::Vec self_sum,
                                float query_norm) {
  if constexpr (M == DistanceMetric::Euclidean) {
    return Ops::sqrt(sum);
  } else if constexpr (M == DistanceMetric::DotProduct) {
    return Ops::flip_sign(sum);
  } else {
    const auto den = Ops::mul(Ops::sqrt(self_sum), Ops::broadcast(query_norm));
    return Ops::one_where_zero(den, Ops::sub(Ops::broadcast(1.0f), Ops::div(sum, den)));
  }
}

// Q queries (query_index ..) against G groups (group_index ..).
template <typename Ops, Metric M, int Q, int G>
inline void score_tile(const QueryBatch& queries, std::size_t query_index, const GroupRun& groups,
                       std::size_t group_index, float* const* out) {
  const float* q[Q];
  for (int qi = 0; qi < Q; ++qi) q[qi] = queries.queries[query_index + qi];
  const float* g[G];
  for (int gi = 0; gi < G; ++gi) g[gi] = groups.group(group_index + gi);
  const std::size_t n = groups.dimension;

  if constexpr (M == DistanceMetric::Hamming) {
    // A count of differing bits: exact in any order.
    typename Ops::Count count[Q][G];
    for (int qi = 0; qi < Q; ++qi) {
      for (int gi = 0; gi < G; ++gi) count[qi][gi] = Ops::zero_count();
    }
    for (std::size_t j = 0; j < n; ++j) {
      bool query_bit[Q];
      for (int qi = 0; qi < Q; ++qi) query_bit[qi] = q[qi][j] > 0.5f;
      for (int gi = 0; gi < G; ++gi) {
        const auto s = Ops::load(g[gi] + kGroupLanes * j);
        for (int qi = 0; qi < Q; ++qi) {
          count[qi][gi] = Ops::count_differing(count[qi][gi], s, query_bit[qi]);
        }
      }
    }
    for (int qi = 0; qi < Q; ++qi) {
      for (int gi = 0; gi < G; ++gi) {
        Ops::store(out[query_index + qi] + (group_index + gi) * kGroupLanes,
                   Ops::to_float(count[qi][gi]));
      }
    }
  } else {
    Sums<Ops, M, Q, G> sums;
    sums.compute(q, g, n);
    for (int qi = 0; qi < Q; ++qi) {
      const float norm = M == DistanceMetric::Cosine ? queries.norms[query_index + qi] : 0.0f;
      for (int gi = 0; gi < G; ++gi) {
        Ops::store(out[query_index + qi] + (group_index + gi) * kGroupLanes,
                   finish<Ops, M>(sums.main[qi][gi], sums.self[gi], norm));
      }
    }
  }
}

// Q queries against every group: G groups at a time, then one at a time.
template <typename Ops, Metric M, int Q, int G>
inline void score_queries(const QueryBatch& queries, std::size_t query_index,
                          const GroupRun& groups, float* const* out) {
  std::size_t g = 0;
  for (; g + G <= groups.count; g += G) score_tile<Ops, M, Q, G>(queries, query_index, groups, g, out);
  for (; g < groups.count; ++g) score_tile<Ops, M, Q, 1>(queries, query_index, groups, g, out);
}

// Pairs of queries share every group load; a lone query runs more groups at
// once instead.
template <typename Ops, Metric M>
inline void score_metric(const QueryBatch& queries, const GroupRun& groups, float* const* out) {
  std::size_t i = 0;
  for (; i + 2 <= queries.count; i += 2) {
    score_queries<Ops, M, 2, Ops::kBatchGroups>(queries, i, groups, out);
  }
  for (; i < queries.count; ++i) score_queries<Ops, M, 1, Ops::kSingleGroups>(queries, i, groups, out);
}

template <typename Ops>
inline void score(DistanceMetric metric, const QueryBatch& queries, const GroupRun& groups,
                  float* const* out) {
  switch (metric.value()) {
    case DistanceMetric::Euclidean:
      return score_metric<Ops, DistanceMetric::Euclidean>(queries, groups, out);
    case DistanceMetric::Cosine:
      return score_metric<Ops, DistanceMetric::Cosine>(queries, groups, out);
    case DistanceMetric::DotProduct:
      return score_metric<Ops, DistanceMetric::DotProduct>(queries, groups, out);
    case DistanceMetric::Hamming:
      return score_metric<Ops, DistanceMetric::Hamming>(queries, groups, out);
  }
}

}  // namespace
}  // namespace tarnvault_core::distance::group_scan
