// Compact JSON text of values: no whitespace, object keys ascending.
#pragma once

#include <string>
#include <string_view>

#include "core/error/result.h"
#include "core/payload/json_value.h"

namespace tarnvault_core::payload {

// Appends text as a JSON string literal: quotation mark, backslash and
// control characters escaped (\n \t \r \b \f, others as \u00XX), everything
// else, non-ASCII included, as it is. The text must be valid UTF-8.
void append_json_string(std::string& out, std::string_view text);

// Appends the compact form of value, which may open at most levels_left
// nested arrays or objects (so that whatever is written can be read back
// under the reader's nesting limit). Fails with PayloadError for a
// non-finite float, a string or key that is not UTF-8, or deeper nesting;
// out may then hold part of the value, and the caller restores it.
Status append_json_value(std::string& out, const JsonValue& value, int levels_left);

// Appends a string after checking that it is UTF-8 (PayloadError otherwise).
Status append_checked_json_string(std::string& out, std::string_view text);

}  // namespace tarnvault_core::payload
