#include "core/payload/payload.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

namespace tarnvault_core::payload {
namespace {

Payload payload_of(std::string key, JsonValue value) {
  Payload p;
  p.data.emplace(std::move(key), std::move(value));
  return p;
}

std::string to_json(const Payload& p) {
  auto text = payload_to_json(p);
  EXPECT_TRUE(text.ok()) << text.error().message();
  return text.ok() ? *text : std::string();
}

// Nests value in `levels` single-element arrays.
JsonValue nested_arrays(int levels) {
  JsonValue v = JsonValue::unsigned_integer(1);
  for (int i = 0; i < levels; ++i) v = JsonValue::array({std::move(v)});
  return v;
}

std::string nested_array_text(int levels) {
  return std::string(static_cast<std::size_t>(levels), '[') + "1" +
         std::string(static_cast<std::size_t>(levels), ']');
}

// ---- Writing ---------------------------------------------------------------

TEST(PayloadWriterTest, EmptyPayloadIsDataWithEmptyMap) {
  EXPECT_EQ(to_json(Payload{}), R"({"data":{}})");
}

TEST(PayloadWriterTest, WritesEachValueKindCompactly) {
  struct Case {
    JsonValue value;
    const char* text;
  };
  const Case cases[] = {
      {JsonValue::null(), "null"},
      {JsonValue::boolean(true), "true"},
      {JsonValue::boolean(false), "false"},
      {JsonValue::unsigned_integer(0), "0"},
      {JsonValue::unsigned_integer(std::numeric_limits<std::uint64_t>::max()),
       "18446744073709551615"},
      {JsonValue::signed_integer(-1), "-1"},
      {JsonValue::signed_integer(std::numeric_limits<std::int64_t>::min()), "-9223372036854775808"},
      {JsonValue::floating(1.0), "1.0"},
      {JsonValue::floating(-0.0), "-0.0"},
      {JsonValue::floating(0.1), "0.1"},
      {JsonValue::floating(1e16), "1e+16"},
      {JsonValue::floating(123456.0), "123456.0"},
      {JsonValue::floating(5e-324), "5e-324"},
      {JsonValue::string("a\"b\\c\n\t\r\b\f\x01\x1f\x7f"), R"("a\"b\\c\n\t\r\b\f\u0001\u001f)"
                                                           "\x7f\""},
      {JsonValue::string("h\xC3\xA9llo \xF0\x9F\x98\x80"), "\"h\xC3\xA9llo \xF0\x9F\x98\x80\""},
      {JsonValue::array({}), "[]"},
      {JsonValue::array({JsonValue::unsigned_integer(1), JsonValue::string("x")}), R"([1,"x"])"},
      {JsonValue::object({{"b", JsonValue::null()}, {"a", JsonValue::array({})}, {"B", {}}}),
       R"({"B":null,"a":[],"b":null})"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(to_json(payload_of("k", c.value)), std::string(R"({"data":{"k":)") + c.text + "}}");
  }
}

TEST(PayloadWriterTest, EscapesKeysLikeStrings) {
  EXPECT_EQ(to_json(payload_of("a\"\n", JsonValue::null())), R"({"data":{"a\"\n":null}})");
}

TEST(PayloadWriterTest, RefusesWhatCouldNotBeReadBackAndLeavesOutputUnchanged) {
  struct Case {
    Payload payload;
    const char* text;
  };
  const Case cases[] = {
      {payload_of("k", JsonValue::floating(std::nan(""))), "float is not finite: NaN"},
      {payload_of("k", JsonValue::floating(INFINITY)), "float is not finite: inf"},
      {payload_of("k", JsonValue::array({JsonValue::floating(-INFINITY)})),
       "float is not finite: -inf"},
      {payload_of("k", JsonValue::string("\xFF")), "string is not valid UTF-8"},
      {payload_of("\xC0\x80", JsonValue::null()), "string is not valid UTF-8"},
      {payload_of("k", JsonValue::object({{"\xED\xA0\x80", {}}})), "string is not valid UTF-8"},
      {payload_of("k", nested_arrays(126)), "nesting deeper than 127 levels"},
  };
  for (const Case& c : cases) {
    std::string out = "prefix";
    const Status status = append_payload_json(c.payload, out);
    ASSERT_FALSE(status.ok()) << c.text;
    EXPECT_EQ(status.error(), Error::payload_error(c.text));
    EXPECT_EQ(out, "prefix");
  }
}

TEST(PayloadWriterTest, NestingLimitCountsEnclosingLevels) {
  // Payload object and data map are levels 1 and 2, so values may open 125.
  const Payload deepest = payload_of("k", nested_arrays(125));
  std::string out;
  EXPECT_TRUE(append_payload_json(deepest, out).ok());
  EXPECT_TRUE(payload_from_json(out).ok());

  std::string embedded;
  EXPECT_FALSE(append_embedded_payload_json(deepest, 1, embedded).ok());
  EXPECT_TRUE(append_embedded_payload_json(payload_of("k", nested_arrays(124)), 1, embedded).ok());
}

// ---- Reading ---------------------------------------------------------------

TEST(PayloadReaderTest, ReadsBothFormsAndIgnoresOtherKeys) {
  struct Case {
    const char* text;
    Payload expected;
  };
  const Case cases[] = {
      {R"({"data":{}})", Payload{}},
      {" \n\t{ \"data\" : { } }\r\n ", Payload{}},
      {R"([{"k":1}])", payload_of("k", JsonValue::unsigned_integer(1))},
      {R"({"data":{},"other":5})", Payload{}},
      {R"({"x":{"deep":[1,{"y":null}]},"data":{"k":true},"z":"s"})",
       payload_of("k", JsonValue::boolean(true))},
      {R"({"data":{"k":1,"k":"second"}})", payload_of("k", JsonValue::string("second"))},
      {R"({"data":{"k":{"b":1,"a":2,"b":3}}})",
       payload_of("k", JsonValue::object({{"a", JsonValue::unsigned_integer(2)},
                                          {"b", JsonValue::unsigned_integer(3)}}))},
      {R"({"data":{"\u00e9\ud83d\ude00":"\u0000"}})",
       payload_of("\xC3\xA9\xF0\x9F\x98\x80", JsonValue::string(std::string(1, '\0')))},
  };
  for (const Case& c : cases) {
    auto payload = payload_from_json(c.text);
    ASSERT_TRUE(payload.ok()) << c.text << ": " << payload.error().message();
    EXPECT_EQ(*payload, c.expected) << c.text;
  }
}

TEST(PayloadReaderTest, NumbersKeepTheirKindThroughWriteAndRead) {
  Payload p;
  p.data["float"] = JsonValue::floating(1.0);
  p.data["uint"] = JsonValue::unsigned_integer(1);
  p.data["neg"] = JsonValue::signed_integer(-1);
  p.data["max"] = JsonValue::unsigned_integer(std::numeric_limits<std::uint64_t>::max());
  p.data["min"] = JsonValue::signed_integer(std::numeric_limits<std::int64_t>::min());
  p.data["tiny"] = JsonValue::floating(5e-324);
  p.data["nested"] = JsonValue::object({{"f", JsonValue::floating(-0.0)}});
  auto back = payload_from_json(to_json(p));
  ASSERT_TRUE(back.ok()) << back.error().message();
  EXPECT_EQ(*back, p);
  EXPECT_EQ(back->data["float"].kind(), JsonValue::Kind::Float);
  EXPECT_EQ(back->data["uint"].kind(), JsonValue::Kind::UInt);
  EXPECT_EQ(back->data["neg"].kind(), JsonValue::Kind::NegInt);
  EXPECT_EQ(back->data["max"].kind(), JsonValue::Kind::UInt);
  EXPECT_TRUE(std::signbit(back->data["nested"].as_object().at("f").as_float()));
}

TEST(PayloadReaderTest, RefusesWithPositionedMessages) {
  struct Case {
    std::string text;
    const char* message;
  };
  const Case cases[] = {
      {"5", "invalid type: integer `5`, expected struct Payload at line 1 column 1"},
      {"-3", "invalid type: integer `-3`, expected struct Payload at line 1 column 2"},
      {"1.50", "invalid type: floating point `1.5`, expected struct Payload at line 1 column 4"},
      {"\"a\\\"b\"", "invalid type: string \"a\\\"b\", expected struct Payload at line 1 column 6"},
      {"true", "invalid type: boolean `true`, expected struct Payload at line 1 column 4"},
      {"null", "invalid type: null, expected struct Payload at line 1 column 4"},
      {"{}", "missing field `data` at line 1 column 2"},
      {R"({"other":1})", "missing field `data` at line 1 column 11"},
      {R"({"data":{},"data":{}})", "duplicate field `data` at line 1 column 17"},
      {"[]", "invalid length 0, expected struct Payload with 1 element at line 1 column 2"},
      {"[{},{},[1]]",
       "invalid length 3, expected struct Payload with 1 element at line 1 column 11"},
      {R"({"data":5})", "invalid type: integer `5`, expected a map at line 1 column 9"},
      {R"({"data":[1]})", "invalid type: sequence, expected a map at line 1 column 9"},
      {R"({"data":null})", "invalid type: null, expected a map at line 1 column 12"},
      {"[[]]", "invalid type: sequence, expected a map at line 1 column 2"},
      {R"({"data":{}} x)", "trailing characters at line 1 column 12"},
      {R"({"data":{}}{})", "trailing characters at line 1 column 11"},
      {std::string("{\"data\":{}}\0garbage", 19), "trailing characters at line 1 column 11"},
      {"", "unexpected end of input at line 1 column 0"},
      {"  \n ", "unexpected end of input at line 2 column 1"},
      {"{\"data\":\n  {\"k\": }}", "expected a value at line 2 column 8"},
      {R"({"data":{"k":1e400}})", "number out of range at line 1 column 13"},
      {R"({"data":{"k":9.9e308}})", "number out of range at line 1 column 20"},
      {R"({"data":{"k":"\udc00"}})", "unpaired surrogate in \\u escape at line 1 column 21"},
      {"{\"data\":{\"k\":\"\xFF\"}}", "invalid UTF-8 in string at line 1 column 14"},
  };
  for (const Case& c : cases) {
    auto payload = payload_from_json(c.text);
    ASSERT_FALSE(payload.ok()) << c.text;
    EXPECT_EQ(payload.error().kind(), ErrorKind::PayloadError);
    EXPECT_EQ(payload.error().text(), c.message) << c.text;
  }
}

TEST(PayloadReaderTest, SkippedValuesAreStillValidated) {
  EXPECT_FALSE(payload_from_json(R"({"other":[1,],"data":{}})").ok());
  EXPECT_FALSE(payload_from_json(R"({"other":"\ud800","data":{}})").ok());
}

TEST(PayloadReaderTest, NestingLimitIs127LevelsCountingTheOuterObject) {
  // Outer object and data map take two levels; the value nests further.
  const auto text_with = [](int value_levels) {
    return R"({"data":{"k":)" + nested_array_text(value_levels) + "}}";
  };
  EXPECT_TRUE(payload_from_json(text_with(125)).ok());
  auto refused = payload_from_json(text_with(126));
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error().text(), "recursion limit exceeded at line 1 column 139");
  // Skipped keys count the same way.
  EXPECT_FALSE(payload_from_json(R"({"x":)" + nested_array_text(127) + R"(,"data":{}})").ok());
  EXPECT_TRUE(payload_from_json(R"({"x":)" + nested_array_text(126) + R"(,"data":{}})").ok());
}

TEST(PayloadReaderTest, HugeNestingFailsWithoutExhaustingTheStack) {
  const std::string deep(1'000'000, '[');
  auto refused = payload_from_json(deep);
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error().text(), "invalid type: sequence, expected a map at line 1 column 2");
  auto object_deep = payload_from_json(R"({"data":)" + std::string(1'000'000, '['));
  ASSERT_FALSE(object_deep.ok());
  EXPECT_EQ(object_deep.error().text(),
            "invalid type: sequence, expected a map at line 1 column 9");
  auto skipped_deep = payload_from_json(R"({"x":)" + std::string(1'000'000, '['));
  ASSERT_FALSE(skipped_deep.ok());
  EXPECT_EQ(skipped_deep.error().text(), "recursion limit exceeded at line 1 column 132");
}

}  // namespace
}  // namespace tarnvault_core::payload
