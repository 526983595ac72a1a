#include "core/distance/simd_level.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>

namespace tarnvault_core::distance {
namespace {

SimdLevel detect() {
  __builtin_cpu_init();
  // The checks include the operating system's support for the wider
  // register state, not only the CPU's feature bits.
  if (__builtin_cpu_supports("avx512f")) return SimdLevel::Avx512;
  if (__builtin_cpu_supports("avx2")) return SimdLevel::Avx2;
  return SimdLevel::Scalar;
}

SimdLevel initial_level() {
  const SimdLevel supported = supported_simd_level();
  const char* requested = std::getenv("TARNVAULT_SIMD");
  if (requested == nullptr) return supported;
  const auto level = simd_level_from_name(requested);
  return level ? std::min(*level, supported) : supported;
}

std::atomic<SimdLevel>& active_level() {
  static std::atomic<SimdLevel> level{initial_level()};
  return level;
}

}  // namespace

SimdLevel supported_simd_level() {
  static const SimdLevel supported = detect();
  return supported;
}

SimdLevel simd_level() { return active_level().load(std::memory_order_relaxed); }

SimdLevel set_simd_level(SimdLevel requested) {
  const SimdLevel level = std::min(requested, supported_simd_level());
  active_level().store(level, std::memory_order_relaxed);
  return level;
}

std::string_view simd_level_name(SimdLevel level) {
  switch (level) {
    case SimdLevel::Scalar:
      return "scalar";
    case SimdLevel::Avx2:
      return "avx2";
    case SimdLevel::Avx512:
      return "avx512";
  }
  return "scalar";
}

std::optional<SimdLevel> simd_level_from_name(std::string_view name) {
  for (SimdLevel level : {SimdLevel::Scalar, SimdLevel::Avx2, SimdLevel::Avx512}) {
    if (simd_level_name(level) == name) return level;
  }
  return std::nullopt;
}

}  // namespace tarnvault_core::distance
