#include "core/error/error.h"

#include <cerrno>
#include <cstdint>
#include <limits>

#include <gtest/gtest.h>

#include "core/error/os_error.h"
#include "core/error/result.h"

namespace tarnvault_core {
namespace {

struct MessageCase {
  Error error;
  ErrorKind kind;
  const char* message;
};

TEST(ErrorTest, DisplayMessagesOfEveryKind) {
  const MessageCase cases[] = {
      {Error::dimension_mismatch(128, 3), ErrorKind::DimensionMismatch,
       "dimension mismatch: expected 128, got 3"},
      {Error::duplicate_id(std::numeric_limits<std::uint64_t>::max()), ErrorKind::DuplicateId,
       "duplicate vector id: 18446744073709551615"},
      {Error::not_found(7), ErrorKind::NotFound, "vector not found: 7"},
      {Error::invalid_filter("bad"), ErrorKind::InvalidFilter, "invalid filter: bad"},
      {Error::payload_error("x"), ErrorKind::PayloadError, "payload error: x"},
      {Error::empty_vector(), ErrorKind::EmptyVector, "empty vector not allowed"},
      {Error::io_error("write id failed: oops"), ErrorKind::IoError,
       "io error: write id failed: oops"},
      {Error::wal_corrupted("checksum mismatch: expected 1, got 2"), ErrorKind::WalCorrupted,
       "WAL corrupted: checksum mismatch: expected 1, got 2"},
      {Error::collection_error("create dir failed: x"), ErrorKind::CollectionError,
       "collection error: create dir failed: x"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.error.kind(), c.kind);
    EXPECT_EQ(c.error.message(), c.message);
  }
}

TEST(ErrorTest, KindsKeepTheirDeclaredOrder) {
  EXPECT_EQ(static_cast<int>(ErrorKind::DimensionMismatch), 0);
  EXPECT_EQ(static_cast<int>(ErrorKind::CollectionError), 8);
}

TEST(ErrorTest, OsErrorTextCarriesTheNumber) {
  EXPECT_EQ(error::os_error_text(ENOENT), "No such file or directory (os error 2)");
}

Result<int> half(int x) {
  if (x % 2 != 0) return Error::invalid_filter("odd");
  return x / 2;
}

Status check_even(int x) {
  TV_RETURN_IF_ERROR(half(x));
  return {};
}

TEST(ResultTest, CarriesValueOrError) {
  auto good = half(4);
  ASSERT_TRUE(good.ok());
  EXPECT_EQ(*good, 2);
  auto bad = half(3);
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(bad.error().message(), "invalid filter: odd");
  EXPECT_TRUE(check_even(2).ok());
  EXPECT_EQ(check_even(1).error().kind(), ErrorKind::InvalidFilter);
}

}  // namespace
}  // namespace tarnvault_core
