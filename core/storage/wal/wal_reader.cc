#include "core/storage/wal/wal_reader.h"

#include <fcntl.h>

#include <algorithm>
#include <array>
#include <string>

#include "core/error/os_error.h"
#include "core/storage/io/buffered_reader.h"
#include "core/storage/io/file.h"
#include "core/storage/io/little_endian.h"
#include "core/storage/io/record_search.h"
#include "core/storage/wal/compact_entry_parser.h"
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

// One record, or the reason there is none: a tail (an outcome, with the
// error read_all reports for it) or a read error of the operating system.
struct RecordRead {
  bool good = false;  // a whole record with a readable body
  std::optional<WalEntry> entry;  // the body's entry, when kept
  WalTail tail = WalTail::None;
  std::optional<Error> error;
};

// Whether a body reads as an entry; the reader's error when it does not.
// The same verdict as WalEntry::from_bytes, without building the entry for
// the writer's own compact shape.
std::optional<Error> check_body(std::string_view body) {
  if (is_compact_entry(body)) return std::nullopt;
  auto entry = WalEntry::from_bytes_general(body);
  if (!entry.ok()) return std::move(entry).error();
  return std::nullopt;
}

RecordRead read_record(io::BufferedReader& reader, bool keep_entry) {
  std::uint32_t stored = 0;
  if (io::IoStatus s = reader.read_u32(stored); !s.ok()) {
    if (s.is_end_of_file()) return {false, std::nullopt, WalTail::StrayBytes, std::nullopt};
    return {false, std::nullopt, WalTail::None, io_failure("read checksum failed: ", s)};
  }
  std::uint32_t length = 0;
  if (io::IoStatus s = reader.read_u32(length); !s.ok()) {
    if (s.is_end_of_file()) return {false, std::nullopt, WalTail::TornLength, std::nullopt};
    return {false, std::nullopt, WalTail::None, io_failure("read length failed: ", s)};
  }
  // Checked before allocating: a corrupt length must not cost gigabytes.
  if (length > reader.remaining()) return {false, std::nullopt, WalTail::TornData, std::nullopt};
  std::string body(length, '\0');
  if (io::IoStatus s = reader.read_exact(body); !s.ok()) {
    if (s.is_end_of_file()) return {false, std::nullopt, WalTail::TornData, std::nullopt};
    return {false, std::nullopt, WalTail::None, io_failure("read data failed: ", s)};
  }
  if (const std::uint32_t computed = body_checksum(body); computed != stored) {
    return {false, std::nullopt, WalTail::Damaged, checksum_mismatch(stored, computed)};
  }
  if (!keep_entry) {
    if (auto refused = check_body(body)) return {false, std::nullopt, WalTail::Damaged, refused};
    return {true, std::nullopt, WalTail::None, std::nullopt};
  }
  auto entry = WalEntry::from_bytes(body);
  if (!entry.ok()) return {false, std::nullopt, WalTail::Damaged, std::move(entry).error()};
  return {true, std::move(entry).value(), WalTail::None, std::nullopt};
}

}  // namespace

Result<WalReadResult> read_wal_file(const std::filesystem::path& path, io::FileSystem& fs,
                                    bool keep_entries) {
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
    RecordRead record = read_record(reader, keep_entries);
    if (record.tail == WalTail::Damaged) {
      result.tail = record.tail;
      result.tail_error = std::move(record.error);
      break;
    }
    if (record.error) return std::move(*record.error);
    if (!record.good) {
      result.tail = record.tail;
      result.tail_error = torn_tail_error(record.tail);
      break;
    }
    if (record.entry) result.entries.push_back(std::move(*record.entry));
    result.valid_length = reader.position();
  }
  return result;
}

Status for_each_wal_entry(const std::filesystem::path& path, std::uint64_t limit,
                          const std::function<Status(WalEntry&)>& visit, io::FileSystem& fs) {
  if (limit == 0) return {};
  auto file = io::File::open(fs, path, O_RDONLY);
  if (!file.ok()) return io_failure("failed to open WAL for read: ", file.status);
  auto size = file.value.size();
  if (!size.ok()) return io_failure("metadata failed: ", size.status);
  io::BufferedReader reader(file.value, 0, std::min(limit, size.value));
  while (reader.position() < limit) {
    RecordRead record = read_record(reader, true);
    if (record.error) return std::move(*record.error);
    if (!record.entry) {
      // The file lost records it held moments ago.
      return Error::io_error(std::string("read data failed: ") + error::kUnexpectedEof);
    }
    TV_RETURN_IF_ERROR(visit(*record.entry));
  }
  return {};
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
    case WalTail::Damaged:
      return std::nullopt;  // carried by the read itself
  }
  return std::nullopt;
}


namespace {

// Whether a well-formed record starts somewhere after the bad one at from.
io::IoResult<bool> record_follows(io::File& file, std::uint64_t from, std::uint64_t size) {
  io::RecordProbe probe;
  // The checksum, the length and the body's first byte: every body is a
  // JSON object, "{}" at the shortest.
  probe.header_size = kRecordHeaderSize + 1;
  probe.plausible = [size](const char* header, std::uint64_t offset) {
    const auto length = io::load_le<std::uint32_t>(header + kChecksumSize);
    return length >= 2 && length <= size - offset - kRecordHeaderSize &&
           header[kRecordHeaderSize] == '{';
  };
  probe.confirm = [&file](std::uint64_t offset, std::uint64_t& cost) -> io::IoResult<bool> {
    std::array<char, kRecordHeaderSize> header{};
    auto got = file.pread_up_to(header, offset);
    if (!got.ok()) return {false, got.status};
    const auto stored = io::load_le<std::uint32_t>(header.data());
    const auto length = io::load_le<std::uint32_t>(header.data() + kChecksumSize);
    std::string body(length, '\0');
    cost = length;
    got = file.pread_up_to(body, offset + kRecordHeaderSize);
    if (!got.ok()) return {false, got.status};
    return {got.value == length && body_checksum(body) == stored && WalEntry::from_bytes(body).ok(),
            io::IoStatus()};
  };
  return io::record_follows(file, from, size, probe);
}

}  // namespace

Result<bool> wal_record_follows(const std::filesystem::path& path, std::uint64_t from,
                                io::FileSystem& fs) {
  auto file = io::File::open(fs, path, O_RDONLY);
  if (!file.ok()) return io_failure("failed to open WAL for read: ", file.status);
  auto size = file.value.size();
  if (!size.ok()) return io_failure("metadata failed: ", size.status);
  auto follows = record_follows(file.value, from, size.value);
  if (!follows.ok()) return io_failure("read data failed: ", follows.status);
  return follows.value;
}

}  // namespace tarnvault_core::storage::wal
