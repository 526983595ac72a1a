// The instruction-set level that the group kernels and the group transposes
// run at, and the table of functions of each level. Every level gives the
// same bits; only speed differs.
//
// The level is chosen once, at first use, from what the CPU supports,
// unless the environment variable TARNVAULT_SIMD names a lower one
// ("avx512", "avx2" or "scalar"); tests and benchmarks may lower it at run
// time with set_simd_level. Code that loops over groups fetches the table
// once per operation (simd_kernels()) and calls through it, so the loops
// themselves never ask which level is active.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "core/distance/group_kernels.h"

namespace tarnvault_core::distance {

enum class SimdLevel : std::uint8_t { Scalar = 0, Avx2 = 1, Avx512 = 2 };

// Everything that has a version per instruction-set level.
struct SimdKernels {
  SimdLevel level;
  // score_groups (group_kernels.h) at this level.
  void (*score_groups)(DistanceMetric metric, const QueryBatch& queries, const GroupRun& groups,
                       float* const* out);
  // transpose_into_group (group_transpose.h) at this level.
  void (*transpose_into_group)(const float* const* rows, std::size_t dimension, float* group);
};

// The table of the active level.
const SimdKernels& simd_kernels();

// The highest level this CPU (and its operating system) can run.
SimdLevel supported_simd_level();

// The level the kernels use now.
SimdLevel simd_level();

// Selects `requested`, or the supported level if that is lower; returns the
// level now in use. Not to be called while another thread scans or inserts.
SimdLevel set_simd_level(SimdLevel requested);

std::string_view simd_level_name(SimdLevel level);
std::optional<SimdLevel> simd_level_from_name(std::string_view name);

}  // namespace tarnvault_core::distance
