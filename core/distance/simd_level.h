// The instruction-set level the group kernels run at. Every level gives the
// same bits; only speed differs. The level is chosen once, from what the CPU
// supports, unless the environment variable TARNVAULT_SIMD names a lower one
// ("avx512", "avx2" or "scalar"), and tests and benchmarks may lower it at
// run time with set_simd_level.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace tarnvault_core::distance {

enum class SimdLevel : std::uint8_t { Scalar = 0, Avx2 = 1, Avx512 = 2 };

// The highest level this CPU (and its operating system) can run.
SimdLevel supported_simd_level();

// The level the kernels use now.
SimdLevel simd_level();

// Selects `requested`, or the supported level if that is lower; returns the
// level now in use.
SimdLevel set_simd_level(SimdLevel requested);

std::string_view simd_level_name(SimdLevel level);
std::optional<SimdLevel> simd_level_from_name(std::string_view name);

}  // namespace tarnvault_core::distance
