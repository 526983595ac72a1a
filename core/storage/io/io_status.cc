#include "core/storage/io/io_status.h"

#include "core/error/os_error.h"

namespace tarnvault_core::storage::io {

std::string IoStatus::text() const {
  if (is_end_of_file()) return error::kUnexpectedEof;
  return error::os_error_text(code_);
}

}  // namespace tarnvault_core::storage::io
