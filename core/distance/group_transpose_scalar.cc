#include "core/distance/group_transpose.h"

namespace tarnvault_core::distance::group_transpose {

// Each store fills consecutive floats, and the 16 rows are each read
// sequentially.
void transpose_scalar(const float* const* rows, std::size_t first_component, std::size_t dimension,
                      float* group) {
  for (std::size_t j = first_component; j < dimension; ++j) {
    for (std::size_t l = 0; l < kGroupLanes; ++l) group[j * kGroupLanes + l] = rows[l][j];
  }
}

}  // namespace tarnvault_core::distance::group_transpose
