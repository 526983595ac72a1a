// Compiled with -mavx2; called only when the CPU has AVX2.
#include <immintrin.h>

#include "core/distance/group_transpose.h"

namespace tarnvault_core::distance::group_transpose {
namespace {

static_assert(distance::kGroupLanes == 16);

// Components first .. first + 7 of rows[0 .. 8), stored as those
// components' lanes lane .. lane + 7 of the group.
void transpose_8x8(const float* const* rows, std::size_t first, float* group, int lane) {
  __m256 r[8];
  for (int l = 0; l < 8; ++l) r[l] = _mm256_loadu_ps(rows[l] + first);
  // t[2i], t[2i+1]: components (0, 1, 4, 5) and (2, 3, 6, 7) of rows 2i and
  // 2i + 1, interleaved.
  __m256 t[8];
  for (int i = 0; i < 4; ++i) {
    t[2 * i] = _mm256_unpacklo_ps(r[2 * i], r[2 * i + 1]);
    t[2 * i + 1] = _mm256_unpackhi_ps(r[2 * i], r[2 * i + 1]);
  }
  // u[4h + m]: component m (low half) and m + 4 (high half) of rows
  // 4h .. 4h + 3.
  __m256 u[8];
  for (int h = 0; h < 2; ++h) {
    const __m256* v = t + 4 * h;
    u[4 * h + 0] = _mm256_shuffle_ps(v[0], v[2], 0x44);
    u[4 * h + 1] = _mm256_shuffle_ps(v[0], v[2], 0xee);
    u[4 * h + 2] = _mm256_shuffle_ps(v[1], v[3], 0x44);
    u[4 * h + 3] = _mm256_shuffle_ps(v[1], v[3], 0xee);
  }
  for (int m = 0; m < 4; ++m) {
    float* low = group + (first + m) * 16 + lane;
    float* high = group + (first + m + 4) * 16 + lane;
    _mm256_store_ps(low, _mm256_permute2f128_ps(u[m], u[4 + m], 0x20));
    _mm256_store_ps(high, _mm256_permute2f128_ps(u[m], u[4 + m], 0x31));
  }
}

}  // namespace

void transpose_avx2(const float* const* rows, std::size_t dimension, float* group) {
  std::size_t j = 0;
  for (; j + 8 <= dimension; j += 8) {
    transpose_8x8(rows, j, group, 0);
    transpose_8x8(rows + 8, j, group, 8);
  }
  transpose_scalar(rows, j, dimension, group);
}

}  // namespace tarnvault_core::distance::group_transpose
