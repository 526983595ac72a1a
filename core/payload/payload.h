// Payload: the JSON metadata that travels with every stored vector, and its
// compact JSON text form {"data":{...}}.
#pragma once

#include <string>
#include <string_view>
#include <unordered_map>

#include "core/error/result.h"
#include "core/payload/json_value.h"

namespace tarnvault_core::payload {

struct Payload {
  std::unordered_map<std::string, JsonValue> data;

  friend bool operator==(const Payload&, const Payload&) = default;
};

// Appends the compact JSON form to out. Fails (PayloadError, out unchanged)
// for what the text could not carry or read back: a non-finite float, a
// string that is not UTF-8, or nesting beyond kMaxJsonNesting levels.
Status append_payload_json(const Payload& payload, std::string& out);
Result<std::string> payload_to_json(const Payload& payload);

// As append_payload_json, for a payload embedded in a text where
// enclosing_levels arrays or objects already surround it (1 inside a log
// record), so that the nesting limit holds for the whole text.
Status append_embedded_payload_json(const Payload& payload, int enclosing_levels, std::string& out);

// Strict reader of the JSON form. On failure: PayloadError whose text is the
// reader's message ending in " at line {line} column {column}".
Result<Payload> payload_from_json(std::string_view text);

}  // namespace tarnvault_core::payload

namespace tarnvault_core {
using payload::JsonValue;
using payload::Payload;
}  // namespace tarnvault_core
