// A data file of arbitrary bytes: iter_active and the scan must agree, every
// record they return must read back at its offset, and a record appended
// after a clean file must land where the scan says the file ends.
#include <bit>
#include <cstdint>
#include <string>
#include <vector>

#include "core/error/os_error.h"
#include "core/storage/data_file/data_file.h"
#include "tests/fuzz/fuzz_support.h"

namespace tarnvault_fuzz {
namespace {

namespace df = tarnvault_core::storage::data_file;

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

void check_scan(const df::DataFile& file, const df::DataFileScan& scan) {
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

// The streamed scan (what opening a collection uses) against the collected one.
void check_streamed_scan(const df::DataFile& file, const df::DataFileScan& collected) {
  std::vector<df::DataRecord> visited;
  auto streamed = file.scan_each([&](df::RecordVisit& visit) {
    visited.push_back({visit.id, std::vector<float>(visit.vector.begin(), visit.vector.end()),
                       std::move(visit.payload), false, visit.offset});
  });
  FUZZ_CHECK(streamed.ok(), "scan_each failed: " + streamed.error().message());
  FUZZ_CHECK(streamed->records.empty(), "scan_each collected records");
  FUZZ_CHECK(same_records(visited, collected.records), "scan_each and scan visit different records");
  FUZZ_CHECK(streamed->valid_length == collected.valid_length &&
                 streamed->file_length == collected.file_length &&
                 streamed->tail == collected.tail && streamed->tail_error == collected.tail_error,
             "scan_each and scan stop differently");
}

}  // namespace

void data_file(FuzzInput input) {
  const std::filesystem::path path = fresh_directory() / "data.qvf";
  write_file(path, as_text(input));
  auto file = df::DataFile::open(path);
  FUZZ_CHECK(file.ok(), "open failed: " + file.error().message());

  auto active = file->iter_active();
  FUZZ_CHECK(active.ok(), "iter_active failed: " + active.error().message());
  auto scan = file->scan();
  FUZZ_CHECK(scan.ok(), "scan failed: " + scan.error().message());
  FUZZ_CHECK(same_records(*active, scan->records), "iter_active and scan disagree");
  check_scan(*file, *scan);
  check_streamed_scan(*file, *scan);
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
