// Writing 16 vectors into one group of the stored layout: component j of
// row l goes to group[j * 16 + l]. A pure data movement, so every
// instruction-set level gives the same bytes; the AVX-512 and AVX2 ones
// transpose 16 x 16 and 8 x 8 blocks in registers instead of moving one
// float at a time. Beside the group kernels because they share the layout
// and the per-level table (simd_level.h).
#pragma once

#include <cstddef>

#include "core/distance/group_kernels.h"

namespace tarnvault_core::distance {

// rows[0 .. kGroupLanes) each hold `dimension` floats; group holds
// dimension * kGroupLanes floats and is 64-byte aligned. At the active
// level; for tests and one-off calls (loops call through simd_kernels()).
void transpose_into_group(const float* const* rows, std::size_t dimension, float* group);

// The same per instruction-set level.
namespace group_transpose {
void transpose_scalar(const float* const* rows, std::size_t first_component, std::size_t dimension,
                      float* group);
void transpose_avx2(const float* const* rows, std::size_t dimension, float* group);
void transpose_avx512(const float* const* rows, std::size_t dimension, float* group);
}  // namespace group_transpose

}  // namespace tarnvault_core::distance
