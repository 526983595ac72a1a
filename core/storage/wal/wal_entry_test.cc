#include "core/storage/wal/wal_entry.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>

namespace tarnvault_core::storage::wal {
namespace {

using payload::JsonValue;

std::string body_of(const WalEntry& entry) {
  std::string out;
  const Status status = entry.append_json(out);
  EXPECT_TRUE(status.ok()) << status.error().message();
  return out;
}

WalEntry insert(std::uint64_t id, std::vector<float> vector) {
  WalEntry entry;
  entry.kind = WalEntryKind::Insert;
  entry.id = id;
  entry.vector = std::move(vector);
  return entry;
}

std::string nested_arrays(int levels) {
  return std::string(static_cast<std::size_t>(levels), '[') +
         std::string(static_cast<std::size_t>(levels), ']');
}

TEST(WalEntryWriteTest, BodiesAreExactCompactJson) {
  const std::string checkpoint = body_of(WalEntry{});
  EXPECT_EQ(checkpoint, R"({"kind":"Checkpoint","id":0,"vector":[],"payload":{"data":{}}})");
  EXPECT_EQ(checkpoint.size(), 62u);

  const std::string inserted = body_of(insert(7, {0.5f, 1.0f, -2.25f}));
  EXPECT_EQ(inserted, R"({"kind":"Insert","id":7,"vector":[0.5,1.0,-2.25],"payload":{"data":{}}})");
  EXPECT_EQ(inserted.size(), 71u);

  // Shortest float32 texts; integral values keep a ".0".
  EXPECT_EQ(
      body_of(insert(1, {0.1f, -0.0f, 16777216.0f, std::numeric_limits<float>::denorm_min()})),
      R"({"kind":"Insert","id":1,"vector":[0.1,-0.0,16777216.0,1e-45],"payload":{"data":{}}})");

  // An empty payload is written straight, any other through the general
  // writer: both give the same shape.
  for (const bool with_payload : {false, true}) {
    WalEntry update = insert(std::numeric_limits<std::uint64_t>::max(), {0.25f, -3.0f});
    update.kind = WalEntryKind::Update;
    if (with_payload) update.payload.data["k"] = JsonValue::string("v");
    EXPECT_EQ(body_of(update), std::string(R"({"kind":"Update","id":18446744073709551615,)") +
                                   R"("vector":[0.25,-3.0],"payload":{"data":{)" +
                                   (with_payload ? R"("k":"v")" : "") + "}}}");
  }
}

// The texts the log has always written for these components; changing any
// of them would change the bytes of the format.
TEST(WalEntryWriteTest, ComponentsKeepTheirExactText) {
  struct Case {
    float value;
    const char* text;
  };
  const Case cases[] = {
      {0x0p+0f, "0.0"},           {-0x0p+0f, "-0.0"},           {0x1p+0f, "1.0"},
      {0x1.9p+6f, "100.0"},       {-0x1.2p+1f, "-2.25"},        {0x1.99999ap-4f, "0.1"},
      {0x1p-149f, "1e-45"},       {-0x1p-149f, "-1e-45"},       {0x1p-126f, "1.1754944e-38"},
      {0x1.fffffcp-127f, "1.1754942e-38"},                      {0x1.fffffep+127f, "3.4028235e+38"},
      {-0x1.fffffep+127f, "-3.4028235e+38"},                    {0x1p+24f, "16777216.0"},
      {0x1.312dp+23f, "1e+07"},   {0x1.7d784p+26f, "1e+08"},    {0x1.2a05f2p+33f, "1e+10"},
      {0x1.1c3794p+53f, "1e+16"}, {0x1.d6f346p+26f, "123456792.0"},
      {0x1.bf08ecp+33f, "1.5e+10"},                             {0x1.a36e2ep-14f, "1e-04"},
      {0x1.4f8b58p-17f, "1e-05"}, {0x1.0624dep-10f, "0.001"},   {0x1.02c9dep-13f, "0.0001234"},
      {0x1.24f8p+18f, "3e+05"},   {0x1.ffcp+15f, "65504.0"},    {0x1.312cecp+23f, "9999990.0"},
      {0x1.0c6f7ap-22f, "2.5e-07"},                             {0x1.da56a4p+75f, "7e+22"},
  };
  std::vector<float> all;
  std::string joined;
  for (const Case& c : cases) {
    EXPECT_EQ(body_of(insert(1, {c.value})),
              std::string(R"({"kind":"Insert","id":1,"vector":[)") + c.text +
                  R"(],"payload":{"data":{}}})");
    all.push_back(c.value);
    if (!joined.empty()) joined += ',';
    joined += c.text;
  }
  // Many components in one record: the buffer sized up front is cut back
  // exactly, with nothing left between or after the numbers.
  EXPECT_EQ(body_of(insert(1, all)),
            R"({"kind":"Insert","id":1,"vector":[)" + joined + R"(],"payload":{"data":{}}})");
}

TEST(WalEntryWriteTest, PayloadTextIsEscapedAndNested) {
  WalEntry entry = insert(std::numeric_limits<std::uint64_t>::max(), {});
  entry.kind = WalEntryKind::Update;
  entry.payload.data["q\"\\\n\t\x01/\xc3\xa9"] = JsonValue::object(
      {{"a", JsonValue::array({JsonValue::null(), JsonValue::boolean(true), JsonValue::floating(1e300),
                               JsonValue::floating(-0.0),
                               JsonValue::signed_integer(std::numeric_limits<std::int64_t>::min()),
                               JsonValue::string("\xe2\x82\xac\xf0\x9f\x98\x80\x7f")})}});
  EXPECT_EQ(body_of(entry),
            "{\"kind\":\"Update\",\"id\":18446744073709551615,\"vector\":[],\"payload\":{\"data\":"
            "{\"q\\\"\\\\\\n\\t\\u0001/\xc3\xa9\":{\"a\":[null,true,1e+300,-0.0,"
            "-9223372036854775808,\"\xe2\x82\xac\xf0\x9f\x98\x80\x7f\"]}}}}");
}

TEST(WalEntryWriteTest, RefusesWhatJsonCannotCarryAndLeavesOutputUnchanged) {
  WalEntry bad_payload = insert(1, {1.0f});
  bad_payload.payload.data["k"] = JsonValue::floating(std::nan(""));
  WalEntry too_deep = insert(1, {});
  // Record, payload and data map take three levels; 124 more fit.
  JsonValue deep = JsonValue::null();
  for (int i = 0; i < 125; ++i) deep = JsonValue::array({std::move(deep)});
  too_deep.payload.data["k"] = std::move(deep);
  WalEntry non_finite_beside_payload = insert(1, {2.0f, 1.0f, INFINITY});
  non_finite_beside_payload.payload.data["k"] = JsonValue::string("v");
  WalEntry unknown_kind = insert(1, {});
  unknown_kind.kind = static_cast<WalEntryKind>(9);

  struct Case {
    WalEntry entry;
    const char* text;
  };
  const Case cases[] = {
      {insert(1, {1.0f, std::nanf("")}),
       "serialization failed: vector component 1 is not finite: NaN"},
      {insert(1, {-INFINITY}), "serialization failed: vector component 0 is not finite: -inf"},
      {non_finite_beside_payload, "serialization failed: vector component 2 is not finite: inf"},
      {bad_payload, "serialization failed: float is not finite: NaN"},
      {too_deep, "serialization failed: nesting deeper than 127 levels"},
      {unknown_kind, "serialization failed: unknown entry kind 9"},
  };
  for (const Case& c : cases) {
    std::string out = "keep";
    const Status status = c.entry.append_json(out);
    ASSERT_FALSE(status.ok()) << c.text;
    EXPECT_EQ(status.error(), Error::wal_corrupted(c.text));
    EXPECT_EQ(out, "keep");
  }
}

TEST(WalEntryReadTest, EveryWrittenEntryReadsBackBitForBit) {
  std::mt19937 random(20240601);
  std::vector<float> components;
  while (components.size() < 4000) {
    const float f = std::bit_cast<float>(static_cast<std::uint32_t>(random()));
    if (std::isfinite(f)) components.push_back(f);
  }
  WalEntry entry = insert(42, components);
  entry.payload.data["tag"] = JsonValue::object({{"n", JsonValue::signed_integer(-5)}});
  auto back = WalEntry::from_bytes(body_of(entry));
  ASSERT_TRUE(back.ok()) << back.error().message();
  EXPECT_EQ(back->kind, WalEntryKind::Insert);
  EXPECT_EQ(back->id, 42u);
  EXPECT_EQ(back->payload, entry.payload);
  ASSERT_EQ(back->vector.size(), components.size());
  for (std::size_t i = 0; i < components.size(); ++i) {
    EXPECT_EQ(std::bit_cast<std::uint32_t>(back->vector[i]),
              std::bit_cast<std::uint32_t>(components[i]))
        << i;
  }
}

TEST(WalEntryReadTest, AcceptsAnyShapeAGeneralReaderWould) {
  struct Case {
    const char* body;
    WalEntryKind kind;
    std::uint64_t id;
    std::vector<float> vector;
  };
  const Case cases[] = {
      {R"({"payload":{"data":{}},"vector":[1],"id":3,"kind":"Delete"})",
       WalEntryKind::Delete,
       3,
       {1.0f}},
      {" {\n \"kind\" : \"Update\" , \"id\":0, \"extra\":{\"a\":[null]},\n \"vector\" : [ 2 , -1e0 "
       "] ,"
       " \"payload\":[{}] }\t",
       WalEntryKind::Update,
       0,
       {2.0f, -1.0f}},
      {R"(["Insert",9,[0.25],{"data":{}}])", WalEntryKind::Insert, 9, {0.25f}},
  };
  for (const Case& c : cases) {
    auto entry = WalEntry::from_bytes(c.body);
    ASSERT_TRUE(entry.ok()) << c.body << ": " << entry.error().message();
    EXPECT_EQ(entry->kind, c.kind);
    EXPECT_EQ(entry->id, c.id);
    EXPECT_EQ(entry->vector, c.vector);
    EXPECT_TRUE(entry->payload.data.empty());
  }
}

TEST(WalEntryReadTest, ComponentsRoundOnceToTheNearestFloat) {
  const float one_up = std::nextafter(1.0f, 2.0f);
  struct Case {
    const char* number;
    float expected;
  };
  const Case cases[] = {
      {"16777217", 16777216.0f},
      // Just above the midpoint of 1 and the next float: a detour through
      // double would land on the midpoint and round to even, i.e. to 1.
      {"1.0000000596046447753906251", one_up},
      {"1.0000000596046447753906249", 1.0f},
      {"-0", -0.0f},
      {"1e39", INFINITY},
      {"-1e300", -INFINITY},
      {"1e-50", 0.0f},
      {"-1e-50", -0.0f},
      {"1e-45", std::numeric_limits<float>::denorm_min()},
  };
  for (const Case& c : cases) {
    auto entry = WalEntry::from_bytes(std::string(R"({"kind":"Insert","id":1,"vector":[)") +
                                      c.number + R"(],"payload":{"data":{}}})");
    ASSERT_TRUE(entry.ok()) << c.number << ": " << entry.error().message();
    ASSERT_EQ(entry->vector.size(), 1u);
    EXPECT_EQ(std::bit_cast<std::uint32_t>(entry->vector[0]),
              std::bit_cast<std::uint32_t>(c.expected))
        << c.number;
  }
}

TEST(WalEntryReadTest, RefusesWithDeserializationFailedAndPosition) {
  const std::string head = R"({"kind":"Insert","id":1,)";
  struct Case {
    std::string body;
    const char* text;
  };
  const Case cases[] = {
      {"", "unexpected end of input at line 1 column 0"},
      {R"({"kind":"Delete","id":1,"vector":[]})", "missing field `payload` at line 1 column 36"},
      {R"({"kind":"Delete","kind":"Insert"})", "duplicate field `kind` at line 1 column 23"},
      {R"({"kind":"Foo"})",
       "unknown variant `Foo`, expected one of `Insert`, `Update`, `Delete`, `Checkpoint` at line "
       "1 column 13"},
      {R"({"kind":"insert"})",
       "unknown variant `insert`, expected one of `Insert`, `Update`, `Delete`, `Checkpoint` at "
       "line 1 column 16"},
      {R"({"kind":1})", "invalid type: integer `1`, expected enum WalEntryKind at line 1 column 9"},
      {R"({"id":-1})",
       "invalid value: integer `-1`, expected an unsigned 64-bit integer at line 1 column 8"},
      {R"({"id":1.0})",
       "invalid type: floating point `1.0`, expected an unsigned 64-bit integer at line 1 column "
       "9"},
      {R"({"id":18446744073709551616})",
       "invalid type: floating point `18446744073709551616.0`, expected an unsigned 64-bit integer "
       "at line 1 column 26"},
      {R"({"id":"7"})",
       "invalid type: string \"7\", expected an unsigned 64-bit integer at line 1 column 9"},
      {R"({"vector":[1,null]})", "invalid type: null, expected a number at line 1 column 17"},
      {R"({"vector":[[1]]})", "invalid type: sequence, expected a number at line 1 column 12"},
      {R"({"vector":{}})", "invalid type: map, expected a sequence of numbers at line 1 column 11"},
      {R"({"vector":1e400})", "number out of range at line 1 column 10"},
      {head + R"("vector":[],"payload":{}})", "missing field `data` at line 1 column 48"},
      {head + R"("vector":[],"payload":{"data":[]}})",
       "invalid type: sequence, expected a map at line 1 column 55"},
      {head + R"("vector":[],"payload":{"data":{}}} )" + "x",
       "trailing characters at line 1 column 59"},
      {R"(["Insert",1,[]])",
       "invalid length 3, expected struct WalEntry with 4 elements at line 1 column 15"},
      {"5", "invalid type: integer `5`, expected struct WalEntry at line 1 column 1"},
  };
  for (const Case& c : cases) {
    auto entry = WalEntry::from_bytes(c.body);
    ASSERT_FALSE(entry.ok()) << c.body;
    EXPECT_EQ(entry.error().kind(), ErrorKind::WalCorrupted);
    EXPECT_EQ(entry.error().text(), std::string("deserialization failed: ") + c.text) << c.body;
  }
}

TEST(WalEntryReadTest, NestingLimitCountsTheRecordObject) {
  const auto body_with = [](int value_levels) {
    return R"({"kind":"Insert","id":1,"vector":[],"payload":{"data":{"k":)" +
           nested_arrays(value_levels) + "}}}";
  };
  EXPECT_TRUE(WalEntry::from_bytes(body_with(124)).ok());
  auto refused = WalEntry::from_bytes(body_with(125));
  ASSERT_FALSE(refused.ok());
  EXPECT_NE(refused.error().text().find("recursion limit exceeded"), std::string::npos);
}

}  // namespace
}  // namespace tarnvault_core::storage::wal
