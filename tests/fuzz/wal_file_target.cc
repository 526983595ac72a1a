// A log file of arbitrary bytes, read whole and read tail-aware. The first
// input byte is a flag: odd means every complete record's checksum is made
// right before the file is written, so mutations reach the body parser.
#include <string>

#include "core/storage/testing/tail_aware_reads.h"
#include "core/storage/wal/wal.h"
#include "tests/fuzz/fuzz_support.h"

namespace tarnvault_fuzz {
namespace {

namespace wal = tarnvault_core::storage::wal;

// The strict read and the tail-aware read must tell the same story.
void check_reads_agree(const tarnvault_core::Result<std::vector<wal::WalEntry>>& strict,
                       const tarnvault_core::Result<wal::WalReadResult>& tolerant) {
  if (!tolerant.ok()) {
    FUZZ_CHECK(!strict.ok() && strict.error() == tolerant.error(),
               "the tail-aware read failed where the strict read did not: " +
                   tolerant.error().message());
    return;
  }
  const wal::WalReadResult& read = *tolerant;
  FUZZ_CHECK(read.valid_length <= read.file_length, "complete records end past the file");
  FUZZ_CHECK((read.tail == wal::WalTail::None) == (read.valid_length == read.file_length),
             "the tail does not match where the complete records end");
  const bool tolerated = read.tail == wal::WalTail::None || read.tail == wal::WalTail::StrayBytes;
  FUZZ_CHECK(strict.ok() == tolerated,
             strict.ok() ? "the strict read accepted a torn record"
                         : "the strict read refused a clean file: " + strict.error().message());
  if (strict.ok()) FUZZ_CHECK(*strict == read.owned_entries(), "the two reads return different entries");
}

}  // namespace

void wal_file(FuzzInput input) {
  if (input.empty()) return;
  std::string image(as_text(input.subspan(1)));
  if (input[0] & 1) fix_wal_checksums(image);

  const std::filesystem::path path = fresh_directory() / "wal.log";
  write_file(path, image);
  const auto strict = wal::Wal::read_all(path);
  const auto tolerant = tarnvault_core::storage::testing::read_log_with_tail(path);
  check_reads_agree(strict, tolerant);
  if (!tolerant.ok() || !tolerant->has_torn_tail()) return;

  // What recovery does with a torn tail: cut it off. The rest must then read
  // cleanly and give the same entries.
  write_file(path, std::string_view(image).substr(0, tolerant->valid_length));
  const auto cut = wal::Wal::read_all(path);
  FUZZ_CHECK(cut.ok(), "the log cut at its last complete record fails: " + cut.error().message());
  FUZZ_CHECK(*cut == tolerant->owned_entries(), "cutting the torn tail changed the entries");
}

}  // namespace tarnvault_fuzz
