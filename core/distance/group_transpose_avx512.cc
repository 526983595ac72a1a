// Compiled with -mavx512f; called only when the CPU has AVX-512F.
#include <immintrin.h>

#include "core/distance/group_transpose.h"

namespace tarnvault_core::distance::group_transpose {
namespace {

static_assert(distance::kGroupLanes == 16);

// The zero-masked forms with every lane selected are the plain
// instructions; GCC 12's unmasked forms warn about an uninitialised
// placeholder operand.
constexpr __mmask16 kAll16 = 0xffff;
constexpr __mmask8 kAll8 = 0xff;

__m512 unpack_low(__m512 a, __m512 b) { return _mm512_maskz_unpacklo_ps(kAll16, a, b); }
__m512 unpack_high(__m512 a, __m512 b) { return _mm512_maskz_unpackhi_ps(kAll16, a, b); }
template <int kImm>
__m512 shuffle_lanes(__m512 a, __m512 b) {
  return _mm512_maskz_shuffle_f32x4(kAll16, a, b, kImm);
}

__m512 interleave_low_pairs(__m512 a, __m512 b) {
  return _mm512_castpd_ps(_mm512_maskz_unpacklo_pd(kAll8, _mm512_castps_pd(a), _mm512_castps_pd(b)));
}
__m512 interleave_high_pairs(__m512 a, __m512 b) {
  return _mm512_castpd_ps(_mm512_maskz_unpackhi_pd(kAll8, _mm512_castps_pd(a), _mm512_castps_pd(b)));
}

// Components first .. first + 15 of the 16 rows, stored as 16 lane-rows of
// the group.
void transpose_block(const float* const* rows, std::size_t first, float* group) {
  __m512 r[16];
  for (int l = 0; l < 16; ++l) r[l] = _mm512_loadu_ps(rows[l] + first);
  // Within each 128-bit lane k: t[2i] holds components 4k, 4k+1 and
  // t[2i+1] components 4k+2, 4k+3 of rows 2i and 2i+1, interleaved.
  __m512 t[16];
  for (int i = 0; i < 8; ++i) {
    t[2 * i] = unpack_low(r[2 * i], r[2 * i + 1]);
    t[2 * i + 1] = unpack_high(r[2 * i], r[2 * i + 1]);
  }
  // Now lane k of r[4i + m] is component 4k + m of rows 4i .. 4i + 3.
  for (int i = 0; i < 4; ++i) {
    r[4 * i] = interleave_low_pairs(t[4 * i], t[4 * i + 2]);
    r[4 * i + 1] = interleave_high_pairs(t[4 * i], t[4 * i + 2]);
    r[4 * i + 2] = interleave_low_pairs(t[4 * i + 1], t[4 * i + 3]);
    r[4 * i + 3] = interleave_high_pairs(t[4 * i + 1], t[4 * i + 3]);
  }
  // A 4 x 4 transpose of 128-bit lanes gathers component 4k + m of all 16
  // rows.
  for (int m = 0; m < 4; ++m) {
    const __m512 s0 = shuffle_lanes<0x88>(r[m], r[4 + m]);
    const __m512 s1 = shuffle_lanes<0xdd>(r[m], r[4 + m]);
    const __m512 s2 = shuffle_lanes<0x88>(r[8 + m], r[12 + m]);
    const __m512 s3 = shuffle_lanes<0xdd>(r[8 + m], r[12 + m]);
    float* out = group + (first + m) * 16;
    _mm512_store_ps(out + 0 * 4 * 16, shuffle_lanes<0x88>(s0, s2));
    _mm512_store_ps(out + 1 * 4 * 16, shuffle_lanes<0x88>(s1, s3));
    _mm512_store_ps(out + 2 * 4 * 16, shuffle_lanes<0xdd>(s0, s2));
    _mm512_store_ps(out + 3 * 4 * 16, shuffle_lanes<0xdd>(s1, s3));
  }
}

}  // namespace

void transpose_avx512(const float* const* rows, std::size_t dimension, float* group) {
  std::size_t j = 0;
  for (; j + 16 <= dimension; j += 16) transpose_block(rows, j, group);
  transpose_scalar(rows, j, dimension, group);
}

}  // namespace tarnvault_core::distance::group_transpose
