#include "core/index/brute_force/group_transpose.h"

#include "core/distance/simd_level.h"

namespace tarnvault_core::index::brute_force {

using distance::kGroupLanes;

void transpose_into_group(const float* const* rows, std::size_t dimension, float* group) {
  switch (distance::simd_level()) {
    case distance::SimdLevel::Avx512:
      return group_transpose::transpose_avx512(rows, dimension, group);
    case distance::SimdLevel::Avx2:
      return group_transpose::transpose_avx2(rows, dimension, group);
    case distance::SimdLevel::Scalar:
      break;
  }
  group_transpose::transpose_scalar(rows, 0, dimension, group);
}

namespace group_transpose {

// Each store fills consecutive floats, and the 16 rows are each read
// sequentially.
void transpose_scalar(const float* const* rows, std::size_t first_component, std::size_t dimension,
                      float* group) {
  for (std::size_t j = first_component; j < dimension; ++j) {
    for (std::size_t l = 0; l < kGroupLanes; ++l) group[j * kGroupLanes + l] = rows[l][j];
  }
}

}  // namespace group_transpose
}  // namespace tarnvault_core::index::brute_force
