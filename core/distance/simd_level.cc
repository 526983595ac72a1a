#include "core/distance/simd_level.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>

#include "core/distance/group_transpose.h"

namespace tarnvault_core::distance {
namespace {

void transpose_scalar_group(const float* const* rows, std::size_t dimension, float* group) {
  group_transpose::transpose_scalar(rows, 0, dimension, group);
}

constexpr SimdKernels kTables[] = {
    {SimdLevel::Scalar, group_kernels::score_scalar, transpose_scalar_group},
    {SimdLevel::Avx2, group_kernels::score_avx2, group_transpose::transpose_avx2},
    {SimdLevel::Avx512, group_kernels::score_avx512, group_transpose::transpose_avx512},
};

const SimdKernels& table_of(SimdLevel level) { return kTables[static_cast<std::size_t>(level)]; }

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

// Null until first use. Two threads that both find it null pick the same
// table, so the race is harmless; the atomic only keeps it defined.
std::atomic<const SimdKernels*> active{nullptr};

}  // namespace

const SimdKernels& simd_kernels() {
  const SimdKernels* table = active.load(std::memory_order_relaxed);
  if (table == nullptr) {
    table = &table_of(initial_level());
    active.store(table, std::memory_order_relaxed);
  }
  return *table;
}

SimdLevel supported_simd_level() {
  static const SimdLevel supported = detect();
  return supported;
}

SimdLevel simd_level() { return simd_kernels().level; }

SimdLevel set_simd_level(SimdLevel requested) {
  const SimdLevel level = std::min(requested, supported_simd_level());
  active.store(&table_of(level), std::memory_order_relaxed);
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

// For tests and one-off calls; loops call through simd_kernels() instead.
void score_groups(DistanceMetric metric, const QueryBatch& queries, const GroupRun& groups,
                  float* const* out) {
  simd_kernels().score_groups(metric, queries, groups, out);
}

void transpose_into_group(const float* const* rows, std::size_t dimension, float* group) {
  simd_kernels().transpose_into_group(rows, dimension, group);
}

}  // namespace tarnvault_core::distance
