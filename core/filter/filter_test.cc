#include "core/filter/filter.h"

#include <cstdint>
#include <functional>
#include <string>

#include <gtest/gtest.h>

namespace tarnvault_core::filter {
namespace {

using payload::JsonValue;
using payload::Payload;
using FC = FilterCondition;

JsonValue u(std::uint64_t v) { return JsonValue::unsigned_integer(v); }
JsonValue i(std::int64_t v) { return JsonValue::signed_integer(v); }
JsonValue f(double v) { return JsonValue::floating(v); }
JsonValue s(std::string v) { return JsonValue::string(std::move(v)); }
const JsonValue kNull = JsonValue::null();

Payload sample() {
  Payload p;
  p.data = {{"u1", u(1)},
            {"f1", f(1.0)},
            {"neg", i(-1)},
            {"fzero", f(0.0)},
            {"big", u((std::uint64_t{1} << 53) + 1)},
            {"str", s("Hello")},
            {"one", s("1")},
            {"empty", s("")},
            {"nil", kNull},
            {"yes", JsonValue::boolean(true)},
            {"arr", JsonValue::array({u(1), s("x")})},
            {"obj", JsonValue::object({{"b", u(2)}, {"a", kNull}})},
            {"a", JsonValue::object({{"b", u(2)}})},
            {"a.b", u(3)}};
  return p;
}

struct Case {
  const char* name;
  std::function<FC()> make;
  bool expected;
};

void run(const Payload& payload, const std::vector<Case>& cases) {
  for (const Case& c : cases) {
    EXPECT_EQ(Filter{c.make()}.matches(payload), c.expected) << c.name;
  }
}

TEST(FilterTest, EqualityIsStructuralAndKeepsNumberKinds) {
  const JsonValue obj = JsonValue::object({{"a", kNull}, {"b", u(2)}});
  run(sample(), {
      {"uint = uint", [] { return FC::eq("u1", u(1)); }, true},
      {"uint != float", [] { return FC::eq("u1", f(1.0)); }, false},
      {"float != uint", [] { return FC::eq("f1", u(1)); }, false},
      {"signed = signed", [] { return FC::eq("neg", i(-1)); }, true},
      {"0.0 = -0.0", [] { return FC::eq("fzero", f(-0.0)); }, true},
      {"strings by bytes", [] { return FC::eq("str", s("hello")); }, false},
      {"string != number", [] { return FC::eq("one", u(1)); }, false},
      {"null = null", [] { return FC::eq("nil", kNull); }, true},
      {"array in order", [] { return FC::eq("arr", JsonValue::array({u(1), s("x")})); }, true},
      {"array kinds", [] { return FC::eq("arr", JsonValue::array({f(1.0), s("x")})); }, false},
      {"object", [&] { return FC::eq("obj", obj); }, true},
      {"object keys", [] { return FC::eq("obj", JsonValue::object({{"b", u(2)}})); }, false},
      {"missing key", [] { return FC::eq("nope", kNull); }, false},
      {"Ne missing key", [] { return FC::ne("nope", u(1)); }, true},
      {"Ne across kinds", [] { return FC::ne("f1", u(1)); }, true},
      {"Ne equal", [] { return FC::ne("u1", u(1)); }, false},
  });
}

TEST(FilterTest, OrderingComparesNumbersAsDoubles) {
  const std::uint64_t two53 = std::uint64_t{1} << 53;
  run(sample(), {
      {"Gte uint", [] { return FC::gte("u1", u(1)); }, true},
      {"Gte float vs uint", [] { return FC::gte("f1", u(1)); }, true},
      {"Gt equal", [] { return FC::gt("f1", u(1)); }, false},
      {"Gt mixed kinds", [] { return FC::gt("u1", i(-1)); }, true},
      {"Lt", [] { return FC::lt("neg", f(-0.5)); }, true},
      {"Lte equal", [] { return FC::lte("neg", i(-1)); }, true},
      {"2^53+1 rounds to 2^53", [=] { return FC::gt("big", u(two53)); }, false},
      {"string payload", [] { return FC::gt("str", s("A")); }, false},
      {"string filter", [] { return FC::lt("u1", s("2")); }, false},
      {"null", [] { return FC::lte("nil", u(0)); }, false},
      {"bool", [] { return FC::gte("yes", u(0)); }, false},
      {"missing key", [] { return FC::lt("nope", u(5)); }, false},
  });
}

TEST(FilterTest, InContainsAndExists) {
  const auto in_1_and_string_1 = [](const char* field) {
    return [field] { return FC::in(field, {u(1), s("1")}); };
  };
  run(sample(), {
      {"In uint", in_1_and_string_1("u1"), true},
      {"In string", in_1_and_string_1("one"), true},
      {"In float", in_1_and_string_1("f1"), false},
      {"In missing", in_1_and_string_1("nope"), false},
      {"In empty list", [] { return FC::in("u1", {}); }, false},
      {"Contains", [] { return FC::contains("str", "ell"); }, true},
      {"Contains whole", [] { return FC::contains("str", "Hello"); }, true},
      {"Contains case", [] { return FC::contains("str", "hello"); }, false},
      {"Contains longer", [] { return FC::contains("str", "Hello!"); }, false},
      {"Contains empty in empty", [] { return FC::contains("empty", ""); }, true},
      {"Contains in number", [] { return FC::contains("u1", ""); }, false},
      {"Exists null", [] { return FC::exists("nil"); }, true},
      {"Exists missing", [] { return FC::exists("nope"); }, false},
      {"dotted key is one key", [] { return FC::eq("a.b", u(3)); }, true},
      {"never inside objects", [] { return FC::eq("b", u(2)); }, false},
  });
}

TEST(FilterTest, EmptyPayloadBehavesAsMissingKeys) {
  run(Payload{}, {
      {"Ne", [] { return FC::ne("k", u(1)); }, true},
      {"Not Eq", [] { return FC::not_(FC::eq("k", u(1))); }, true},
      {"Eq", [] { return FC::eq("k", kNull); }, false},
      {"Gt", [] { return FC::gt("k", u(1)); }, false},
      {"In", [] { return FC::in("k", {kNull}); }, false},
      {"Contains", [] { return FC::contains("k", ""); }, false},
      {"Exists", [] { return FC::exists("k"); }, false},
  });
}

TEST(FilterTest, Combinators) {
  const auto t = [] { return FC::exists("u1"); };
  const auto n = [] { return FC::exists("nope"); };
  run(sample(), {
      {"And TT", [&] { return FC::and_(t(), t()); }, true},
      {"And TF", [&] { return FC::and_(t(), n()); }, false},
      {"And FT", [&] { return FC::and_(n(), t()); }, false},
      {"Or FF", [&] { return FC::or_(n(), n()); }, false},
      {"Or FT", [&] { return FC::or_(n(), t()); }, true},
      {"Or TF", [&] { return FC::or_(t(), n()); }, true},
      {"Not", [&] { return FC::not_(t()); }, false},
      {"nested", [&] { return FC::and_(FC::or_(n(), t()), FC::not_(FC::and_(t(), n()))); }, true},
  });
}

}  // namespace
}  // namespace tarnvault_core::filter
