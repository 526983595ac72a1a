#include "core/payload/json_writer.h"

#include <cmath>

#include "core/payload/json_number.h"
#include "core/payload/utf8.h"

namespace tarnvault_core::payload {
namespace {

// The escape of one byte, or nullptr when it is written as it is.
const char* short_escape(unsigned char c) {
  switch (c) {
    case '"':
      return "\\\"";
    case '\\':
      return "\\\\";
    case '\n':
      return "\\n";
    case '\t':
      return "\\t";
    case '\r':
      return "\\r";
    case '\b':
      return "\\b";
    case '\f':
      return "\\f";
    default:
      return nullptr;
  }
}

bool needs_escape(unsigned char c) { return c < 0x20 || c == '"' || c == '\\'; }

void append_escape(std::string& out, unsigned char c) {
  if (const char* escape = short_escape(c)) {
    out += escape;
    return;
  }
  static constexpr char kHex[] = "0123456789abcdef";
  out += "\\u00";
  out += kHex[c >> 4];
  out += kHex[c & 0x0F];
}

Status append_array(std::string& out, const JsonArray& array, int levels_left) {
  out += '[';
  bool first = true;
  for (const JsonValue& element : array) {
    if (!first) out += ',';
    first = false;
    TV_RETURN_IF_ERROR(append_json_value(out, element, levels_left));
  }
  out += ']';
  return {};
}

Status append_object(std::string& out, const JsonObject& object, int levels_left) {
  out += '{';
  bool first = true;
  for (const auto& [key, member] : object) {
    if (!first) out += ',';
    first = false;
    TV_RETURN_IF_ERROR(append_checked_json_string(out, key));
    out += ':';
    TV_RETURN_IF_ERROR(append_json_value(out, member, levels_left));
  }
  out += '}';
  return {};
}

Status append_finite_float(std::string& out, double value) {
  if (!std::isfinite(value)) {
    return Error::payload_error("float is not finite: " + std::string(non_finite_name(value)));
  }
  append_float(out, value);
  return {};
}

Status nesting_too_deep() {
  return Error::payload_error("nesting deeper than " + std::to_string(kMaxJsonNesting) + " levels");
}

}  // namespace

void append_json_string(std::string& out, std::string_view text) {
  out += '"';
  std::size_t run_start = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (!needs_escape(c)) continue;
    out.append(text, run_start, i - run_start);
    append_escape(out, c);
    run_start = i + 1;
  }
  out.append(text, run_start, text.size() - run_start);
  out += '"';
}

Status append_checked_json_string(std::string& out, std::string_view text) {
  if (!is_valid_utf8(text)) return Error::payload_error("string is not valid UTF-8");
  append_json_string(out, text);
  return {};
}

Status append_json_value(std::string& out, const JsonValue& value, int levels_left) {
  switch (value.kind()) {
    case JsonValue::Kind::Null:
      out += "null";
      return {};
    case JsonValue::Kind::Bool:
      out += value.as_bool() ? "true" : "false";
      return {};
    case JsonValue::Kind::UInt:
      append_unsigned(out, value.as_uint());
      return {};
    case JsonValue::Kind::NegInt:
      append_signed(out, value.as_neg_int());
      return {};
    case JsonValue::Kind::Float:
      return append_finite_float(out, value.as_float());
    case JsonValue::Kind::String:
      return append_checked_json_string(out, value.as_string());
    case JsonValue::Kind::Array:
      if (levels_left <= 0) return nesting_too_deep();
      return append_array(out, value.as_array(), levels_left - 1);
    case JsonValue::Kind::Object:
      if (levels_left <= 0) return nesting_too_deep();
      return append_object(out, value.as_object(), levels_left - 1);
  }
  return Error::payload_error("unknown value kind");
}

}  // namespace tarnvault_core::payload
