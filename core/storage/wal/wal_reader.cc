#include "core/storage/wal/wal_reader.h"

#include <fcntl.h>

#include <string>

#include "core/error/os_error.h"
#include "core/storage/io/buffered_reader.h"
#include "core/storage/io/file.h"
#include "core/storage/wal/wal_record.h"

namespace tarnvault_core::storage::wal {
namespace {

Error io_failure(const char* prefix, io::IoStatus status) {
  return Error::io_error(prefix + status.text());
}

Error checksum_mismatch(std::uint32_t stored, std::uint32_t computed) {
  return Error::wal_corrupted("checksum mismatch: expected " + std::to_string(stored) + ", got " +
                              std::to_string(computed));
}

// One record, or the reason there is none: a torn tail (an outcome, not an
// error) or an error.
struct RecordRead {
  std::optional<WalEntry> entry;
  WalTail tail = WalTail::None;
  std::optional<Error> error;
};

RecordRead read_record(io::BufferedReader& reader) {
  std::uint32_t stored = 0;
  if (io::IoStatus s = reader.read_u32(stored); !s.ok()) {
    if (s.is_end_of_file()) return {std::nullopt, WalTail::StrayBytes, std::nullopt};
    return {std::nullopt, WalTail::None, io_failure("read checksum failed: ", s)};
  }
  std::uint32_t length = 0;
  if (io::IoStatus s = reader.read_u32(length); !s.ok()) {
    if (s.is_end_of_file()) return {std::nullopt, WalTail::TornLength, std::nullopt};
    return {std::nullopt, WalTail::None, io_failure("read length failed: ", s)};
  }
  // Checked before allocating: a corrupt length must not cost gigabytes.
  if (length > reader.remaining()) return {std::nullopt, WalTail::TornData, std::nullopt};
  std::string body(length, '\0');
  if (io::IoStatus s = reader.read_exact(body); !s.ok()) {
    if (s.is_end_of_file()) return {std::nullopt, WalTail::TornData, std::nullopt};
    return {std::nullopt, WalTail::None, io_failure("read data failed: ", s)};
  }
  if (const std::uint32_t computed = body_checksum(body); computed != stored) {
    return {std::nullopt, WalTail::None, checksum_mismatch(stored, computed)};
  }
  auto entry = WalEntry::from_bytes(body);
  if (!entry.ok()) return {std::nullopt, WalTail::None, std::move(entry).error()};
  return {std::move(entry).value(), WalTail::None, std::nullopt};
}

}  // namespace

Result<WalReadResult> read_wal_file(const std::filesystem::path& path, io::FileSystem& fs) {
  WalReadResult result;
  // A log that was never created is an empty log.
  if (!fs.stat(path).ok()) return result;
  auto file = io::File::open(fs, path, O_RDONLY);
  if (!file.ok()) return io_failure("failed to open WAL for read: ", file.status);
  auto size = file.value.size();
  if (!size.ok()) return io_failure("metadata failed: ", size.status);
  result.file_length = size.value;

  io::BufferedReader reader(file.value, 0, size.value);
  while (reader.remaining() > 0) {
    RecordRead record = read_record(reader);
    if (record.error) return std::move(*record.error);
    if (!record.entry) {
      result.tail = record.tail;
      break;
    }
    result.entries.push_back(std::move(*record.entry));
    result.valid_length = reader.position();
  }
  return result;
}

std::optional<Error> torn_tail_error(WalTail tail) {
  switch (tail) {
    case WalTail::None:
    case WalTail::StrayBytes:
      return std::nullopt;
    case WalTail::TornLength:
      return Error::io_error(std::string("read length failed: ") + error::kUnexpectedEof);
    case WalTail::TornData:
      return Error::io_error(std::string("read data failed: ") + error::kUnexpectedEof);
  }
  return std::nullopt;
}

}  // namespace tarnvault_core::storage::wal
