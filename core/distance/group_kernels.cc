#include "core/distance/group_kernels.h"

#include "core/distance/simd_level.h"

namespace tarnvault_core::distance {

// The one place that maps the active level to its kernels.
void score_groups(DistanceMetric metric, const QueryBatch& queries, const GroupRun& groups,
                  float* const* out) {
  switch (simd_level()) {
    case SimdLevel::Avx512:
      return group_kernels::score_avx512(metric, queries, groups, out);
    case SimdLevel::Avx2:
      return group_kernels::score_avx2(metric, queries, groups, out);
    case SimdLevel::Scalar:
      break;
  }
  group_kernels::score_scalar(metric, queries, groups, out);
}

}  // namespace tarnvault_core::distance
