#include "core/storage/wal/wal_reader.h"

#include <fcntl.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <system_error>
#include <thread>

#include "core/error/os_error.h"
#include "core/storage/io/file.h"
#include "core/storage/io/little_endian.h"
#include "core/storage/io/record_search.h"
#include "core/storage/wal/compact_entry_parser.h"
#include "core/storage/wal/wal_record.h"

namespace tarnvault_core::storage::wal {
namespace {

// Read a few mebibytes at a time: a large log's records are checked a
// buffer at a time, on two threads, and each handover costs a little.
constexpr std::size_t kLogChunkSize = std::size_t{4} << 20;

Error io_failure(const char* prefix, const Error& cause) {
  return Error::io_error(prefix + cause.text());
}

Error checksum_mismatch(std::uint32_t stored, std::uint32_t computed) {
  return Error::wal_corrupted("checksum mismatch: expected " + std::to_string(stored) + ", got " +
                              std::to_string(computed));
}

// One record, or the reason there is none: a tail (an outcome, with the
// error read_all reports for it) or a read error of the operating system.
struct RecordRead {
  bool good = false;  // a whole record whose checksum matches
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

// WalEntry::from_bytes into entry, whose vector keeps its storage from one
// record to the next.
std::optional<Error> parse_body(std::string_view body, WalEntry& entry) {
  if (parse_compact_entry(body, entry)) return std::nullopt;
  auto general = WalEntry::from_bytes_general(body);
  if (!general.ok()) return std::move(general).error();
  entry = std::move(general).value();
  return std::nullopt;
}

// Frames the record at the reader's cursor: a whole one (good) is left in
// place, its checksum in stored and its body at body, and the cursor moved
// past it; the body stays readable until the reader is next asked for
// bytes it does not hold. Its checksum is not checked.
RecordRead frame_record(io::SequentialFile& reader, std::uint32_t& stored,
                        std::string_view& body) {
  if (Status s = reader.ensure(kChecksumSize); !s.ok()) {
    if (s.error().is_end_of_file()) return {false, WalTail::StrayBytes, std::nullopt};
    return {false, WalTail::None, io_failure("read checksum failed: ", s.error())};
  }
  if (Status s = reader.ensure(kRecordHeaderSize); !s.ok()) {
    if (s.error().is_end_of_file()) return {false, WalTail::TornLength, std::nullopt};
    return {false, WalTail::None, io_failure("read length failed: ", s.error())};
  }
  stored = io::load_le<std::uint32_t>(reader.data());
  const auto length = io::load_le<std::uint32_t>(reader.data() + kChecksumSize);
  // Checked before buffering: a corrupt length must not cost gigabytes.
  if (length > reader.remaining() - kRecordHeaderSize) {
    return {false, WalTail::TornData, std::nullopt};
  }
  if (Status s = reader.ensure(kRecordHeaderSize + length); !s.ok()) {
    if (s.error().is_end_of_file()) return {false, WalTail::TornData, std::nullopt};
    return {false, WalTail::None, io_failure("read data failed: ", s.error())};
  }
  body = std::string_view(reader.data() + kRecordHeaderSize, length);
  reader.advance(kRecordHeaderSize + length);
  return {true, WalTail::None, std::nullopt};
}

// frame_record, and its checksum checked: a mismatch is Damaged.
RecordRead read_record(io::SequentialFile& reader, std::string_view& body) {
  std::uint32_t stored = 0;
  RecordRead record = frame_record(reader, stored, body);
  if (!record.good) return record;
  if (const std::uint32_t computed = body_checksum(body); computed != stored) {
    return {false, WalTail::Damaged, checksum_mismatch(stored, computed)};
  }
  return record;
}

// Whether the record at the cursor lies wholly in the reader's buffer, so
// that framing it reads nothing and moves no buffered byte.
bool wholly_buffered(const io::SequentialFile& reader) {
  if (reader.buffered() < kRecordHeaderSize) return false;
  const auto length = io::load_le<std::uint32_t>(reader.data() + kChecksumSize);
  return reader.buffered() - kRecordHeaderSize >= length;
}

// A record framed in the reader's buffer, not yet checked.
struct FramedRecord {
  std::uint32_t stored;   // the checksum it carries
  std::string_view body;  // in the reader's buffer
  std::uint64_t end;      // file offset just past it
};

// Components of parsed entries, copied into blocks that never move. Blocks
// grow from a few KiB to a MiB, so that a log of two records costs little
// and a large one a block per thousands of records.
class ComponentArena {
 public:
  std::span<const float> copy(std::span<const float> components) {
    if (components.size() > room_) {
      block_size_ = std::min(std::max(2 * block_size_, kSmallestBlock), kLargestBlock);
      const std::size_t size = std::max(components.size(), block_size_);
      blocks_.push_back(std::make_unique_for_overwrite<float[]>(size));
      next_ = blocks_.back().get();
      room_ = size;
    }
    float* const at = next_;
    std::copy(components.begin(), components.end(), at);
    next_ += components.size();
    room_ -= components.size();
    return {at, components.size()};
  }

  void hand_over(std::vector<std::unique_ptr<float[]>>& to) {
    for (auto& block : blocks_) to.push_back(std::move(block));
    blocks_.clear();
    next_ = nullptr;
    room_ = 0;
  }

 private:
  static constexpr std::size_t kSmallestBlock = std::size_t{1} << 10;
  static constexpr std::size_t kLargestBlock = std::size_t{1} << 18;

  std::vector<std::unique_ptr<float[]>> blocks_;
  float* next_ = nullptr;
  std::size_t room_ = 0;
  std::size_t block_size_ = 0;
};

// What a checking thread reuses from one record to the next: the entry it
// parses into, whose vector keeps its storage, and its own arena, which no
// other thread touches.
struct Checker {
  WalEntry parsed;
  ComponentArena components;

  // Why the record is bad, if it is; its entry into entry, when one is
  // given, if it is not.
  std::optional<Error> check(const FramedRecord& record, KeptEntry* entry) {
    if (const std::uint32_t computed = body_checksum(record.body); computed != record.stored) {
      return checksum_mismatch(record.stored, computed);
    }
    if (entry == nullptr) return check_body(record.body);
    if (std::optional<Error> refused = parse_body(record.body, parsed)) return refused;
    entry->kind = parsed.kind;
    entry->id = parsed.id;
    entry->vector = components.copy(parsed.vector);
    entry->payload = std::move(parsed.payload);
    return std::nullopt;
  }
};

// Framed bytes from which a second thread helps to check them: below this,
// starting it costs more than it saves.
constexpr std::uint64_t kParallelBytes = std::uint64_t{1} << 20;

// Records a thread takes at a time.
constexpr std::size_t kRecordsPerTake = 16;

// Checks every framed record, each refusal into refused and, when entries
// is not empty, each entry into entries (both as long as framed). For a
// large run a helper thread takes records beside the calling thread, a few
// at a time, so that neither waits long for the other when the machine is
// busy. The helper touches only these
// records in memory, never a file: every file operation stays on the
// calling thread, in the order of a sequential read.
void check_records(std::span<const FramedRecord> framed, std::span<std::optional<Error>> refused,
                   std::span<KeptEntry> entries, std::array<Checker, 2>& checkers) {
  auto check_range = [&](Checker& checker, std::size_t from, std::size_t to) {
    for (std::size_t i = from; i < to; ++i) {
      refused[i] = checker.check(framed[i], entries.empty() ? nullptr : &entries[i]);
    }
  };
  const std::uint64_t first_start =
      framed.front().end - framed.front().body.size() - kRecordHeaderSize;
  if (framed.back().end - first_start < kParallelBytes) {
    check_range(checkers[0], 0, framed.size());
    return;
  }
  std::atomic<std::size_t> next{0};
  auto take_and_check = [&](Checker& checker) {
    for (;;) {
      const std::size_t from = next.fetch_add(kRecordsPerTake, std::memory_order_relaxed);
      if (from >= framed.size()) return;
      check_range(checker, from, std::min(from + kRecordsPerTake, framed.size()));
    }
  };
  std::thread helper;
  try {
    helper = std::thread(take_and_check, std::ref(checkers[1]));
  } catch (const std::system_error&) {
    // No thread to be had: the calling thread checks them all.
  }
  take_and_check(checkers[0]);
  if (helper.joinable()) helper.join();
}

// The error read_all reports for a record cut short; none for no tail, for
// the 1 to 3 stray bytes it tolerates, and for Damaged (the read's own).
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

// Whether a well-formed record (length, checksum and body all correct)
// starts anywhere after offset from.
Result<bool> record_follows(io::RandomAccessFile& file, std::uint64_t from, std::uint64_t size) {
  io::RecordProbe probe;
  // The checksum, the length and the body's first byte: every body is a
  // JSON object, "{}" at the shortest.
  probe.header_size = kRecordHeaderSize + 1;
  probe.plausible = [size](const char* header, std::uint64_t offset) {
    const auto length = io::load_le<std::uint32_t>(header + kChecksumSize);
    return length >= 2 && length <= size - offset - kRecordHeaderSize &&
           header[kRecordHeaderSize] == '{';
  };
  probe.confirm = [&file](std::uint64_t offset, std::uint64_t& cost) -> Result<bool> {
    std::array<char, kRecordHeaderSize> header{};
    auto got = file.pread_up_to(header, offset);
    if (!got.ok()) return std::move(got).error();
    const auto stored = io::load_le<std::uint32_t>(header.data());
    const auto length = io::load_le<std::uint32_t>(header.data() + kChecksumSize);
    std::string body(length, '\0');
    cost = length;
    got = file.pread_up_to(body, offset + kRecordHeaderSize);
    if (!got.ok()) return std::move(got).error();
    return *got == length && body_checksum(body) == stored && WalEntry::from_bytes(body).ok();
  };
  return io::record_follows(file, from, size, probe);
}

// Room in entries for at least `wanted`, and for as many as the file seems
// to hold at the rate of the first `read` bytes, as far as the budget goes:
// grown a little at a time, the entries would all be moved again and again.
void make_room(std::vector<KeptEntry>& entries, std::size_t wanted, std::uint64_t read,
               std::uint64_t file_size, std::uint64_t budget) {
  if (entries.capacity() >= wanted) return;
  const std::uint64_t bytes_per_entry = std::max<std::uint64_t>(read / wanted, 1);
  const std::uint64_t expected =
      std::min(file_size / bytes_per_entry, budget / sizeof(KeptEntry) + 1);
  entries.reserve(std::max<std::uint64_t>(wanted, expected));
}

// What keeping an entry costs in memory, roughly: the entry, its
// components and, for a payload with keys, about as much as its text took.
std::uint64_t entry_footprint(const KeptEntry& entry, std::string_view body) {
  std::uint64_t bytes = sizeof(KeptEntry) + entry.vector.size() * sizeof(float);
  if (!entry.payload.data.empty()) bytes += body.size();
  return bytes;
}

}  // namespace

std::vector<WalEntry> WalReadResult::owned_entries() const {
  std::vector<WalEntry> owned;
  owned.reserve(entries.size());
  for (const KeptEntry& kept : entries) {
    owned.push_back({kept.kind, kept.id, {kept.vector.begin(), kept.vector.end()}, kept.payload});
  }
  return owned;
}

Result<WalReader> WalReader::open(const std::filesystem::path& path, io::FileSystem& fs) {
  if (!fs.stat(path).ok()) return WalReader(nullptr, 0);
  auto file = io::open_file(fs, path, O_RDONLY);
  if (!file.ok()) return io_failure("failed to open WAL for read: ", file.error());
  auto size = (*file)->size();
  if (!size.ok()) return io_failure("metadata failed: ", size.error());
  return WalReader(std::move(file).value(), *size);
}

Result<WalReadResult> WalReader::read(std::uint64_t keep_budget) {
  WalReadResult result;
  if (!file_) return result;
  result.file_length = size_;

  io::SequentialFile reader(*file_, 0, size_, kLogChunkSize);
  std::uint64_t kept_bytes = 0;
  bool keeping = keep_budget > 0;
  // The records framed in the buffer so far, checked a buffer at a time.
  std::vector<FramedRecord> framed;
  std::vector<std::optional<Error>> refused;
  std::array<Checker, 2> checkers;
  bool bad = false;
  // Checks what is framed, then takes the records in file order up to the
  // first bad one: the verdict of checking them one after the other.
  auto settle = [&] {
    if (framed.empty()) return;
    // Parsed entries go straight to their place in the result; those that
    // the verdict does not keep are dropped again.
    const std::size_t base = result.entries.size();
    if (keeping) {
      make_room(result.entries, base + framed.size(), framed.back().end, size_, keep_budget);
      result.entries.resize(base + framed.size());
    }
    refused.assign(framed.size(), std::nullopt);
    check_records(framed, refused, std::span(result.entries).subspan(base), checkers);
    std::size_t kept = 0;
    for (std::size_t i = 0; i < framed.size(); ++i) {
      if (refused[i]) {
        result.tail = WalTail::Damaged;
        result.tail_error = std::move(refused[i]);
        bad = true;
        break;
      }
      if (keeping) {
        // Only a leading run of records is kept, so that the rest can be
        // read again from where it ends.
        kept_bytes += entry_footprint(result.entries[base + i], framed[i].body);
        keeping = kept_bytes <= keep_budget;
        if (keeping) {
          kept = i + 1;
          result.kept_length = framed[i].end;
        }
      }
      result.valid_length = framed[i].end;
    }
    result.entries.resize(base + kept);
    framed.clear();
  };
  while (reader.remaining() > 0) {
    // Reading on would move the buffered bytes that the framed bodies lie
    // in, and a bad record among them ends the read before it.
    if (!wholly_buffered(reader)) {
      settle();
      if (bad) break;
    }
    std::uint32_t stored = 0;
    std::string_view body;
    RecordRead record = frame_record(reader, stored, body);
    if (record.error) return std::move(*record.error);
    if (!record.good) {
      result.tail = record.tail;
      result.tail_error = torn_tail_error(record.tail);
      break;
    }
    framed.push_back({stored, body, reader.position()});
  }
  settle();
  for (Checker& checker : checkers) checker.components.hand_over(result.component_blocks);
  if (result.tail_error) {
    auto damaged = judge_bad_record(result.valid_length);
    if (!damaged.ok()) return std::move(damaged).error();
    result.damaged = *damaged;
  }
  return result;
}

// The log's strictness policy. A bad record that no good record follows is
// a torn tail: a crash cuts the last write short, and a power failure can
// keep a file's new length but not its new bytes, leaving zeros or garbage
// where the last records were to be. Such a record was never synced, so no
// promise covers it, and recovery cuts it off. A bad record that good ones
// follow is damage: those records were written after it, and cutting the
// file there would silently drop them. (Fewer than 4 stray bytes, too few
// for a checksum, have no error and never reach this: nothing fits after
// them.)
Result<bool> WalReader::judge_bad_record(std::uint64_t at) {
  auto follows = record_follows(*file_, at, size_);
  if (!follows.ok()) return io_failure("read data failed: ", follows.error());
  return *follows;
}

Status WalReader::for_each(std::uint64_t from, std::uint64_t limit,
                           const std::function<Status(WalEntry&)>& visit) {
  if (from >= limit) return {};
  // The file lost records it held moments ago.
  auto lost = [] { return Error::io_error(std::string("read data failed: ") + error::kUnexpectedEof); };
  if (!file_) return lost();
  io::SequentialFile reader(*file_, from, std::min(limit, size_),
                            io::SequentialFile::kScanChunkSize);
  WalEntry entry;  // reused: its vector keeps its storage
  while (reader.position() < limit) {
    std::string_view body;
    RecordRead record = read_record(reader, body);
    if (record.error) return std::move(*record.error);
    if (!record.good) return lost();
    if (std::optional<Error> refused = parse_body(body, entry)) return std::move(*refused);
    TV_RETURN_IF_ERROR(visit(entry));
  }
  return {};
}

}  // namespace tarnvault_core::storage::wal
