#include "core/payload/json_number.h"

#include <fmt/format.h>

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string_view>
#include <system_error>

#include "core/payload/float32_text.h"

namespace tarnvault_core::payload {
namespace {

bool has_fraction_or_exponent(std::string_view text) {
  return text.find_first_of(".eE") != std::string_view::npos;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// An integer text as one of the integer kinds; empty when it is "-0" or
// outside both 64-bit ranges, which makes it a float.
std::optional<JsonValue> integer_from_text(std::string_view text) {
  const bool negative = !text.empty() && text.front() == '-';
  const std::string_view digits = negative ? text.substr(1) : text;
  std::uint64_t magnitude = 0;
  const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), magnitude);
  if (ec != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
  if (!negative) return JsonValue::unsigned_integer(magnitude);
  constexpr std::uint64_t kMinMagnitude = std::uint64_t{1} << 63;
  if (magnitude == 0 || magnitude > kMinMagnitude) return std::nullopt;
  // -(magnitude - 1) - 1 stays inside the signed range even for 2^63.
  return JsonValue::signed_integer(-static_cast<std::int64_t>(magnitude - 1) - 1);
}

// Reads the decimal exponent after 'e'/'E', saturating far beyond any range
// that matters so that absurdly long exponents cannot overflow.
long long exponent_value(std::string_view text) {
  std::size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  long long value = 0;
  for (; i < text.size() && is_digit(text[i]); ++i) {
    if (value < 1'000'000'000) value = value * 10 + (text[i] - '0');
  }
  return negative ? -value : value;
}

// Whether a number text's magnitude is at least 1. Used after a conversion
// reported "out of range", to tell an overflow from an underflow: the
// decimal position of the first nonzero digit plus the exponent decides.
bool magnitude_at_least_one(std::string_view text) {
  std::size_t i = (!text.empty() && text.front() == '-') ? 1 : 0;
  long long first_digit_position = 0;
  bool found_nonzero = false;
  std::size_t integer_digits = 0;
  for (; i < text.size() && is_digit(text[i]); ++i) {
    if (text[i] != '0' && !found_nonzero) found_nonzero = true;
    if (found_nonzero) ++integer_digits;
  }
  if (found_nonzero) {
    first_digit_position = static_cast<long long>(integer_digits) - 1;
  }
  if (i < text.size() && text[i] == '.') {
    ++i;
    long long position = -1;
    for (; i < text.size() && is_digit(text[i]); ++i, --position) {
      if (!found_nonzero && text[i] != '0') {
        found_nonzero = true;
        first_digit_position = position;
      }
    }
  }
  if (!found_nonzero) return false;
  long long exponent = 0;
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E'))
    exponent = exponent_value(text.substr(i + 1));
  return first_digit_position + exponent >= 0;
}

// Converts with one correct rounding. Out of range means overflow (the
// result is +-infinity) or underflow (+-0.0); the text tells which.
template <typename Float>
Float nearest_float(std::string_view text) {
  Float value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec == std::errc::result_out_of_range) {
    const bool negative = !text.empty() && text.front() == '-';
    const Float magnitude =
        magnitude_at_least_one(text) ? std::numeric_limits<Float>::infinity() : Float(0);
    return negative ? -magnitude : magnitude;
  }
  (void)end;
  return value;
}

// Whether a shortest text already reads back as a float rather than an
// integer: to_chars writes '.' or 'e' for every non-integral value.
bool shows_float(const char* begin, const char* end) {
  for (const char* p = begin; p != end; ++p) {
    if (*p == '.' || *p == 'e') return true;
  }
  return false;
}

template <typename Float>
char* write_shortest(char* at, std::size_t room, Float value) {
  // Keep two bytes for the ".0" of an integral value.
  char* end = std::to_chars(at, at + room - 2, value).ptr;
  if (shows_float(at, end)) return end;
  end[0] = '.';
  end[1] = '0';
  return end + 2;
}

constexpr char kDigitPairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

// The decimal digits of value, written so that they end at end; returns
// where they start.
char* write_digits_ending_at(char* end, std::uint64_t value) {
  while (value >= 100) {
    end -= 2;
    std::memcpy(end, kDigitPairs + 2 * (value % 100), 2);
    value /= 100;
  }
  if (value >= 10) {
    end -= 2;
    std::memcpy(end, kDigitPairs + 2 * value, 2);
  } else {
    *--end = static_cast<char>('0' + value);
  }
  return end;
}

template <typename Float>
void append_shortest(std::string& out, Float value) {
  char buffer[64];  // holds every shortest float or double and its ".0"
  const char* end = write_shortest(buffer, sizeof buffer, value);
  out.append(buffer, static_cast<std::size_t>(end - buffer));
}

constexpr std::uint32_t kPowersOfTen[] = {1,      10,      100,      1000,      10000,
                                          100000, 1000000, 10000000, 100000000, 1000000000};

// Decimal digits of a nonzero value.
int digit_count(std::uint32_t value) {
  const int estimate = (std::bit_width(value) * 1233) >> 12;  // log10 of the top bit, rounded down
  return estimate + (value >= kPowersOfTen[estimate] ? 1 : 0);
}

// The eight decimal digits of value < 10^8, most significant first, as the
// bytes of a little-endian word: every lane divided at once, no stores to
// reload.
std::uint64_t eight_digits(std::uint32_t value) {
  const std::uint64_t quads = (value / 10000) | (std::uint64_t{value % 10000} << 32);
  const std::uint64_t high_pairs = ((quads * 10486) >> 20) & 0x0000007F0000007FULL;
  const std::uint64_t pairs = high_pairs | ((quads - high_pairs * 100) << 16);
  const std::uint64_t tens = ((pairs * 103) >> 10) & 0x000F000F000F000FULL;
  return tens | ((pairs - tens * 10) << 8) | 0x3030303030303030ULL;
}

void store_word(char* at, std::uint64_t word) { std::memcpy(at, &word, sizeof word); }

// The float32 text of to_chars' shortest form, laid out as to_chars lays
// it out: plain notation unless scientific notation is strictly shorter;
// an exponent has a sign and at least two digits; an integral value in
// plain notation shows its exact digits. The digits are stored as whole
// words, which may leave scratch bytes past the returned end (never past
// the kMaxFloat32TextSize room). A vector component's sign is a coin
// toss, so it is selected rather than branched on. (Whether it is above 1
// is another, but selecting the point's place with masks measured slower
// than the compiler's branch.)
char* lay_out_float32(char* at, float value, const Float32Digits& digits) {
  *at = '-';
  at += std::signbit(value) ? 1 : 0;
  if (value == 0) {
    std::memcpy(at, "0.0", 3);
    return at + 3;
  }
  const std::uint64_t rest = digits.rest;
  const int count = digits.count;
  const int scientific_exponent = digits.scientific_exponent;
  if (float32_text_is_plain(count, scientific_exponent)) {
    const int integral = scientific_exponent + 1;  // digits before the decimal point
    if (integral >= count) {
      // to_chars writes an integral value's exact digits rather than pad the
      // shortest ones with zeros; plain notation is chosen only below 10^15,
      // so they fit 64 bits. The ".0" makes it read back as a float.
      char exact_buffer[24];
      char* const exact_end = exact_buffer + sizeof exact_buffer;
      const char* exact =
          write_digits_ending_at(exact_end, static_cast<std::uint64_t>(std::fabs(value)));
      std::memcpy(at, exact, static_cast<std::size_t>(exact_end - exact));
      at += exact_end - exact;
      std::memcpy(at, ".0", 2);
      return at + 2;
    }
    // A point among the digits ("12.5", then integral < count <= 9) or
    // before them ("0.0125", then at most five characters lead).
    const bool point_among_digits = integral > 0;
    store_word(at, 0x3030303030302E30ULL);  // "0.000000"
    store_word(at + 8, 0x3030303030303030ULL);
    const int lead = point_among_digits ? 0 : 2 - integral;
    at[lead] = digits.first;
    store_word(at + lead + 1, rest);
    // Digits after the point: the word shifted past those before it, or
    // the same word again where it already stands.
    const int split = point_among_digits ? 8 * (integral - 1) : 0;
    const int after_point = point_among_digits ? integral + 1 : lead + 1;
    at[point_among_digits ? integral : 1] = '.';
    store_word(at + after_point, rest >> split);
    return at + (point_among_digits ? count + 1 : lead + count);
  }
  at[0] = digits.first;
  at[1] = '.';
  store_word(at + 2, rest);
  at += count > 1 ? count + 1 : 1;
  *at++ = 'e';
  *at++ = scientific_exponent < 0 ? '-' : '+';
  // A float32's decimal exponent is below 100: always two digits.
  const int exponent_magnitude =
      scientific_exponent < 0 ? -scientific_exponent : scientific_exponent;
  std::memcpy(at, kDigitPairs + 2 * exponent_magnitude, 2);
  return at + 2;
}

bool avx2_allowed() {
  __builtin_cpu_init();
  if (!__builtin_cpu_supports("avx2")) return false;
  const char* requested = std::getenv("TARNVAULT_SIMD");
  return requested == nullptr || std::string_view(requested) != "scalar";
}

}  // namespace

std::optional<JsonValue> number_from_json_text(std::string_view text) {
  if (!has_fraction_or_exponent(text)) {
    if (auto integer = integer_from_text(text)) return integer;
  }
  const double value = nearest_float<double>(text);
  if (std::isinf(value)) return std::nullopt;
  return JsonValue::floating(value);
}

float float32_from_json_text(std::string_view text) { return nearest_float<float>(text); }

void append_unsigned(std::string& out, std::uint64_t value) {
  char buffer[24];
  const auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
  (void)ec;
  out.append(buffer, static_cast<std::size_t>(end - buffer));
}

void append_signed(std::string& out, std::int64_t value) {
  char buffer[24];
  const auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
  (void)ec;
  out.append(buffer, static_cast<std::size_t>(end - buffer));
}

void append_float(std::string& out, double value) { append_shortest(out, value); }

void append_float32(std::string& out, float value) {
  char buffer[kMaxFloat32TextSize];
  const char* end = write_float32(buffer, value);
  out.append(buffer, static_cast<std::size_t>(end - buffer));
}

char* write_float32(char* at, float value) {
  if (value == 0) return lay_out_float32(at, value, {});
  return lay_out_float32(at, value, float32_digits(std::fabs(value)));
}

char* write_float32_list(char* at, std::span<const float> values) {
  if (float32_text_avx2_enabled()) {
    return write_float32_list_avx2(at, values, float32_digit_tables());
  }
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (i != 0) *at++ = ',';
    at = write_float32(at, values[i]);
  }
  return at;
}

Float32Digits float32_digits(float magnitude) {
  // to_decimal's significand has no trailing zeros: its digits are all
  // there is to count.
  const auto decimal = fmt::detail::dragonbox::to_decimal(magnitude);
  const int count = digit_count(decimal.significand);  // at most 9
  // The digits padded with zeros to nine: a leading one and a word of eight.
  const std::uint32_t nine = decimal.significand * kPowersOfTen[9 - count];
  return {eight_digits(nine % 100000000), static_cast<char>('0' + nine / 100000000), count,
          decimal.exponent + count - 1};
}

bool float32_text_avx2_enabled() {
  static const bool enabled = avx2_allowed();
  return enabled;
}

const Float32DigitTables& float32_digit_tables() {
  // Built here, at the baseline instruction set: the AVX2 file holds only
  // what runs after the CPU check.
  static const Float32DigitTables tables = [] {
    namespace dragonbox = fmt::detail::dragonbox;
    Float32DigitTables built{};
    for (int biased = 1; biased < 255; ++biased) {
      const int exponent = biased - 150;  // of the 24-bit integer significand
      const int minus_k = dragonbox::floor_log10_pow2(exponent) - 1;  // kappa = 1
      built.power[biased] = dragonbox::cache_accessor<float>::get_cached_power(-minus_k);
    }
    return built;
  }();
  return tables;
}

std::string_view non_finite_name(double value) {
  if (std::isnan(value)) return "NaN";
  return value > 0 ? "inf" : "-inf";
}

}  // namespace tarnvault_core::payload
