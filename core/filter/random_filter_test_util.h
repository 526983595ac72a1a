// Random payloads and filters for tests that check a faster evaluation of
// filters against Filter::matches on each payload. Values come from a small
// set full of near misses (1, 1.0 and "1"; 0.0 and -0.0; 2^53 and 2^53 + 1;
// NaN; nested arrays and objects), so that equal values repeat across
// payloads and every kind of condition meets every kind of value.
#pragma once

#include <algorithm>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "core/filter/filter.h"
#include "core/payload/json_value.h"
#include "core/payload/payload.h"

namespace tarnvault_core::filter::testing {

inline std::vector<payload::JsonValue> sample_values() {
  using payload::JsonValue;
  const auto u = JsonValue::unsigned_integer;
  const auto f = JsonValue::floating;
  const auto s = JsonValue::string;
  return {u(0),
          u(1),
          u(2),
          u((std::uint64_t{1} << 53) + 1),
          u(std::uint64_t{1} << 53),
          u(std::numeric_limits<std::uint64_t>::max()),
          JsonValue::signed_integer(-1),
          JsonValue::signed_integer(std::numeric_limits<std::int64_t>::min()),
          f(1.0),
          f(0.0),
          f(-0.0),
          f(-1.5),
          f(9007199254740992.0),
          f(std::numeric_limits<double>::quiet_NaN()),
          s(""),
          s("1"),
          s("ab"),
          s("abc"),
          s("b"),
          JsonValue::null(),
          JsonValue::boolean(true),
          JsonValue::boolean(false),
          JsonValue::array({u(1), s("x")}),
          JsonValue::array({f(1.0), s("x")}),
          JsonValue::array({}),
          JsonValue::object({{"a", JsonValue::null()}, {"b", u(2)}}),
          JsonValue::object({{"b", u(2)}}),
          JsonValue::object({})};
}

// Fields of the generated payloads; filters also name "absent", which no
// payload holds.
inline const std::vector<std::string> kSampleFields = {"a", "b", "c", "a.b", ""};

// Equality that also holds between two NaNs in the same place: the sample
// values contain NaN, which == never equals.
inline bool identical(const payload::JsonValue& a, const payload::JsonValue& b) {
  using Kind = payload::JsonValue::Kind;
  if (a.kind() != b.kind()) return false;
  if (a.kind() == Kind::Float && a.as_float() != a.as_float()) return b.as_float() != b.as_float();
  if (a.kind() == Kind::Array) {
    return std::equal(a.as_array().begin(), a.as_array().end(), b.as_array().begin(),
                      b.as_array().end(), identical);
  }
  return a == b;  // objects in the sample values hold no NaN
}

inline bool identical(const payload::Payload& a, const payload::Payload& b) {
  if (a.data.size() != b.data.size()) return false;
  for (const auto& [key, value] : a.data) {
    const auto found = b.data.find(key);
    if (found == b.data.end() || !identical(value, found->second)) return false;
  }
  return true;
}

class RandomFilters {
 public:
  explicit RandomFilters(std::uint32_t seed) : rng_(seed), values_(sample_values()) {}

  std::mt19937& rng() { return rng_; }

  // Each sample field present with probability 1/2; now and then a field
  // that no other payload has.
  payload::Payload payload() {
    payload::Payload p;
    for (const std::string& field : kSampleFields) {
      if (rng_() % 2 == 0) p.data[field] = value();
    }
    if (rng_() % 8 == 0) p.data["unique " + std::to_string(unique_++)] = value();
    return p;
  }

  // A tree of at most `depth` combinator levels over every kind of leaf.
  FilterCondition condition(int depth) {
    if (depth > 0 && rng_() % 2 == 0) {
      switch (rng_() % 3) {
        case 0:
          return FilterCondition::and_(condition(depth - 1), condition(depth - 1));
        case 1:
          return FilterCondition::or_(condition(depth - 1), condition(depth - 1));
        default:
          return FilterCondition::not_(condition(depth - 1));
      }
    }
    std::string f = rng_() % 8 == 0 ? "absent" : kSampleFields[rng_() % kSampleFields.size()];
    switch (rng_() % 9) {
      case 0:
        return FilterCondition::eq(std::move(f), value());
      case 1:
        return FilterCondition::ne(std::move(f), value());
      case 2:
        return FilterCondition::gt(std::move(f), value());
      case 3:
        return FilterCondition::gte(std::move(f), value());
      case 4:
        return FilterCondition::lt(std::move(f), value());
      case 5:
        return FilterCondition::lte(std::move(f), value());
      case 6: {
        std::vector<payload::JsonValue> values(rng_() % 4);
        for (auto& v : values) v = value();
        return FilterCondition::in(std::move(f), std::move(values));
      }
      case 7: {
        static const char* const substrings[] = {"", "a", "b", "ab", "1", "abcd"};
        return FilterCondition::contains(std::move(f), substrings[rng_() % 6]);
      }
      default:
        return FilterCondition::exists(std::move(f));
    }
  }

 private:
  payload::JsonValue value() { return values_[rng_() % values_.size()]; }

  std::mt19937 rng_;
  std::vector<payload::JsonValue> values_;
  std::uint64_t unique_ = 0;
};

}  // namespace tarnvault_core::filter::testing
