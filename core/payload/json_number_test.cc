#include "core/payload/json_number.h"

#include <gtest/gtest.h>

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>

#include "core/payload/utf8.h"

namespace tarnvault_core::payload {
namespace {

TEST(JsonNumberTest, ClassifiesByTextAndRange) {
  constexpr auto kInt64Min = std::numeric_limits<std::int64_t>::min();
  struct Case {
    const char* text;
    JsonValue expected;
  };
  const Case cases[] = {
      {"0", JsonValue::unsigned_integer(0)},
      {"18446744073709551615", JsonValue::unsigned_integer(~std::uint64_t{0})},
      {"18446744073709551616", JsonValue::floating(18446744073709551616.0)},
      {"-9223372036854775808", JsonValue::signed_integer(kInt64Min)},
      {"-9223372036854775809", JsonValue::floating(-9223372036854775808.0)},
      {"-0", JsonValue::floating(-0.0)},
      {"1.0", JsonValue::floating(1.0)},
      {"1e2", JsonValue::floating(100.0)},
      {"1E-400", JsonValue::floating(0.0)},
  };
  for (const Case& c : cases) {
    const auto got = number_from_json_text(c.text);
    ASSERT_TRUE(got.has_value()) << c.text;
    EXPECT_EQ(got->kind(), c.expected.kind()) << c.text;
    EXPECT_EQ(*got, c.expected) << c.text;
  }
  EXPECT_TRUE(std::signbit(number_from_json_text("-0")->as_float()));
}

TEST(JsonNumberTest, EveryFiniteDoubleReadsBackAsTheSameFloat) {
  std::mt19937_64 random(7);
  for (int n = 0; n < 20000; ++n) {
    const double d = std::bit_cast<double>(random());
    if (!std::isfinite(d)) continue;
    std::string text;
    append_float(text, d);
    const auto back = number_from_json_text(text);
    ASSERT_TRUE(back.has_value()) << text;
    ASSERT_EQ(back->kind(), JsonValue::Kind::Float) << text;
    ASSERT_EQ(std::bit_cast<std::uint64_t>(back->as_float()), std::bit_cast<std::uint64_t>(d))
        << text;
  }
}

// The float32 text is to_chars' shortest form (plus ".0" where it shows
// neither point nor exponent), byte for byte: the log's bytes must not
// change with the formatter. Every 4093rd bit pattern, and the patterns
// around each power of two, where the layouts change.
TEST(JsonNumberTest, Float32TextIsTheStandardShortestForm) {
  auto standard = [](float f) {
    char buffer[64];
    char* end = std::to_chars(buffer, buffer + sizeof buffer, f).ptr;
    std::string text(buffer, end);
    if (text.find_first_of(".e") == std::string::npos) text += ".0";
    return text;
  };
  auto check = [&](std::uint32_t bits) {
    const float f = std::bit_cast<float>(bits);
    if (!std::isfinite(f)) return;
    std::string appended;
    append_float32(appended, f);
    char room[kMaxFloat32TextSize];
    const std::string written(room, write_float32(room, f));
    ASSERT_EQ(appended, standard(f)) << std::hex << bits;
    ASSERT_EQ(written, appended) << std::hex << bits;
  };
  for (std::uint64_t bits = 0; bits < (std::uint64_t{1} << 32); bits += 4093) {
    check(static_cast<std::uint32_t>(bits));
  }
  for (std::uint32_t exponent = 0; exponent < 256; ++exponent) {
    for (std::uint32_t low = 0; low < 64; ++low) {
      check((exponent << 23) | low);
      check((exponent << 23) | (0x7FFFFFu - low));
      check(0x80000000u | (exponent << 23) | low);
    }
  }
}

TEST(JsonNumberTest, OutOfRangeDirectionComesFromTheWholeText) {
  // The digits alone would suggest the opposite direction in each case.
  struct Case {
    const char* text;
    float expected;
  };
  const Case cases[] = {
      {"0.000000000000000000000000000000000000000001e81", INFINITY},
      {"-0.0001e43", -INFINITY},
      {"1000000000000000000000000000000000000000e-90", 0.0f},
      {"-123456e-60", -0.0f},
      {"0.0e999", 0.0f},
  };
  for (const Case& c : cases) {
    const float got = float32_from_json_text(c.text);
    EXPECT_EQ(std::bit_cast<std::uint32_t>(got), std::bit_cast<std::uint32_t>(c.expected))
        << c.text;
  }
  EXPECT_FALSE(number_from_json_text("1e309").has_value());
  EXPECT_FALSE(number_from_json_text("-0.01e311").has_value());
  const auto tiny = number_from_json_text("-1e-400");
  ASSERT_TRUE(tiny.has_value());
  EXPECT_TRUE(std::signbit(tiny->as_float()));
  EXPECT_EQ(tiny->as_float(), 0.0);
}

TEST(Utf8Test, AcceptsWellFormedTextOnly) {
  struct Case {
    std::string text;
    std::size_t valid_prefix;
  };
  const Case cases[] = {
      {"", 0},
      {"plain", 5},
      {"\xC2\x80\xDF\xBF", 4},
      {"\xE0\xA0\x80\xEF\xBF\xBF", 6},
      {"\xF0\x90\x80\x80\xF4\x8F\xBF\xBF", 8},
      {"a\xC0\x80", 1},         // overlong NUL
      {"a\xE0\x9F\xBF", 1},     // overlong 3-byte
      {"ab\xED\xA0\x80", 2},    // surrogate
      {"\xF4\x90\x80\x80", 0},  // above U+10FFFF
      {"\xF0\x8F\xBF\xBF", 0},  // overlong 4-byte
      {"abc\xE2\x82", 3},       // cut short
      {"\x80", 0},              // stray continuation
      {"\xC3\x28", 0},          // missing continuation
      {std::string("a\0b", 3), 3},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(valid_utf8_prefix(c.text), c.valid_prefix) << c.text;
    EXPECT_EQ(is_valid_utf8(c.text), c.valid_prefix == c.text.size()) << c.text;
  }
}

}  // namespace
}  // namespace tarnvault_core::payload
