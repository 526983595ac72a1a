// The AVX2 version of float32_digits (float32_digits.h). Compiled with
// -mavx2 and called only after the CPU was found to support it, so nothing
// else lives in this file.
//
// Four values ride in the 64-bit lanes of a register. First Dragonbox's
// steps for a normal float32 (fmt's to_decimal<float>): every branch of the
// scalar algorithm becomes a mask, both the "larger divisor" and the
// "smaller divisor" outcomes are computed, and each lane keeps the one the
// scalar algorithm reaches; the 96-bit products are put together from
// 32 x 32-bit multiplications. Then the significand's characters, by the
// same multiplications the scalar version does on one word. Integer
// arithmetic only: the digits are exact.
#include <immintrin.h>

#include <array>

#include "core/payload/float32_digits.h"

namespace tarnvault_core::payload {
namespace {

__m256i all(std::int64_t value) { return _mm256_set1_epi64x(value); }

// All ones where a lane's bit 0 is set.
__m256i mask_of_low_bit(__m256i bits) {
  return _mm256_cmpeq_epi64(_mm256_and_si256(bits, all(1)), all(1));
}

// The low 64 bits of a x cache, a below 2^32.
__m256i low_product(__m256i a, __m256i cache, __m256i cache_high) {
  return _mm256_add_epi64(_mm256_mul_epu32(a, cache),
                          _mm256_slli_epi64(_mm256_mul_epu32(a, cache_high), 32));
}

// Per mask of the bytes of a digit word that hold '0': how many digits
// there are before the trailing zeros, counting the first digit.
constexpr std::array<std::uint8_t, 256> kCountsBeforeTrailingZeros = [] {
  std::array<std::uint8_t, 256> counts{};
  for (int mask = 0; mask < 256; ++mask) {
    int count = 9;
    for (int byte = 7; byte >= 0 && (mask >> byte & 1) != 0; --byte) --count;
    counts[static_cast<std::size_t>(mask)] = static_cast<std::uint8_t>(count);
  }
  return counts;
}();

unsigned four_digits(const float* values, const Float32DigitTables& tables, Float32Digits* out) {
  const __m256i zero = _mm256_setzero_si256();
  const __m256i low32 = all(0xFFFFFFFF);
  const __m128i raw = _mm_loadu_si128(reinterpret_cast<const __m128i*>(values));
  const __m256i bits = _mm256_and_si256(_mm256_cvtepu32_epi64(raw), all(0x7FFFFFFF));
  const __m256i fraction = _mm256_and_si256(bits, all(0x7FFFFF));
  const __m256i biased_exponent = _mm256_srli_epi64(bits, 23);
  const __m256i special = _mm256_or_si256(_mm256_cmpeq_epi64(fraction, zero),
                                          _mm256_cmpeq_epi64(biased_exponent, zero));

  // Dragonbox's k and beta from the binary exponent, in 32-bit lanes, which
  // shift arithmetically as its floor_log10_pow2 and floor_log2_pow10 do;
  // only the low half of each 64-bit lane is used. A gather is slow, so
  // only the cached power is looked up.
  const __m256i exponent = _mm256_sub_epi32(biased_exponent, _mm256_set1_epi32(150));
  const __m256i minus_k = _mm256_sub_epi32(
      _mm256_srai_epi32(_mm256_mullo_epi32(exponent, _mm256_set1_epi32(315653)), 20),
      _mm256_set1_epi32(1));  // kappa = 1
  const __m256i beta = _mm256_and_si256(
      _mm256_add_epi32(exponent, _mm256_srai_epi32(_mm256_mullo_epi32(
                                                      _mm256_sub_epi32(zero, minus_k),
                                                      _mm256_set1_epi32(1741647)),
                                                  19)),
      low32);
  const __m256i cache = _mm256_i64gather_epi64(reinterpret_cast<const long long*>(tables.power),
                                               biased_exponent, 8);
  const __m256i cache_high = _mm256_srli_epi64(cache, 32);

  const __m256i significand = _mm256_or_si256(fraction, all(0x800000));
  const __m256i include_endpoints = _mm256_cmpeq_epi64(_mm256_and_si256(significand, all(1)), zero);
  const __m256i two_fc = _mm256_slli_epi64(significand, 1);

  // z: the upper 32 bits of the 96-bit (two_fc | 1) << beta times cache,
  // and whether the 32 bits below them are zero.
  const __m256i u = _mm256_and_si256(_mm256_sllv_epi64(_mm256_or_si256(two_fc, all(1)), beta), low32);
  const __m256i upper64 = _mm256_add_epi64(_mm256_mul_epu32(u, cache_high),
                                           _mm256_srli_epi64(_mm256_mul_epu32(u, cache), 32));
  const __m256i z = _mm256_srli_epi64(upper64, 32);
  const __m256i z_is_integer = _mm256_cmpeq_epi64(_mm256_and_si256(upper64, low32), zero);
  const __m256i deltai =
      _mm256_and_si256(_mm256_srlv_epi64(cache, _mm256_sub_epi64(all(63), beta)), low32);

  // The parities and integer checks of (two_fc - 1) and two_fc times cache.
  const __m256i parity_shift = _mm256_sub_epi64(all(64), beta);
  const __m256i integer_shift = _mm256_sub_epi64(all(32), beta);
  const __m256i x_low = low_product(_mm256_sub_epi64(two_fc, all(1)), cache, cache_high);
  const __m256i y_low = low_product(two_fc, cache, cache_high);
  const __m256i x_parity = mask_of_low_bit(_mm256_srlv_epi64(x_low, parity_shift));
  const __m256i x_is_integer = _mm256_cmpeq_epi64(
      _mm256_and_si256(_mm256_srlv_epi64(x_low, integer_shift), low32), zero);
  const __m256i y_parity = _mm256_and_si256(_mm256_srlv_epi64(y_low, parity_shift), all(1));
  const __m256i y_is_integer = _mm256_cmpeq_epi64(
      _mm256_and_si256(_mm256_srlv_epi64(y_low, integer_shift), low32), zero);

  // The larger divisor, 100; r and deltai are below 100, so signed
  // comparisons of the lanes are exact.
  __m256i larger = _mm256_srli_epi64(_mm256_mul_epu32(z, all(1374389535)), 37);  // z / 100
  __m256i r = _mm256_sub_epi64(z, _mm256_mul_epu32(larger, all(100)));
  const __m256i below = _mm256_cmpgt_epi64(deltai, r);
  const __m256i right_endpoint_out = _mm256_andnot_si256(
      include_endpoints,
      _mm256_and_si256(_mm256_and_si256(below, _mm256_cmpeq_epi64(r, zero)), z_is_integer));
  const __m256i larger_holds = _mm256_or_si256(
      _mm256_andnot_si256(right_endpoint_out, below),
      _mm256_and_si256(_mm256_cmpeq_epi64(r, deltai),
                       _mm256_or_si256(x_parity, _mm256_and_si256(x_is_integer, include_endpoints))));
  larger = _mm256_add_epi64(larger, right_endpoint_out);  // one less where the mask is set
  r = _mm256_blendv_epi8(r, all(100), right_endpoint_out);

  // The smaller divisor, 10. Lanes that keep the larger one compute
  // garbage here, which is never selected.
  __m256i dist = _mm256_add_epi64(_mm256_sub_epi64(r, _mm256_srli_epi64(deltai, 1)), all(5));
  const __m256i approx_y_parity = _mm256_and_si256(_mm256_xor_si256(dist, all(5)), all(1));
  dist = _mm256_mul_epu32(dist, all(6554));  // ceil(2^16 / 10)
  const __m256i divisible = _mm256_cmpgt_epi64(all(6554), _mm256_and_si256(dist, all(0xFFFF)));
  dist = _mm256_and_si256(_mm256_srli_epi64(dist, 16), all(0xFFFF));
  __m256i smaller = _mm256_add_epi64(_mm256_mul_epu32(larger, all(10)), dist);
  const __m256i step_down = _mm256_and_si256(
      divisible, _mm256_or_si256(_mm256_xor_si256(y_parity, approx_y_parity),
                                 _mm256_and_si256(_mm256_srli_epi64(y_is_integer, 63), smaller)));
  smaller = _mm256_sub_epi64(smaller, _mm256_and_si256(step_down, all(1)));

  const __m256i decimal = _mm256_blendv_epi8(smaller, larger, larger_holds);
  // minus_k + 1, or minus_k + 2 where the larger divisor holds; the low
  // halves of the lanes are right, and only they are kept.
  const __m256i decimal_exponent =
      _mm256_sub_epi64(_mm256_add_epi64(minus_k, all(1)), larger_holds);

  // The decimal's digits, padded with zeros to nine (it has at most nine):
  // times 10^(9 - digits), 10^8 apart, the others picked from a register.
  __m256i digit_count = all(1);
  std::int64_t power = 10;
  for (int i = 1; i < 9; ++i, power *= 10) {
    digit_count = _mm256_sub_epi64(digit_count, _mm256_cmpgt_epi64(decimal, all(power - 1)));
  }
  const __m256i padding = _mm256_sub_epi64(all(9), digit_count);
  const __m256i small_scales = _mm256_and_si256(
      _mm256_permutevar8x32_epi32(
          _mm256_setr_epi32(1, 10, 100, 1000, 10000, 100000, 1000000, 10000000), padding),
      low32);
  const __m256i scale =
      _mm256_blendv_epi8(small_scales, all(100000000), _mm256_cmpeq_epi64(padding, all(8)));
  const __m256i nine = _mm256_mul_epu32(decimal, scale);
  const __m256i first = _mm256_srli_epi64(_mm256_mul_epu32(nine, all(1441151881)), 57);  // / 10^8
  const __m256i low8 = _mm256_sub_epi64(nine, _mm256_mul_epu32(first, all(100000000)));
  // The scalar eight_digits, whose fields never carry into one another, so
  // that 32- and 16-bit lanes do what it does on a 64-bit word.
  const __m256i high4 = _mm256_srli_epi64(_mm256_mul_epu32(low8, all(0xD1B71759)), 45);  // / 10^4
  const __m256i quads = _mm256_or_si256(
      high4, _mm256_slli_epi64(_mm256_sub_epi64(low8, _mm256_mul_epu32(high4, all(10000))), 32));
  const __m256i high_pairs = _mm256_and_si256(
      _mm256_srli_epi32(_mm256_mullo_epi32(quads, _mm256_set1_epi32(10486)), 20),
      _mm256_set1_epi32(0x7F));
  const __m256i pairs = _mm256_or_si256(
      high_pairs,
      _mm256_slli_epi32(_mm256_sub_epi32(quads, _mm256_mullo_epi32(high_pairs, _mm256_set1_epi32(100))),
                        16));
  const __m256i tens = _mm256_and_si256(
      _mm256_srli_epi16(_mm256_mullo_epi16(pairs, _mm256_set1_epi16(103)), 10), _mm256_set1_epi16(0xF));
  const __m256i ones = _mm256_sub_epi16(pairs, _mm256_mullo_epi16(tens, _mm256_set1_epi16(10)));
  const __m256i rest =
      _mm256_or_si256(_mm256_or_si256(tens, _mm256_slli_epi16(ones, 8)), _mm256_set1_epi8('0'));
  const auto zero_bytes = static_cast<std::uint32_t>(
      _mm256_movemask_epi8(_mm256_cmpeq_epi8(rest, _mm256_set1_epi8('0'))));
  const __m256i scientific_exponent =
      _mm256_add_epi64(decimal_exponent, _mm256_sub_epi64(digit_count, all(1)));

  alignas(32) std::uint64_t rests[4];
  alignas(32) std::uint64_t firsts[4];
  alignas(32) std::int64_t exponents[4];
  _mm256_store_si256(reinterpret_cast<__m256i*>(rests), rest);
  _mm256_store_si256(reinterpret_cast<__m256i*>(firsts), first);
  _mm256_store_si256(reinterpret_cast<__m256i*>(exponents), scientific_exponent);
  for (int i = 0; i < 4; ++i) {
    out[i] = {rests[i], static_cast<char>('0' + firsts[i]),
              kCountsBeforeTrailingZeros[(zero_bytes >> (8 * i)) & 0xFF],
              static_cast<int>(exponents[i])};
  }
  return static_cast<unsigned>(_mm256_movemask_pd(_mm256_castsi256_pd(special)));
}

}  // namespace

unsigned float32_digits_avx2(const float* values, const Float32DigitTables& tables,
                             Float32Digits* out) {
  static_assert(kAvx2DigitBlock == 8);
  return four_digits(values, tables, out) | four_digits(values + 4, tables, out + 4) << 4;
}

}  // namespace tarnvault_core::payload
