#include "core/payload/json_writer.h"

#include <algorithm>
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

template <class Base>
void JsonTextWriter<Base>::string(std::string_view text) {
  raw(rapidjson::kStringType, [&](std::string& out) { append_json_string(out, text); });
}

template <class Base>
Status JsonTextWriter<Base>::checked_string(std::string_view text) {
  if (!is_valid_utf8(text)) return Error::payload_error("string is not valid UTF-8");
  string(text);
  return {};
}

template <class Base>
Status JsonTextWriter<Base>::floating(double value) {
  if (!std::isfinite(value)) {
    return Error::payload_error("float is not finite: " + std::string(non_finite_name(value)));
  }
  raw(rapidjson::kNumberType, [&](std::string& out) { append_float(out, value); });
  return {};
}

template <class Base>
Status JsonTextWriter<Base>::value(const JsonValue& value, int levels_left) {
  switch (value.kind()) {
    case JsonValue::Kind::Null:
      this->Null();
      return {};
    case JsonValue::Kind::Bool:
      this->Bool(value.as_bool());
      return {};
    case JsonValue::Kind::UInt:
      this->Uint64(value.as_uint());
      return {};
    case JsonValue::Kind::NegInt:
      this->Int64(value.as_neg_int());
      return {};
    case JsonValue::Kind::Float:
      return floating(value.as_float());
    case JsonValue::Kind::String:
      return checked_string(value.as_string());
    case JsonValue::Kind::Array:
      if (levels_left <= 0) return nesting_too_deep();
      this->StartArray();
      for (const JsonValue& element : value.as_array()) {
        TV_RETURN_IF_ERROR(this->value(element, levels_left - 1));
      }
      this->EndArray();
      return {};
    case JsonValue::Kind::Object:
      if (levels_left <= 0) return nesting_too_deep();
      this->StartObject();
      for (const auto& [key, member] : value.as_object()) {
        TV_RETURN_IF_ERROR(checked_string(key));
        TV_RETURN_IF_ERROR(this->value(member, levels_left - 1));
      }
      this->EndObject();
      return {};
  }
  return Error::payload_error("unknown value kind");
}

template class JsonTextWriter<rapidjson::Writer<StringOutput>>;
template class JsonTextWriter<rapidjson::PrettyWriter<StringOutput>>;

std::optional<std::size_t> append_float32_array(std::string& out, std::span<const float> values) {
  // Sized once for the longest possible text and cut back afterwards: no
  // temporary per number. Before a non-finite value, out gets the text of
  // the values ahead of it, as the header promises.
  const auto non_finite = std::find_if(values.begin(), values.end(),
                                       [](float value) { return !std::isfinite(value); });
  const auto finite = values.first(static_cast<std::size_t>(non_finite - values.begin()));
  const std::size_t start = out.size();
  out.resize(start + 2 + finite.size() * (kMaxFloat32TextSize + 1));
  char* at = out.data() + start;
  *at++ = '[';
  at = write_float32_list(at, finite);
  if (finite.size() != values.size()) {
    out.resize(static_cast<std::size_t>(at - out.data()));
    return finite.size();
  }
  *at++ = ']';
  out.resize(static_cast<std::size_t>(at - out.data()));
  return std::nullopt;
}

}  // namespace tarnvault_core::payload
