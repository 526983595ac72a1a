#include "core/error/error.h"

#include <utility>

#include "core/error/os_error.h"

namespace tarnvault_core::error {

Error Error::dimension_mismatch(std::size_t expected, std::size_t got) {
  Error e(ErrorKind::DimensionMismatch);
  e.expected_ = expected;
  e.got_ = got;
  return e;
}

Error Error::duplicate_id(std::uint64_t id) {
  Error e(ErrorKind::DuplicateId);
  e.id_ = id;
  return e;
}

Error Error::not_found(std::uint64_t id) {
  Error e(ErrorKind::NotFound);
  e.id_ = id;
  return e;
}

Error Error::invalid_filter(std::string text) {
  Error e(ErrorKind::InvalidFilter);
  e.text_ = std::move(text);
  return e;
}

Error Error::payload_error(std::string text) {
  Error e(ErrorKind::PayloadError);
  e.text_ = std::move(text);
  return e;
}

Error Error::empty_vector() { return Error(ErrorKind::EmptyVector); }

Error Error::io_error(std::string text) {
  Error e(ErrorKind::IoError);
  e.text_ = std::move(text);
  return e;
}

Error Error::wal_corrupted(std::string text) {
  Error e(ErrorKind::WalCorrupted);
  e.text_ = std::move(text);
  return e;
}

Error Error::collection_error(std::string text) {
  Error e(ErrorKind::CollectionError);
  e.text_ = std::move(text);
  return e;
}

Error Error::os_error(int errnum) {
  Error e = io_error(os_error_text(errnum));
  e.os_errno_ = errnum;
  return e;
}

Error Error::end_of_file() {
  Error e = io_error(kUnexpectedEof);
  e.os_errno_ = kEndOfFileCode;
  return e;
}

std::string Error::message() const {
  switch (kind_) {
    case ErrorKind::DimensionMismatch:
      return "dimension mismatch: expected " + std::to_string(expected_) + ", got " +
             std::to_string(got_);
    case ErrorKind::DuplicateId:
      return "duplicate vector id: " + std::to_string(id_);
    case ErrorKind::NotFound:
      return "vector not found: " + std::to_string(id_);
    case ErrorKind::InvalidFilter:
      return "invalid filter: " + text_;
    case ErrorKind::PayloadError:
      return "payload error: " + text_;
    case ErrorKind::EmptyVector:
      return "empty vector not allowed";
    case ErrorKind::IoError:
      return "io error: " + text_;
    case ErrorKind::WalCorrupted:
      return "WAL corrupted: " + text_;
    case ErrorKind::CollectionError:
      return "collection error: " + text_;
  }
  return "unknown error";
}

}  // namespace tarnvault_core::error
