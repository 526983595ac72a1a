// Kernels that score stored vectors kept in groups of kGroupLanes: in a
// group, component j of its kGroupLanes vectors is contiguous, so one vector
// register holds the same component of every lane and each lane's additions
// keep exactly the order of blocked_sum.h. The bits equal the scalar
// definitions in reference_kernels.h at every instruction-set level.
#pragma once

#include <cstddef>

#include "core/distance/distance.h"

namespace tarnvault_core::distance {

inline constexpr std::size_t kGroupLanes = 16;

// Floats in one group of vectors of `dimension` components.
constexpr std::size_t group_floats(std::size_t dimension) { return kGroupLanes * dimension; }

// Queries scored together against the same groups.
struct QueryBatch {
  const float* const* queries;  // `count` queries of `dimension` floats each
  const float* norms;           // sqrt(dot_product(q, q)) per query; read for Cosine only
  std::size_t count;
};

// `count` consecutive groups from `data`, each group_floats(dimension) floats.
struct GroupRun {
  const float* data;
  std::size_t count;
  std::size_t dimension;

  const float* group(std::size_t g) const { return data + g * group_floats(dimension); }
};

// Scores every query of `queries` against every lane of `groups`: the
// distance of query i to lane l of group g goes to out[i][g * kGroupLanes + l].
// Lanes that hold no vector are scored like the others; callers ignore them.
// At the active level; for tests and one-off calls: loops fetch the table of
// simd_level.h once per operation and call through it.
void score_groups(DistanceMetric metric, const QueryBatch& queries, const GroupRun& groups,
                  float* const* out);

// The same per instruction-set level.
namespace group_kernels {
void score_scalar(DistanceMetric metric, const QueryBatch& queries, const GroupRun& groups,
                  float* const* out);
void score_avx2(DistanceMetric metric, const QueryBatch& queries, const GroupRun& groups,
                float* const* out);
void score_avx512(DistanceMetric metric, const QueryBatch& queries, const GroupRun& groups,
                  float* const* out);
}  // namespace group_kernels

}  // namespace tarnvault_core::distance
