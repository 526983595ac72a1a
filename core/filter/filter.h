// Filters: boolean expressions over a payload's top-level keys.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "core/payload/json_value.h"
#include "core/payload/payload.h"

namespace tarnvault_core::filter {

class FilterCondition {
 public:
  // The twelve variants, in their fixed order.
  enum class Kind : std::uint8_t { Eq, Ne, Gt, Gte, Lt, Lte, In, Contains, Exists, And, Or, Not };

  static FilterCondition eq(std::string field, payload::JsonValue value);
  static FilterCondition ne(std::string field, payload::JsonValue value);
  static FilterCondition gt(std::string field, payload::JsonValue value);
  static FilterCondition gte(std::string field, payload::JsonValue value);
  static FilterCondition lt(std::string field, payload::JsonValue value);
  static FilterCondition lte(std::string field, payload::JsonValue value);
  static FilterCondition in(std::string field, std::vector<payload::JsonValue> values);
  static FilterCondition contains(std::string field, std::string substring);
  static FilterCondition exists(std::string field);
  static FilterCondition and_(FilterCondition left, FilterCondition right);
  static FilterCondition or_(FilterCondition left, FilterCondition right);
  static FilterCondition not_(FilterCondition inner);

  Kind kind() const { return kind_; }

  // Never fails; a missing key or a value of the wrong kind makes a leaf false
  // (true for Ne). And/Or evaluate their right side only when needed.
  bool matches(const payload::Payload& payload) const;

  // For a leaf (Eq .. Exists): its answer for the value found under its
  // field, null meaning the key is absent. A leaf's answer depends on nothing
  // else, which lets a table of payloads test each distinct value once.
  bool matches_value(const payload::JsonValue* found) const;

  const std::string& field() const { return field_; }
  // And/Or's children and Not's inner (left); null where there is none.
  const FilterCondition* left() const { return left_.get(); }
  const FilterCondition* right() const { return right_.get(); }

 private:
  explicit FilterCondition(Kind kind) : kind_(kind) {}

  Kind kind_;
  std::string field_;
  payload::JsonValue value_;                // Eq..Lte
  std::vector<payload::JsonValue> values_;  // In
  std::string substring_;                   // Contains
  std::unique_ptr<FilterCondition> left_;   // And, Or; Not's inner
  std::unique_ptr<FilterCondition> right_;  // And, Or
};

struct Filter {
  FilterCondition condition;

  bool matches(const payload::Payload& payload) const { return condition.matches(payload); }
};

}  // namespace tarnvault_core::filter

namespace tarnvault_core {
using filter::Filter;
using filter::FilterCondition;
}  // namespace tarnvault_core
