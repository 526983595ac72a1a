// Where in a JSON text a fault lies, as the suffix of every reader message.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tarnvault_core::payload {

// " at line {line} column {column}" for the fault found after consumed bytes
// of text were read. Lines count from 1; the column is the 1-based byte
// position of the last byte consumed on its line, so 0 before the first.
std::string position_suffix(std::string_view text, std::size_t consumed);

}  // namespace tarnvault_core::payload
