#include "core/error/os_error.h"

#include <cstring>

namespace tarnvault_core::error {

std::string os_error_text(int errnum) {
  char buffer[256];
  // GNU strerror_r returns a pointer that may or may not be into buffer.
  const char* text = strerror_r(errnum, buffer, sizeof buffer);
  return std::string(text) + " (os error " + std::to_string(errnum) + ")";
}

}  // namespace tarnvault_core::error
