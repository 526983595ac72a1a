// The AVX2 version of write_float32_list (float32_text.h). Compiled with
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
// arithmetic only: the digits are exact. Last, each value's text is one
// byte shuffle of its characters, picked by its digit count and exponent,
// stored whole and advanced past by its length.
#include <immintrin.h>

#include <array>
#include <cstring>

#include "core/payload/float32_text.h"
#include "core/payload/json_number.h"

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

// Four values' digits, in 64-bit lanes.
struct FourDigits {
  __m256i rest;                 // digits 2 to 9 as characters
  __m256i first;                // the first digit, 0 to 9
  __m256i scientific_exponent;  // in the low half of each lane
  std::uint32_t zero_bytes;     // a bit per byte of rest that is '0'
  unsigned special;  // a bit per lane whose digits Dragonbox finds another way
};

[[gnu::always_inline]] inline FourDigits four_digits(const float* values,
                                                   const Float32DigitTables& tables) {
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

  return {rest, first, scientific_exponent, zero_bytes,
          static_cast<unsigned>(_mm256_movemask_pd(_mm256_castsi256_pd(special)))};
}

// Where a text's characters come from: a value's 16 source bytes are its
// digits 2 to 9, the first digit, the constant characters and those of the
// exponent; a shuffle puts them in the text's order.
constexpr std::uint8_t kFirstDigit = 8;
constexpr std::uint8_t kPoint = 9;
constexpr std::uint8_t kE = 10;
constexpr std::uint8_t kExponentSign = 11;
constexpr std::uint8_t kExponentTens = 12;
constexpr std::uint8_t kExponentOnes = 13;
constexpr std::uint8_t kComma = 14;
constexpr std::uint8_t kZero = 15;

// Below 10^-5 every text is scientific, so those exponents share a shape;
// from 10^8 up every value is at least 2^24, which the scalar path takes
// (see four_texts), so those shapes are never used.
constexpr int kLowestExponent = -5;
constexpr int kHighestExponent = 8;
constexpr int kExponents = kHighestExponent - kLowestExponent + 1;

// A text's shuffle: order[i] is the source byte of character i; the byte
// after the text is the comma that follows it. Byte 15 is never part of a
// text (the longest with its comma is "1.23456789e-38,"), so it holds the
// length with the comma, high bit set so that the shuffle writes a zero there.
struct alignas(16) Shape {
  std::uint8_t order[16];
};

// Source bytes 8 to 15 as they are before the first digit and the
// exponent's characters are added to them.
constexpr std::int64_t kSourceConstants = [] {
  const char constants[] = "0.e+00,0";
  static_assert(kZero - kFirstDigit == sizeof constants - 2);
  std::uint64_t word = 0;
  for (int byte = 0; byte < 8; ++byte) {
    word |= std::uint64_t{static_cast<std::uint8_t>(constants[byte])} << (8 * byte);
  }
  return static_cast<std::int64_t>(word);
}();

constexpr std::uint8_t digit_source(int digit) {  // digit 0 is the first
  return digit == 0 ? kFirstDigit : digit < 9 ? static_cast<std::uint8_t>(digit - 1) : kZero;
}

// The scalar layout (lay_out_float32 in json_number.cc) as shuffles, per
// digit count and scientific exponent. Plain integral values take the
// shortest digits padded with zeros: below 2^24 those are the exact ones.
constexpr Shape shape_of(int count, int scientific_exponent) {
  Shape shape{};
  int size = 0;
  auto put = [&](std::uint8_t source) { shape.order[size++] = source; };
  const int integral = scientific_exponent + 1;
  if (!float32_text_is_plain(count, scientific_exponent)) {
    put(digit_source(0));
    if (count > 1) put(kPoint);
    for (int digit = 1; digit < count; ++digit) put(digit_source(digit));
    put(kE);
    put(kExponentSign);
    put(kExponentTens);
    put(kExponentOnes);
  } else if (integral >= count) {
    for (int digit = 0; digit < integral; ++digit) put(digit_source(digit));
    put(kPoint);
    put(kZero);
  } else if (integral > 0) {
    for (int digit = 0; digit < integral; ++digit) put(digit_source(digit));
    put(kPoint);
    for (int digit = integral; digit < count; ++digit) put(digit_source(digit));
  } else {
    put(kZero);
    put(kPoint);
    for (int zero = 0; zero < -integral; ++zero) put(kZero);
    for (int digit = 0; digit < count; ++digit) put(digit_source(digit));
  }
  put(kComma);
  const int length = size;
  while (size < 15) put(0x80);
  shape.order[15] = static_cast<std::uint8_t>(0x80 | length);
  return shape;
}

constexpr auto kShapes = [] {
  std::array<std::array<Shape, kExponents>, 10> shapes{};  // count 0 unused
  for (int count = 1; count <= 9; ++count) {
    for (int exponent = kLowestExponent; exponent <= kHighestExponent; ++exponent) {
      shapes[count][exponent - kLowestExponent] = shape_of(count, exponent);
    }
  }
  return shapes;
}();

// The texts of `lanes` (1 to 4) values, each followed by a comma; returns
// the end. Zeros, subnormals, powers of two and integers from 2^24 up, whose
// digits or layout the lanes do not find, take the scalar path.
char* four_texts(char* at, const float* values, int lanes, const Float32DigitTables& tables) {
  const FourDigits digits = four_digits(values, tables);
  const __m256i above_exact =
      _mm256_cmpgt_epi64(_mm256_and_si256(_mm256_cvtepu32_epi64(_mm_loadu_si128(
                                              reinterpret_cast<const __m128i*>(values))),
                                          all(0x7FFFFFFF)),
                         all(0x4B7FFFFF));  // 2^24 and up
  const unsigned scalar =
      digits.special | static_cast<unsigned>(_mm256_movemask_pd(_mm256_castsi256_pd(above_exact)));
  const unsigned negative = static_cast<unsigned>(_mm_movemask_ps(_mm_loadu_ps(values)));

  // The exponent's characters, and the source bytes after the digits.
  const __m256i exponent = digits.scientific_exponent;
  const __m256i magnitude = _mm256_and_si256(_mm256_abs_epi32(exponent), all(0xFFFFFFFF));
  const __m256i tens = _mm256_srli_epi64(_mm256_mul_epu32(magnitude, all(103)), 10);  // / 10
  const __m256i ones = _mm256_sub_epi64(magnitude, _mm256_mul_epu32(tens, all(10)));
  const __m256i minus = _mm256_and_si256(_mm256_cmpgt_epi32(_mm256_setzero_si256(), exponent),
                                         all(2));  // '-' is '+' + 2
  const __m256i high = _mm256_add_epi64(
      _mm256_add_epi64(all(kSourceConstants), digits.first),
      _mm256_add_epi64(
          _mm256_slli_epi64(minus, 8 * (kExponentSign - 8)),
          _mm256_add_epi64(_mm256_slli_epi64(tens, 8 * (kExponentTens - 8)),
                           _mm256_slli_epi64(ones, 8 * (kExponentOnes - 8)))));
  // Values 0 and 2, then 1 and 3: the 128-bit halves of an unpacked pair.
  alignas(32) __m128i sources[4];
  _mm256_store_si256(reinterpret_cast<__m256i*>(&sources[0]),
                     _mm256_unpacklo_epi64(digits.rest, high));
  _mm256_store_si256(reinterpret_cast<__m256i*>(&sources[2]),
                     _mm256_unpackhi_epi64(digits.rest, high));
  alignas(32) std::int32_t shape_exponents[8];
  _mm256_store_si256(
      reinterpret_cast<__m256i*>(shape_exponents),
      _mm256_sub_epi32(_mm256_min_epi32(_mm256_max_epi32(exponent,
                                                         _mm256_set1_epi32(kLowestExponent)),
                                        _mm256_set1_epi32(kHighestExponent)),
                       _mm256_set1_epi32(kLowestExponent)));

  constexpr int kSourceOf[4] = {0, 2, 1, 3};
  for (int i = 0; i < lanes; ++i) {
    if ((scalar >> i & 1) != 0) {
      at = write_float32(at, values[i]);
      *at++ = ',';
      continue;
    }
    // A sign is a coin toss: written always, kept or not.
    *at = '-';
    at += negative >> i & 1;
    const int count = kCountsBeforeTrailingZeros[(digits.zero_bytes >> (8 * i)) & 0xFF];
    const Shape& shape = kShapes[count][shape_exponents[2 * i]];
    const __m128i order = _mm_load_si128(reinterpret_cast<const __m128i*>(shape.order));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(at),
                     _mm_shuffle_epi8(sources[kSourceOf[i]], order));
    at += shape.order[15] & 0x7F;
  }
  return at;
}

}  // namespace

char* write_float32_list_avx2(char* at, std::span<const float> values,
                              const Float32DigitTables& tables) {
  if (values.empty()) return at;
  std::size_t start = 0;
  for (; start + 4 <= values.size(); start += 4) {
    at = four_texts(at, values.data() + start, 4, tables);
  }
  if (start != values.size()) {
    // The lanes past the end get a value whose digits are ordinary.
    float padded[4] = {1, 1, 1, 1};
    const std::size_t lanes = values.size() - start;
    std::memcpy(padded, values.data() + start, lanes * sizeof(float));
    at = four_texts(at, padded, static_cast<int>(lanes), tables);
  }
  return at - 1;  // no comma after the last
}

}  // namespace tarnvault_core::payload
