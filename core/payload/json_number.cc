#include "core/payload/json_number.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <system_error>

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

template <typename Float>
void append_shortest(std::string& out, Float value) {
  char buffer[64];  // holds every shortest float or double and its ".0"
  const char* end = write_shortest(buffer, sizeof buffer, value);
  out.append(buffer, static_cast<std::size_t>(end - buffer));
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

void append_float32(std::string& out, float value) { append_shortest(out, value); }

char* write_float32(char* at, float value) { return write_shortest(at, kMaxFloat32TextSize, value); }

std::string_view non_finite_name(double value) {
  if (std::isnan(value)) return "NaN";
  return value > 0 ? "inf" : "-inf";
}

}  // namespace tarnvault_core::payload
