#include "core/payload/json_value.h"

#include <utility>

namespace tarnvault_core::payload {

JsonValue JsonValue::boolean(bool b) {
  JsonValue v;
  v.state_ = b;
  return v;
}

JsonValue JsonValue::unsigned_integer(std::uint64_t u) {
  JsonValue v;
  v.state_ = u;
  return v;
}

JsonValue JsonValue::signed_integer(std::int64_t i) {
  if (i >= 0) return unsigned_integer(static_cast<std::uint64_t>(i));
  JsonValue v;
  v.state_ = i;
  return v;
}

JsonValue JsonValue::floating(double d) {
  JsonValue v;
  v.state_ = d;
  return v;
}

JsonValue JsonValue::string(std::string s) {
  JsonValue v;
  v.state_ = std::move(s);
  return v;
}

JsonValue JsonValue::array(JsonArray a) {
  JsonValue v;
  v.state_ = std::move(a);
  return v;
}

JsonValue JsonValue::object(JsonObject o) {
  JsonValue v;
  v.state_ = std::move(o);
  return v;
}

bool JsonValue::is_number() const {
  const Kind k = kind();
  return k == Kind::UInt || k == Kind::NegInt || k == Kind::Float;
}

double JsonValue::number_as_double() const {
  switch (kind()) {
    case Kind::UInt:
      return static_cast<double>(as_uint());
    case Kind::NegInt:
      return static_cast<double>(as_neg_int());
    case Kind::Float:
      return as_float();
    default:
      return 0.0;
  }
}

// The variant's own comparison already has the required meaning: different
// alternatives (number kinds included) are unequal, doubles compare with ==,
// and arrays and maps compare element by element through this operator.
bool operator==(const JsonValue& a, const JsonValue& b) { return a.state_ == b.state_; }

}  // namespace tarnvault_core::payload
