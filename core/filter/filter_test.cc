#include "core/filter/filter.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>

namespace tarnvault_core::filter {
namespace {

using payload::JsonValue;
using payload::Payload;
using FC = FilterCondition;

JsonValue u(std::uint64_t v) { return JsonValue::unsigned_integer(v); }
JsonValue i(std::int64_t v) { return JsonValue::signed_integer(v); }
JsonValue f(double v) { return JsonValue::floating(v); }
JsonValue s(std::string v) { return JsonValue::string(std::move(v)); }

Payload sample() {
  Payload p;
  p.data["u1"] = u(1);
  p.data["f1"] = f(1.0);
  p.data["neg"] = i(-1);
  p.data["fzero"] = f(0.0);
  p.data["big"] = u((std::uint64_t{1} << 53) + 1);
  p.data["str"] = s("Hello");
  p.data["one"] = s("1");
  p.data["empty"] = s("");
  p.data["nil"] = JsonValue::null();
  p.data["yes"] = JsonValue::boolean(true);
  p.data["arr"] = JsonValue::array({u(1), s("x")});
  p.data["obj"] = JsonValue::object({{"b", u(2)}, {"a", JsonValue::null()}});
  p.data["a"] = JsonValue::object({{"b", u(2)}});
  p.data["a.b"] = u(3);
  return p;
}

struct Case {
  const char* name;
  std::function<FC()> make;
  bool expected;
};

void run(const Payload& payload, const std::vector<Case>& cases) {
  for (const Case& c : cases) {
    const Filter filter{c.make()};
    EXPECT_EQ(filter.matches(payload), c.expected) << c.name;
  }
}

TEST(FilterTest, EqualityIsStructuralAndKeepsNumberKinds) {
  run(sample(),
      {
          {"uint equals uint", [] { return FC::eq("u1", u(1)); }, true},
          {"uint never equals float", [] { return FC::eq("u1", f(1.0)); }, false},
          {"float never equals uint", [] { return FC::eq("f1", u(1)); }, false},
          {"signed equals signed", [] { return FC::eq("neg", i(-1)); }, true},
          {"0.0 equals -0.0", [] { return FC::eq("fzero", f(-0.0)); }, true},
          {"string by bytes", [] { return FC::eq("str", s("Hello")); }, true},
          {"string case matters", [] { return FC::eq("str", s("hello")); }, false},
          {"string never equals number", [] { return FC::eq("one", u(1)); }, false},
          {"null equals null", [] { return FC::eq("nil", JsonValue::null()); }, true},
          {"bool", [] { return FC::eq("yes", JsonValue::boolean(true)); }, true},
          {"array elementwise",
           [] {
             return FC::eq("arr", JsonValue::array({u(1), s("x")}));
           },
           true},
          {"array order matters",
           [] {
             return FC::eq("arr", JsonValue::array({s("x"), u(1)}));
           },
           false},
          {"array element kinds",
           [] {
             return FC::eq("arr", JsonValue::array({f(1.0), s("x")}));
           },
           false},
          {"object by keys and values",
           [] {
             return FC::eq("obj", JsonValue::object({{"a", JsonValue::null()}, {"b", u(2)}}));
           },
           true},
          {"object with a missing key",
           [] {
             return FC::eq("obj", JsonValue::object({{"b", u(2)}}));
           },
           false},
          {"missing key", [] { return FC::eq("nope", JsonValue::null()); }, false},
          {"Ne on a missing key", [] { return FC::ne("nope", u(1)); }, true},
          {"Ne across kinds", [] { return FC::ne("f1", u(1)); }, true},
          {"Ne on equal", [] { return FC::ne("u1", u(1)); }, false},
      });
}

TEST(FilterTest, OrderingComparesNumbersAsDoubles) {
  const std::uint64_t two53 = std::uint64_t{1} << 53;
  run(sample(), {
                    {"Gte uint vs uint", [] { return FC::gte("u1", u(1)); }, true},
                    {"Gte float vs uint", [] { return FC::gte("f1", u(1)); }, true},
                    {"Gt equal values", [] { return FC::gt("f1", u(1)); }, false},
                    {"Gt mixed kinds", [] { return FC::gt("u1", i(-1)); }, true},
                    {"Lt signed", [] { return FC::lt("neg", f(-0.5)); }, true},
                    {"Lte equal", [] { return FC::lte("neg", i(-1)); }, true},
                    {"Lt equal", [] { return FC::lt("neg", i(-1)); }, false},
                    {"2^53+1 rounds to 2^53", [two53] { return FC::gt("big", u(two53)); }, false},
                    {"Gte after rounding", [two53] { return FC::gte("big", u(two53)); }, true},
                    {"string payload never orders", [] { return FC::gt("str", s("A")); }, false},
                    {"string filter never orders", [] { return FC::lt("u1", s("2")); }, false},
                    {"null never orders", [] { return FC::lte("nil", u(0)); }, false},
                    {"bool never orders", [] { return FC::gte("yes", u(0)); }, false},
                    {"missing key", [] { return FC::lt("nope", u(5)); }, false},
                });
}

TEST(FilterTest, InContainsAndExists) {
  const auto in_one_and_string_one = [](const char* field) {
    return [field] { return FC::in(field, {u(1), s("1")}); };
  };
  run(sample(), {
                    {"In matches uint", in_one_and_string_one("u1"), true},
                    {"In matches string", in_one_and_string_one("one"), true},
                    {"In refuses float", in_one_and_string_one("f1"), false},
                    {"In missing key", in_one_and_string_one("nope"), false},
                    {"In empty list", [] { return FC::in("u1", {}); }, false},
                    {"Contains substring", [] { return FC::contains("str", "ell"); }, true},
                    {"Contains whole string", [] { return FC::contains("str", "Hello"); }, true},
                    {"Contains case matters", [] { return FC::contains("str", "hello"); }, false},
                    {"Contains longer", [] { return FC::contains("str", "Hello!"); }, false},
                    {"Contains empty in empty", [] { return FC::contains("empty", ""); }, true},
                    {"Contains empty in number", [] { return FC::contains("u1", ""); }, false},
                    {"Contains missing key", [] { return FC::contains("nope", ""); }, false},
                    {"Exists null value", [] { return FC::exists("nil"); }, true},
                    {"Exists missing", [] { return FC::exists("nope"); }, false},
                });
}

TEST(FilterTest, KeysAreTopLevelOnly) {
  run(sample(), {
                    {"dotted key is one key", [] { return FC::eq("a.b", u(3)); }, true},
                    {"never looks inside objects", [] { return FC::eq("b", u(2)); }, false},
                });
  Payload nested_only;
  nested_only.data["a"] = JsonValue::object({{"b", u(2)}});
  EXPECT_FALSE(Filter{FC::exists("a.b")}.matches(nested_only));
  EXPECT_FALSE(Filter{FC::exists("a/b")}.matches(nested_only));
}

TEST(FilterTest, EmptyPayloadBehavesAsMissingKeys) {
  run(Payload{}, {
                     {"Ne", [] { return FC::ne("k", u(1)); }, true},
                     {"Not Eq", [] { return FC::not_(FC::eq("k", u(1))); }, true},
                     {"Eq", [] { return FC::eq("k", JsonValue::null()); }, false},
                     {"Gt", [] { return FC::gt("k", u(1)); }, false},
                     {"In", [] { return FC::in("k", {JsonValue::null()}); }, false},
                     {"Contains", [] { return FC::contains("k", ""); }, false},
                     {"Exists", [] { return FC::exists("k"); }, false},
                 });
}

TEST(FilterTest, Combinators) {
  const auto yes = [] { return FC::exists("u1"); };
  const auto no = [] { return FC::exists("nope"); };
  run(sample(),
      {
          {"And TT", [&] { return FC::and_(yes(), yes()); }, true},
          {"And TF", [&] { return FC::and_(yes(), no()); }, false},
          {"And FT", [&] { return FC::and_(no(), yes()); }, false},
          {"Or FF", [&] { return FC::or_(no(), no()); }, false},
          {"Or FT", [&] { return FC::or_(no(), yes()); }, true},
          {"Or TF", [&] { return FC::or_(yes(), no()); }, true},
          {"Not", [&] { return FC::not_(yes()); }, false},
          {"Not Not", [&] { return FC::not_(FC::not_(yes())); }, true},
          {"nested",
           [&] { return FC::and_(FC::or_(no(), yes()), FC::not_(FC::and_(yes(), no()))); }, true},
      });
}

}  // namespace
}  // namespace tarnvault_core::filter
