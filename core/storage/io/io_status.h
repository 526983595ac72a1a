// Outcome of one low-level file operation: success, an errno value, or the
// end of the file met by a read that needed more bytes. Cheap to copy; the
// storage layer turns it into an Error text only when it has to report it.
#pragma once

#include <cstdint>
#include <string>

namespace tarnvault_core::storage::io {

class [[nodiscard]] IoStatus {
 public:
  IoStatus() = default;
  static IoStatus from_errno(int errnum) { return IoStatus(errnum); }
  static IoStatus end_of_file() { return IoStatus(kEndOfFileCode); }

  bool ok() const { return code_ == 0; }
  bool is_end_of_file() const { return code_ == kEndOfFileCode; }
  // The errno value; meaningless for success and end of file.
  int error_number() const { return code_; }

  // "No space left on device (os error 28)", or "failed to fill whole buffer"
  // for the end of the file.
  std::string text() const;

  friend bool operator==(IoStatus, IoStatus) = default;

 private:
  // No operating system uses a negative errno.
  static constexpr int kEndOfFileCode = -1;
  explicit IoStatus(int code) : code_(code) {}
  int code_ = 0;
};

// A value or the status of the failed operation that should have produced it.
template <typename T>
struct [[nodiscard]] IoResult {
  T value{};
  IoStatus status;

  bool ok() const { return status.ok(); }
};

}  // namespace tarnvault_core::storage::io
