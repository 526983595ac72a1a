#include "core/payload/json_position.h"

#include <algorithm>

namespace tarnvault_core::payload {

std::string position_suffix(std::string_view text, std::size_t consumed) {
  const std::string_view read = text.substr(0, std::min(consumed, text.size()));
  const std::size_t line = 1 + static_cast<std::size_t>(std::count(read.begin(), read.end(), '\n'));
  const std::size_t last_newline = read.rfind('\n');
  const std::size_t column =
      last_newline == std::string_view::npos ? read.size() : read.size() - last_newline - 1;
  return " at line " + std::to_string(line) + " column " + std::to_string(column);
}

}  // namespace tarnvault_core::payload
