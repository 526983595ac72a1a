// UTF-8 validation. JSON text is UTF-8, so strings that are not cannot be
// written, and files that are not are refused before parsing.
#pragma once

#include <cstddef>
#include <string_view>

namespace tarnvault_core::payload {

// Length of the longest prefix of text that is well-formed UTF-8 (no
// overlong forms, no surrogates, nothing above U+10FFFF).
std::size_t valid_utf8_prefix(std::string_view text);

inline bool is_valid_utf8(std::string_view text) { return valid_utf8_prefix(text) == text.size(); }

}  // namespace tarnvault_core::payload
