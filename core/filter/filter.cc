#include "core/filter/filter.h"

#include <algorithm>
#include <utility>

namespace tarnvault_core::filter {
namespace {

using payload::JsonValue;
using payload::Payload;

const JsonValue* find_field(const Payload& payload, const std::string& field) {
  const auto it = payload.data.find(field);
  return it == payload.data.end() ? nullptr : &it->second;
}

// Ordering compares numbers of any kind as doubles; nothing else orders.
template <typename Compare>
bool ordered(const JsonValue* found, const JsonValue& value, Compare compare) {
  if (found == nullptr || !found->is_number() || !value.is_number()) return false;
  return compare(found->number_as_double(), value.number_as_double());
}

bool string_contains(const JsonValue* found, const std::string& substring) {
  if (found == nullptr || found->kind() != JsonValue::Kind::String) return false;
  return found->as_string().find(substring) != std::string::npos;
}

}  // namespace

FilterCondition FilterCondition::eq(std::string field, JsonValue value) {
  FilterCondition c(Kind::Eq);
  c.field_ = std::move(field);
  c.value_ = std::move(value);
  return c;
}

FilterCondition FilterCondition::ne(std::string field, JsonValue value) {
  FilterCondition c = eq(std::move(field), std::move(value));
  c.kind_ = Kind::Ne;
  return c;
}

FilterCondition FilterCondition::gt(std::string field, JsonValue value) {
  FilterCondition c = eq(std::move(field), std::move(value));
  c.kind_ = Kind::Gt;
  return c;
}

FilterCondition FilterCondition::gte(std::string field, JsonValue value) {
  FilterCondition c = eq(std::move(field), std::move(value));
  c.kind_ = Kind::Gte;
  return c;
}

FilterCondition FilterCondition::lt(std::string field, JsonValue value) {
  FilterCondition c = eq(std::move(field), std::move(value));
  c.kind_ = Kind::Lt;
  return c;
}

FilterCondition FilterCondition::lte(std::string field, JsonValue value) {
  FilterCondition c = eq(std::move(field), std::move(value));
  c.kind_ = Kind::Lte;
  return c;
}

FilterCondition FilterCondition::in(std::string field, std::vector<JsonValue> values) {
  FilterCondition c(Kind::In);
  c.field_ = std::move(field);
  c.values_ = std::move(values);
  return c;
}

FilterCondition FilterCondition::contains(std::string field, std::string substring) {
  FilterCondition c(Kind::Contains);
  c.field_ = std::move(field);
  c.substring_ = std::move(substring);
  return c;
}

FilterCondition FilterCondition::exists(std::string field) {
  FilterCondition c(Kind::Exists);
  c.field_ = std::move(field);
  return c;
}

FilterCondition FilterCondition::and_(FilterCondition left, FilterCondition right) {
  FilterCondition c(Kind::And);
  c.left_ = std::make_unique<FilterCondition>(std::move(left));
  c.right_ = std::make_unique<FilterCondition>(std::move(right));
  return c;
}

FilterCondition FilterCondition::or_(FilterCondition left, FilterCondition right) {
  FilterCondition c = and_(std::move(left), std::move(right));
  c.kind_ = Kind::Or;
  return c;
}

FilterCondition FilterCondition::not_(FilterCondition inner) {
  FilterCondition c(Kind::Not);
  c.left_ = std::make_unique<FilterCondition>(std::move(inner));
  return c;
}

bool FilterCondition::matches(const Payload& payload) const {
  // A child left empty by a move matches nothing rather than crashing.
  const auto child = [&payload](const std::unique_ptr<FilterCondition>& c) {
    return c != nullptr && c->matches(payload);
  };
  switch (kind_) {
    case Kind::And:
      return child(left_) && child(right_);
    case Kind::Or:
      return child(left_) || child(right_);
    case Kind::Not:
      return !child(left_);
    default:
      break;
  }
  return matches_value(find_field(payload, field_));
}

bool FilterCondition::matches_value(const JsonValue* found) const {
  switch (kind_) {
    case Kind::Eq:
      return found != nullptr && *found == value_;
    case Kind::Ne:
      return found == nullptr || !(*found == value_);
    case Kind::Gt:
      return ordered(found, value_, [](double a, double b) { return a > b; });
    case Kind::Gte:
      return ordered(found, value_, [](double a, double b) { return a >= b; });
    case Kind::Lt:
      return ordered(found, value_, [](double a, double b) { return a < b; });
    case Kind::Lte:
      return ordered(found, value_, [](double a, double b) { return a <= b; });
    case Kind::In:
      return found != nullptr &&
             std::any_of(values_.begin(), values_.end(),
                         [found](const JsonValue& candidate) { return *found == candidate; });
    case Kind::Contains:
      return string_contains(found, substring_);
    case Kind::Exists:
      return found != nullptr;
    default:
      return false;
  }
}

}  // namespace tarnvault_core::filter
