// The JSON value model of payloads and filters. Numbers keep one of three
// kinds (unsigned, negative signed, float) so that 1 and 1.0 stay distinct.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <variant>
#include <vector>

namespace tarnvault_core::payload {

// Arrays and objects nest at most this deep in any JSON text this library
// reads or writes, the outermost one of the text counting as the first level.
inline constexpr int kMaxJsonNesting = 127;

class JsonValue;
using JsonArray = std::vector<JsonValue>;
// Kept sorted by key, byte-wise, so objects are written with ascending keys.
using JsonObject = std::map<std::string, JsonValue>;

class JsonValue {
 public:
  enum class Kind : std::uint8_t { Null, Bool, UInt, NegInt, Float, String, Array, Object };

  JsonValue() = default;  // null

  static JsonValue null() { return JsonValue(); }
  static JsonValue boolean(bool b);
  static JsonValue unsigned_integer(std::uint64_t u);
  // Non-negative values are held as the unsigned kind, as the reader would.
  static JsonValue signed_integer(std::int64_t i);
  // Floats must be finite; the writer refuses NaN and infinities.
  static JsonValue floating(double d);
  static JsonValue string(std::string s);
  static JsonValue array(JsonArray a);
  static JsonValue object(JsonObject o);

  Kind kind() const { return static_cast<Kind>(state_.index()); }
  bool is_number() const;

  bool as_bool() const { return std::get<bool>(state_); }
  std::uint64_t as_uint() const { return std::get<std::uint64_t>(state_); }
  std::int64_t as_neg_int() const { return std::get<std::int64_t>(state_); }
  double as_float() const { return std::get<double>(state_); }
  const std::string& as_string() const { return std::get<std::string>(state_); }
  const JsonArray& as_array() const { return std::get<JsonArray>(state_); }
  JsonArray& as_array() { return std::get<JsonArray>(state_); }
  const JsonObject& as_object() const { return std::get<JsonObject>(state_); }
  JsonObject& as_object() { return std::get<JsonObject>(state_); }

  // Any number kind as a double (integers rounded to nearest). Numbers only.
  double number_as_double() const;

  // Structural equality: different kinds (number kinds included) never equal;
  // floats compare with ==, so 0.0 == -0.0 and NaN is never equal.
  friend bool operator==(const JsonValue& a, const JsonValue& b);

 private:
  using State = std::variant<std::monostate, bool, std::uint64_t, std::int64_t, double,
                             std::string, JsonArray, JsonObject>;
  State state_;
};

}  // namespace tarnvault_core::payload
