// Group kernels for AVX-512F: one zmm register holds a whole group's
// component. Compiled with -mavx512f (set in core/CMakeLists.txt) and run
// only when the CPU supports it.
#include <immintrin.h>

#include <cstdint>

#include "core/distance/group_scan_impl.h"

namespace tarnvault_core::distance::group_kernels {
namespace {

struct Avx512 {
  using Vec = __m512;
  using Count = __m512i;
  static constexpr int kSingleGroups = 4;
  static constexpr int kBatchGroups = 4;

  static Vec zero() { return _mm512_setzero_ps(); }
  static Vec load(const float* p) { return _mm512_loadu_ps(p); }
  static Vec broadcast(float x) { return _mm512_set1_ps(x); }
  static Vec add(Vec a, Vec b) { return _mm512_add_ps(a, b); }
  static Vec sub(Vec a, Vec b) { return _mm512_sub_ps(a, b); }
  static Vec mul(Vec a, Vec b) { return _mm512_mul_ps(a, b); }
  static Vec div(Vec a, Vec b) { return _mm512_div_ps(a, b); }
  // The masked forms with an explicit source: GCC 12 warns about the
  // undefined source register of the plain ones.
  static Vec sqrt(Vec a) { return _mm512_mask_sqrt_ps(a, 0xFFFF, a); }
  static Vec flip_sign(Vec a) {
    return _mm512_castsi512_ps(
        _mm512_xor_si512(_mm512_castps_si512(a), _mm512_set1_epi32(INT32_MIN)));
  }
  static Vec one_where_zero(Vec den, Vec value) {
    const __mmask16 zero_den = _mm512_cmp_ps_mask(den, zero(), _CMP_EQ_OQ);
    return _mm512_mask_blend_ps(zero_den, value, broadcast(1.0f));
  }
  static void store(float* p, Vec a) { _mm512_storeu_ps(p, a); }

  static Count zero_count() { return _mm512_setzero_si512(); }
  static Count count_differing(Count count, Vec stored, bool query_bit) {
    const __mmask16 set = _mm512_cmp_ps_mask(stored, broadcast(0.5f), _CMP_GT_OQ);
    const __mmask16 differ = query_bit ? static_cast<__mmask16>(~set) : set;
    return _mm512_mask_add_epi32(count, differ, count, _mm512_set1_epi32(1));
  }
  static Vec to_float(Count count) { return _mm512_mask_cvtepi32_ps(zero(), 0xFFFF, count); }
};

}  // namespace

void score_avx512(DistanceMetric metric, const QueryBatch& queries, const GroupRun& groups,
                  float* const* out) {
  group_scan::score<Avx512>(metric, queries, groups, out);
}

}  // namespace tarnvault_core::distance::group_kernels
