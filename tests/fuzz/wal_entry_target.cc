// A log record body: an entry that was read and can be written again must
// read back to the same entry, bit for bit in its vector.
#include <bit>
#include <cstdint>
#include <string>

#include "core/storage/wal/wal_entry.h"
#include "tests/fuzz/fuzz_support.h"

namespace tarnvault_fuzz {
namespace {

bool same_bits(const std::vector<float>& a, const std::vector<float>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::bit_cast<std::uint32_t>(a[i]) != std::bit_cast<std::uint32_t>(b[i])) return false;
  }
  return true;
}

}  // namespace

void wal_entry(FuzzInput input) {
  using tarnvault_core::storage::wal::WalEntry;

  auto entry = WalEntry::from_bytes(as_text(input));
  // The fast path for the writer's compact shape reads exactly as the
  // general reader: the same entry, or the same error.
  auto general = WalEntry::from_bytes_general(as_text(input));
  FUZZ_CHECK(entry.ok() == general.ok(), "the compact parser and the general reader disagree");
  if (entry.ok()) {
    FUZZ_CHECK(entry->kind == general->kind && entry->id == general->id &&
                   same_bits(entry->vector, general->vector) && entry->payload == general->payload,
               "the compact parser read another entry than the general reader");
  } else {
    FUZZ_CHECK(entry.error() == general.error(), "the two readers fail differently");
  }
  if (!entry.ok()) {
    FUZZ_CHECK(entry.error().kind() == tarnvault_core::ErrorKind::WalCorrupted,
               "a body read failed with another kind: " + entry.error().message());
    FUZZ_CHECK(entry.error().text().starts_with("deserialization failed: "),
               "unexpected body error: " + entry.error().message());
    check_reader_position(entry.error().text(), as_text(input));
    return;
  }
  std::string body;
  // A component beyond the float range reads as an infinity, which the
  // body has no form for: such an entry is refused on writing, not lost.
  if (!entry->append_json(body).ok()) {
    FUZZ_CHECK(body.empty(), "a failed write left text behind");
    return;
  }
  auto reread = WalEntry::from_bytes(body);
  FUZZ_CHECK(reread.ok(), "written body does not read back: " + body);
  FUZZ_CHECK(reread->kind == entry->kind && reread->id == entry->id &&
                 same_bits(reread->vector, entry->vector) && reread->payload == entry->payload,
             "entry changed on a round trip: " + body);
}

}  // namespace tarnvault_fuzz
