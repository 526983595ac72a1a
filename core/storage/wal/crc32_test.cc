#include "core/storage/wal/crc32.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace tarnvault_core::storage::wal {
namespace {

// The folded form must equal zlib's for every length around the folding's
// thresholds and block boundaries, from every alignment.
TEST(Crc32, EqualsZlibForEveryLengthAndAlignment) {
  std::mt19937_64 random(3);
  std::string bytes(2200, '\0');
  for (char& c : bytes) c = static_cast<char>(random());
  for (std::size_t offset = 0; offset < 16; offset += 3) {
    for (std::size_t size = 0; size + offset <= 2100; ++size) {
      const std::string_view piece(bytes.data() + offset, size);
      ASSERT_EQ(crc32_ieee(piece), crc32_ieee_reference(piece)) << size << " at " << offset;
    }
  }
  EXPECT_EQ(crc32_ieee(""), 0u);
  EXPECT_EQ(crc32_ieee("123456789"), 0xCBF43926u);  // the CRC-32 check value
}

}  // namespace
}  // namespace tarnvault_core::storage::wal
