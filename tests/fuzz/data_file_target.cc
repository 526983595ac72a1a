// A data file of arbitrary bytes: iter_active and the scan must agree, every
// record they return must read back at its offset, and a record appended
// after a clean file must land where the scan says the file ends.
#include <bit>
#include <cstdint>
#include <string>
#include <vector>

#include "core/error/os_error.h"
#include "core/storage/data_file/data_file.h"
#include "core/storage/testing/tail_aware_reads.h"
#include "tests/fuzz/fuzz_support.h"

namespace tarnvault_fuzz {
namespace {

namespace df = tarnvault_core::storage::data_file;
using tarnvault_core::storage::testing::CollectedScan;
using tarnvault_core::storage::testing::scan_collecting;

bool same_record(const df::DataRecord& a, const df::DataRecord& b) {
  if (a.id != b.id || a.offset != b.offset || a.deleted != b.deleted ||
      a.vector.size() != b.vector.size() || !(a.payload == b.payload)) {
    return false;
  }
  for (std::size_t i = 0; i < a.vector.size(); ++i) {
    if (std::bit_cast<std::uint32_t>(a.vector[i]) != std::bit_cast<std::uint32_t>(b.vector[i])) {
      return false;
    }
  }
  return true;
}

bool same_records(const std::vector<df::DataRecord>& a, const std::vector<df::DataRecord>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (!same_record(a[i], b[i])) return false;
  }
  return true;
}

void check_scan(const df::DataFile& file, const CollectedScan& scan) {
  FUZZ_CHECK(scan.valid_length <= scan.file_length, "readable records end past the file");
  FUZZ_CHECK((scan.tail == df::DataFileTail::Clean) == (scan.valid_length == scan.file_length),
             "the tail does not match where the readable records end");
  FUZZ_CHECK(scan.tail_error.has_value() == (scan.tail != df::DataFileTail::Clean),
             "a damaged tail without its error, or an error without damage");
  std::uint64_t previous_end = 0;
  for (const df::DataRecord& record : scan.records) {
    FUZZ_CHECK(!record.deleted, "a deleted record was returned as live");
    FUZZ_CHECK(record.offset >= previous_end && record.offset < scan.valid_length,
               "a record's offset is out of order or past the readable records");
    previous_end = record.offset + 1;
    auto again = file.read_at(record.offset);
    FUZZ_CHECK(again.ok() && same_record(*again, record),
               "a scanned record does not read back at offset " + std::to_string(record.offset));
  }
  if (scan.tail == df::DataFileTail::Clean) return;
  // The scan stopped where read_at fails, for the reason read_at gives.
  auto stopper = file.read_at(scan.valid_length);
  FUZZ_CHECK(!stopper.ok() && stopper.error() == *scan.tail_error,
             "the scan's tail error is not read_at's at " + std::to_string(scan.valid_length));
  const std::string& text = scan.tail_error->text();
  if (scan.tail == df::DataFileTail::Torn) {
    FUZZ_CHECK(text.ends_with(tarnvault_core::error::kUnexpectedEof),
               "a torn record's error is not the end of the file: " + text);
  } else {
    FUZZ_CHECK(text.starts_with("payload deserialize failed: "),
               "an unreadable record's error is not its payload's: " + text);
  }
}

// The scan that judges its stopping record (what opening a collection
// uses) against the one that does not: the same records, the same stop, and
// a verdict only on a record that stopped it.
void check_judged_scan(const df::DataFile& file, const CollectedScan& unjudged) {
  constexpr std::uint64_t kDimension = 2;
  auto judged = scan_collecting(file, kDimension);
  FUZZ_CHECK(judged.ok(), "the judged scan failed: " + judged.error().message());
  FUZZ_CHECK(same_records(judged->records, unjudged.records),
             "the judged scan visits different records");
  FUZZ_CHECK(judged->valid_length == unjudged.valid_length &&
                 judged->file_length == unjudged.file_length && judged->tail == unjudged.tail &&
                 judged->tail_error == unjudged.tail_error,
             "the judged scan stops differently");
  FUZZ_CHECK(!unjudged.damaged && unjudged.damage.empty(), "an unjudged scan gave a verdict");
  FUZZ_CHECK(!judged->damaged || judged->tail != df::DataFileTail::Clean,
             "a clean file was judged damaged");
  FUZZ_CHECK(judged->damaged == !judged->damage.empty(), "damage without its description");
}

}  // namespace

void data_file(FuzzInput input) {
  const std::filesystem::path path = fresh_directory() / "data.qvf";
  write_file(path, as_text(input));
  auto file = df::DataFile::open(path);
  FUZZ_CHECK(file.ok(), "open failed: " + file.error().message());

  auto active = file->iter_active();
  FUZZ_CHECK(active.ok(), "iter_active failed: " + active.error().message());
  auto scan = scan_collecting(*file);
  FUZZ_CHECK(scan.ok(), "scan failed: " + scan.error().message());
  FUZZ_CHECK(same_records(*active, scan->records), "iter_active and scan disagree");
  check_scan(*file, *scan);
  check_judged_scan(*file, *scan);
  if (scan->tail != df::DataFileTail::Clean) return;

  const std::vector<float> vector = {1.0f, -2.0f};
  auto offset = file->append(7, vector, {});
  FUZZ_CHECK(offset.ok() && *offset == scan->file_length,
             "a record appended to a clean file does not start at its end");
  FUZZ_CHECK(file->flush().ok(), "flush failed");
  auto after = file->iter_active();
  FUZZ_CHECK(after.ok() && after->size() == scan->records.size() + 1 &&
                 after->back().id == 7 && after->back().offset == *offset,
             "the appended record is not the last live record");
}

}  // namespace tarnvault_fuzz
