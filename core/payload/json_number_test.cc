#include "core/payload/json_number.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "core/payload/float32_text.h"
#include "core/payload/utf8.h"

namespace tarnvault_core::payload {
namespace {

// The AVX2 version's block of values.
constexpr std::size_t kListBlock = 4;

std::string list_text(std::span<const float> values) {
  std::string text(values.size() * (kMaxFloat32TextSize + 1), '\0');
  text.resize(static_cast<std::size_t>(write_float32_list(text.data(), values) - text.data()));
  return text;
}

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
// around each power of two, where the layouts change; one value at a time,
// and as lists, whose blocks mix every kind of value.
TEST(JsonNumberTest, Float32TextIsTheStandardShortestForm) {
  auto standard = [](float f) {
    char buffer[64];
    char* end = std::to_chars(buffer, buffer + sizeof buffer, f).ptr;
    std::string text(buffer, end);
    if (text.find_first_of(".e") == std::string::npos) text += ".0";
    return text;
  };
  std::vector<float> values;
  auto check = [&](std::uint32_t bits) {
    const float f = std::bit_cast<float>(bits);
    if (!std::isfinite(f)) return;
    std::string appended;
    append_float32(appended, f);
    char room[kMaxFloat32TextSize];
    const std::string written(room, write_float32(room, f));
    ASSERT_EQ(appended, standard(f)) << std::hex << bits;
    ASSERT_EQ(written, appended) << std::hex << bits;
    values.push_back(f);
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
  // Lists of every length up to three blocks, then the whole set at once.
  std::string expected;
  for (std::size_t length = 0; length <= 3 * kListBlock + 1; ++length) {
    const std::span<const float> list(values.data() + 7 * length, length);
    expected.clear();
    for (const float f : list) {
      if (!expected.empty()) expected += ',';
      expected += standard(f);
    }
    ASSERT_EQ(list_text(list), expected) << length;
  }
  const std::string all = list_text(values);
  std::size_t at = 0;
  for (const float f : values) {
    const std::string text = standard(f);
    ASSERT_EQ(all.compare(at, text.size(), text), 0) << f;
    at += text.size() + 1;
  }
  EXPECT_EQ(at, all.size() + 1);
}

// The scalar texts, one value at a time, separated by commas.
std::string scalar_list_text(std::span<const float> values) {
  std::string text;
  for (const float f : values) {
    char room[kMaxFloat32TextSize];
    if (!text.empty()) text += ',';
    text.append(room, write_float32(room, f));
  }
  return text;
}

std::string avx2_list_text(std::span<const float> values) {
  std::string text(values.size() * (kMaxFloat32TextSize + 1), '\0');
  const char* end = write_float32_list_avx2(text.data(), values, float32_digit_tables());
  text.resize(static_cast<std::size_t>(end - text.data()));
  return text;
}

// The AVX2 texts are the scalar texts. Blocks start at every 4093rd bit
// pattern, their lanes spread over the patterns nearby, and at both ends of
// every binary exponent, both signs; then values of every digit count at
// every decimal exponent, where the layouts change; then lists of every
// length, which end in a part of a block.
TEST(JsonNumberTest, Avx2TextsAreTheScalarTexts) {
  if (!float32_text_avx2_enabled()) GTEST_SKIP() << "no AVX2 here";
  std::vector<float> block(kListBlock);
  auto check_block = [&](std::uint32_t first_bits) {
    for (std::size_t i = 0; i < kListBlock; ++i) {
      block[i] = std::bit_cast<float>(static_cast<std::uint32_t>(first_bits + i * 0x10001u));
      if (!std::isfinite(block[i])) block[i] = 1.0f;
    }
    ASSERT_EQ(avx2_list_text(block), scalar_list_text(block)) << std::hex << first_bits;
  };
  for (std::uint64_t bits = 0; bits < (std::uint64_t{1} << 32); bits += 4093) {
    check_block(static_cast<std::uint32_t>(bits));
  }
  for (std::uint32_t exponent = 0; exponent < 256; ++exponent) {
    for (const std::uint32_t sign : {0u, 0x80000000u}) {
      check_block(sign | exponent << 23);
      check_block(sign | (exponent << 23) | 0x7FFFF0u);
    }
  }

  // "1.2345678" cut to 1 to 9 digits, times 10^-46 to 10^38, and the values
  // next to it: four lanes with one shape, and every shape beside others.
  std::vector<float> shapes;
  for (int count = 1; count <= 9; ++count) {
    for (int exponent = -46; exponent <= 38; ++exponent) {
      const std::string digits = std::string("123456789").substr(0, static_cast<std::size_t>(count));
      const float f = float32_from_json_text(digits + "e" + std::to_string(exponent - count + 1));
      if (!std::isfinite(f)) continue;
      const auto bits = std::bit_cast<std::uint32_t>(f);
      for (const std::uint32_t near : {bits, bits + 1, bits - 1, bits | 0x80000000u}) {
        shapes.push_back(std::bit_cast<float>(near));
      }
    }
  }
  ASSERT_EQ(avx2_list_text(shapes), scalar_list_text(shapes));
  std::vector<float> shuffled = shapes;
  std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937(11));
  ASSERT_EQ(avx2_list_text(shuffled), scalar_list_text(shuffled));

  for (std::size_t length = 0; length <= 3 * kListBlock + 1; ++length) {
    for (std::size_t start = 0; start + length <= shuffled.size(); start += 97) {
      const std::span<const float> list(shuffled.data() + start, length);
      ASSERT_EQ(avx2_list_text(list), scalar_list_text(list)) << length << " from " << start;
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
