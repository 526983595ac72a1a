// Group kernels for AVX2: a group's component spans two ymm registers.
// Compiled with -mavx2 (set in core/CMakeLists.txt; no -mfma) and run only
// when the CPU supports it.
#include <immintrin.h>

#include "core/distance/group_scan_impl.h"

namespace tarnvault_core::distance::group_kernels {
namespace {

struct Avx2 {
  struct Vec {
    __m256 lo, hi;
  };
  struct Count {
    __m256i lo, hi;
  };
  static constexpr int kSingleGroups = 2;
  static constexpr int kBatchGroups = 2;

  static Vec zero() { return {_mm256_setzero_ps(), _mm256_setzero_ps()}; }
  static Vec load(const float* p) { return {_mm256_loadu_ps(p), _mm256_loadu_ps(p + 8)}; }
  static Vec broadcast(float x) {
    const __m256 v = _mm256_set1_ps(x);
    return {v, v};
  }
  static Vec add(Vec a, Vec b) { return {_mm256_add_ps(a.lo, b.lo), _mm256_add_ps(a.hi, b.hi)}; }
  static Vec sub(Vec a, Vec b) { return {_mm256_sub_ps(a.lo, b.lo), _mm256_sub_ps(a.hi, b.hi)}; }
  static Vec mul(Vec a, Vec b) { return {_mm256_mul_ps(a.lo, b.lo), _mm256_mul_ps(a.hi, b.hi)}; }
  static Vec div(Vec a, Vec b) { return {_mm256_div_ps(a.lo, b.lo), _mm256_div_ps(a.hi, b.hi)}; }
  static Vec sqrt(Vec a) { return {_mm256_sqrt_ps(a.lo), _mm256_sqrt_ps(a.hi)}; }
  static Vec flip_sign(Vec a) {
    const __m256 sign = _mm256_set1_ps(-0.0f);
    return {_mm256_xor_ps(a.lo, sign), _mm256_xor_ps(a.hi, sign)};
  }
  static __m256 one_where_zero(__m256 den, __m256 value) {
    const __m256 zero_den = _mm256_cmp_ps(den, _mm256_setzero_ps(), _CMP_EQ_OQ);
    return _mm256_blendv_ps(value, _mm256_set1_ps(1.0f), zero_den);
  }
  static Vec one_where_zero(Vec den, Vec value) {
    return {one_where_zero(den.lo, value.lo), one_where_zero(den.hi, value.hi)};
  }
  static void store(float* p, Vec a) {
    _mm256_storeu_ps(p, a.lo);
    _mm256_storeu_ps(p + 8, a.hi);
  }

  static Count zero_count() { return {_mm256_setzero_si256(), _mm256_setzero_si256()}; }
  // A true comparison is all ones, i.e. -1: subtracting it counts one.
  static __m256i count_differing(__m256i count, __m256 stored, __m256 flip) {
    const __m256 set = _mm256_cmp_ps(stored, _mm256_set1_ps(0.5f), _CMP_GT_OQ);
    return _mm256_sub_epi32(count, _mm256_castps_si256(_mm256_xor_ps(set, flip)));
  }
  static Count count_differing(Count count, Vec stored, bool query_bit) {
    const __m256 flip = query_bit ? _mm256_castsi256_ps(_mm256_set1_epi32(-1)) : _mm256_setzero_ps();
    return {count_differing(count.lo, stored.lo, flip), count_differing(count.hi, stored.hi, flip)};
  }
  static Vec to_float(Count count) {
    return {_mm256_cvtepi32_ps(count.lo), _mm256_cvtepi32_ps(count.hi)};
  }
};

}  // namespace

void score_avx2(DistanceMetric metric, const QueryBatch& queries, const GroupRun& groups,
                float* const* out) {
  group_scan::score<Avx2>(metric, queries, groups, out);
}

}  // namespace tarnvault_core::distance::group_kernels
