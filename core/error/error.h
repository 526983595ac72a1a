// The one error type of the core library. Every fallible core operation
// returns its result or an Error; nothing in the core throws across its API.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace tarnvault_core::error {

// In declaration order; the order is part of the library's contract.
enum class ErrorKind : std::uint8_t {
  DimensionMismatch,
  DuplicateId,
  NotFound,
  InvalidFilter,
  PayloadError,
  EmptyVector,
  IoError,
  WalCorrupted,
  CollectionError,
};

class Error {
 public:
  static Error dimension_mismatch(std::size_t expected, std::size_t got);
  static Error duplicate_id(std::uint64_t id);
  static Error not_found(std::uint64_t id);
  static Error invalid_filter(std::string text);
  static Error payload_error(std::string text);
  static Error empty_vector();
  static Error io_error(std::string text);
  static Error wal_corrupted(std::string text);
  static Error collection_error(std::string text);
  // What the storage layer's system calls fail with, before it names the
  // step: an IoError whose text is the system's message for errnum and
  // "(os error N)", or the end of a file met by a read that needed more
  // bytes ("failed to fill whole buffer"). Both keep what they stand for, so
  // a caller can retry EINTR or tell a short file from a failing disk.
  static Error os_error(int errnum);
  static Error end_of_file();

  ErrorKind kind() const { return kind_; }
  // DimensionMismatch only.
  std::size_t expected() const { return expected_; }
  std::size_t got() const { return got_; }
  // DuplicateId and NotFound only.
  std::uint64_t id() const { return id_; }
  // The carried text of the text-carrying kinds (empty for the others).
  const std::string& text() const { return text_; }

  // The errno of an os_error; 0 for every other error.
  int os_error_number() const { return os_errno_ > 0 ? os_errno_ : 0; }
  bool is_end_of_file() const { return os_errno_ == kEndOfFileCode; }

  // The display message: what a Python caller sees.
  std::string message() const;

  friend bool operator==(const Error&, const Error&) = default;

 private:
  explicit Error(ErrorKind kind) : kind_(kind) {}
  // No operating system uses a negative errno.
  static constexpr int kEndOfFileCode = -1;

  ErrorKind kind_;
  std::size_t expected_ = 0;
  std::size_t got_ = 0;
  std::uint64_t id_ = 0;
  std::string text_;
  int os_errno_ = 0;  // os_error's errnum, kEndOfFileCode, or 0
};

}  // namespace tarnvault_core::error

namespace tarnvault_core {
using error::Error;
using error::ErrorKind;
}  // namespace tarnvault_core
