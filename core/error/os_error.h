// Text of an operating-system error the way every storage message shows it:
// the system's message, a blank, and "(os error N)".
#pragma once

#include <string>

namespace tarnvault_core::error {

std::string os_error_text(int errnum);

// The text of a fixed-size read that met the end of the file.
inline constexpr const char* kUnexpectedEof = "failed to fill whole buffer";

}  // namespace tarnvault_core::error
