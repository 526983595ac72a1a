#include "core/storage/wal/wal.h"

#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/storage/io/testing/fault_injecting_file_system.h"
#include "core/storage/io/little_endian.h"
#include "core/storage/io/testing/test_support.h"
#include "core/storage/testing/tail_aware_reads.h"
#include "core/storage/wal/wal_reader.h"

namespace tarnvault_core::storage::wal {
namespace {

using io::FaultInjectingFileSystem;
using io::FsOp;
using io::testing::read_bytes;
using io::testing::TempDir;
using io::testing::write_bytes;
using storage::testing::read_log_with_tail;

const std::string kCheckpointBody = R"({"kind":"Checkpoint","id":0,"vector":[],"payload":{"data":{}}})";
const std::string kInsert7Body =
    R"({"kind":"Insert","id":7,"vector":[0.5,1.0,-2.25],"payload":{"data":{}}})";

std::string le32(std::uint32_t v) {
  std::string out;
  io::append_le(out, v);
  return out;
}

std::uint32_t crc_of(const std::string& body) {
  return static_cast<std::uint32_t>(
      crc32(0, reinterpret_cast<const Bytef*>(body.data()), static_cast<uInt>(body.size())));
}

std::string frame(const std::string& body) {
  return le32(crc_of(body)) + le32(static_cast<std::uint32_t>(body.size())) + body;
}

WalEntry insert_entry(std::uint64_t id, std::vector<float> vector = {1.0f, 2.0f}) {
  WalEntry entry;
  entry.kind = WalEntryKind::Insert;
  entry.id = id;
  entry.vector = std::move(vector);
  return entry;
}

Wal open_wal(const std::filesystem::path& path, SyncMode mode,
             io::FileSystem& fs = io::default_file_system()) {
  auto wal = Wal::open(path, mode, fs);
  EXPECT_TRUE(wal.ok()) << wal.error().message();
  return std::move(wal).value();
}

std::vector<std::uint64_t> ids_in(const std::filesystem::path& path) {
  auto entries = Wal::read_all(path);
  EXPECT_TRUE(entries.ok()) << entries.error().message();
  std::vector<std::uint64_t> ids;
  if (entries.ok()) {
    for (const auto& e : *entries) ids.push_back(e.id);
  }
  return ids;
}

TEST(WalFormatTest, InsertRecordIsByteExact) {
  // Golden values: a wrong byte order or checksum coverage shows here.
  EXPECT_EQ(kInsert7Body.size(), 71u);
  EXPECT_EQ(crc_of(kInsert7Body), 2769985937u);
  TempDir dir;
  const auto path = dir.file("wal.log");
  Wal wal = open_wal(path, SyncMode::Never);
  ASSERT_TRUE(wal.append(insert_entry(7, {0.5f, 1.0f, -2.25f})).ok());
  ASSERT_TRUE(wal.sync().ok());
  EXPECT_EQ(read_bytes(path), std::string("\x91\xa1\x1a\xa5\x47\x00\x00\x00", 8) + kInsert7Body);
}

TEST(WalFormatTest, ReopenAppendsAfterWhatEarlierHandlesWroteOut) {
  TempDir dir;
  const auto path = dir.file("wal.log");
  WalEntry update = insert_entry(std::numeric_limits<std::uint64_t>::max(), {-0.0f, 3.5e-20f});
  update.kind = WalEntryKind::Update;
  update.payload.data["k"] = JsonValue::string("v");
  WalEntry del;
  del.kind = WalEntryKind::Delete;
  del.id = 9;
  {
    Wal wal = open_wal(path, SyncMode::Never);
    ASSERT_TRUE(wal.append(insert_entry(1)).ok());
    ASSERT_TRUE(wal.append(update).ok());
  }  // destruction writes the buffer out
  {
    Wal wal = open_wal(path, SyncMode::Always);
    ASSERT_TRUE(wal.append(del).ok());
  }
  auto entries = Wal::read_all(path);
  ASSERT_TRUE(entries.ok());
  EXPECT_EQ(*entries, (std::vector<WalEntry>{insert_entry(1), update, del}));
}

TEST(WalSyncTest, BatchedSyncsOnTheHundredthAppend) {
  TempDir dir;
  const auto path = dir.file("wal.log");
  Wal wal = open_wal(path, SyncMode::Batched);
  for (std::uint64_t id = 1; id <= 99; ++id) ASSERT_TRUE(wal.append(insert_entry(id)).ok());
  EXPECT_EQ(wal.appends_since_sync(), 99u);
  EXPECT_TRUE(ids_in(path).empty());
  ASSERT_TRUE(wal.append(insert_entry(100)).ok());
  EXPECT_EQ(wal.appends_since_sync(), 0u);
  EXPECT_EQ(ids_in(path).size(), 100u);
}

// Records of 128 floats, 1.6 KiB each: the 100 between two syncs wait in
// the buffer and reach the file in one write, at the sync.
TEST(WalSyncTest, BatchedWritesTheRecordsBetweenSyncsAtOnce) {
  TempDir dir;
  const auto path = dir.file("wal.log");
  FaultInjectingFileSystem fs;
  Wal wal = open_wal(path, SyncMode::Batched, fs);
  const std::vector<float> vector(128, -0.123456789f);
  const std::size_t writes_before = fs.calls(FsOp::Pwrite);
  for (std::uint64_t id = 1; id <= 250; ++id) {
    ASSERT_TRUE(wal.append(insert_entry(id, vector)).ok());
    if (id == 99) {
      EXPECT_EQ(std::filesystem::file_size(path), 0u);
    }
  }
  EXPECT_EQ(fs.calls(FsOp::Pwrite) - writes_before, 2u);
  EXPECT_EQ(fs.calls(FsOp::Fsync), 2u);
  EXPECT_EQ(ids_in(path).size(), 200u);
  ASSERT_TRUE(wal.sync().ok());
  EXPECT_EQ(ids_in(path).size(), 250u);
}

// An Insert of id 7 whose whole record takes record_size bytes (>= 85),
// padded by a payload string.
WalEntry insert_of_record_size(std::size_t record_size) {
  WalEntry entry = insert_entry(7, {0.5f, 1.0f, -2.25f});
  entry.payload.data["p"] = JsonValue::string(std::string(record_size - 85, 'x'));
  return entry;
}

TEST(WalSyncTest, AlwaysNeverAndLargeRecords) {
  TempDir dir;
  Wal always = open_wal(dir.file("a.log"), SyncMode::Always);
  ASSERT_TRUE(always.append(insert_entry(1)).ok());
  EXPECT_EQ(ids_in(dir.file("a.log")).size(), 1u);
  EXPECT_EQ(always.appends_since_sync(), 0u);

  Wal never = open_wal(dir.file("n.log"), SyncMode::Never);
  // Enough 2 KiB records to overflow the buffer: the overflow wrote some
  // out, unsynced.
  const std::size_t count = Wal::kBufferBytes / 2048 + 10;
  for (std::size_t i = 0; i < count; ++i) {
    ASSERT_TRUE(never.append(insert_of_record_size(2048)).ok());
  }
  EXPECT_EQ(never.appends_since_sync(), count);
  EXPECT_FALSE(ids_in(dir.file("n.log")).empty());
  ASSERT_TRUE(never.sync().ok());
  EXPECT_EQ(ids_in(dir.file("n.log")).size(), count);
  // A record longer than the buffer goes straight to the file.
  ASSERT_TRUE(never.append(insert_of_record_size(Wal::kBufferBytes + 1)).ok());
  EXPECT_EQ(ids_in(dir.file("n.log")).size(), count + 1);
}

TEST(WalCheckpointTest, EmptiesTheFileAndLaterRecordsStartAtZero) {
  TempDir dir;
  const auto path = dir.file("wal.log");
  Wal wal = open_wal(path, SyncMode::Batched);
  for (std::uint64_t id = 1; id <= 5; ++id) ASSERT_TRUE(wal.append(insert_entry(id)).ok());
  ASSERT_TRUE(wal.checkpoint().ok());
  EXPECT_EQ(std::filesystem::file_size(path), 0u);
  EXPECT_EQ(wal.appends_since_sync(), 0u);
  ASSERT_TRUE(wal.checkpoint().ok());
  EXPECT_EQ(std::filesystem::file_size(path), 0u);

  ASSERT_TRUE(wal.append(insert_entry(7, {0.5f, 1.0f, -2.25f})).ok());
  ASSERT_TRUE(wal.sync().ok());
  EXPECT_EQ(read_bytes(path), frame(kInsert7Body));
}

// Complete records followed by a damaged tail.
struct TailCase {
  const char* name;
  std::string tail;
  WalTail expected_tail;
  const char* read_all_error;  // nullptr: read_all succeeds
};

TEST(WalTornTailTest, ReadAllToleratesOnlyStrayBytes) {
  const std::string body = kInsert7Body;
  const TailCase cases[] = {
      {"clean end", "", WalTail::None, nullptr},
      {"1 stray byte", "\x01", WalTail::StrayBytes, nullptr},
      {"3 stray bytes", "abc", WalTail::StrayBytes, nullptr},
      {"torn length", "abcd\x05", WalTail::TornLength,
       "io error: read length failed: failed to fill whole buffer"},
      {"torn body", frame(body).substr(0, 20), WalTail::TornData,
       "io error: read data failed: failed to fill whole buffer"},
      {"header only", frame(body).substr(0, 8), WalTail::TornData,
       "io error: read data failed: failed to fill whole buffer"},
      {"huge length", le32(1) + le32(0xFFFFFFFFu) + "xyz", WalTail::TornData,
       "io error: read data failed: failed to fill whole buffer"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const auto path = dir.file("wal.log");
    const std::string good = frame(body) + frame(kCheckpointBody);
    write_bytes(path, good + c.tail);

    auto with_tail = read_log_with_tail(path);
    ASSERT_TRUE(with_tail.ok()) << with_tail.error().message();
    EXPECT_EQ(with_tail->entries.size(), 2u);
    EXPECT_EQ(with_tail->valid_length, good.size());
    EXPECT_EQ(with_tail->file_length, good.size() + c.tail.size());
    EXPECT_EQ(with_tail->tail, c.expected_tail);

    auto all = Wal::read_all(path);
    if (c.read_all_error == nullptr) {
      ASSERT_TRUE(all.ok());
      EXPECT_EQ(all->size(), 2u);
    } else {
      ASSERT_FALSE(all.ok());
      EXPECT_EQ(all.error().message(), c.read_all_error);
    }
  }
}

TEST(WalTornTailTest, RecoveryCanCutTheTornTailAndAppend) {
  TempDir dir;
  const auto path = dir.file("wal.log");
  write_bytes(path, frame(kInsert7Body) + frame(kCheckpointBody).substr(0, 30));
  auto read = read_log_with_tail(path);
  ASSERT_TRUE(read.ok());
  Wal wal = open_wal(path, SyncMode::Always);
  ASSERT_TRUE(wal.truncate_to(read->valid_length).ok());
  ASSERT_TRUE(wal.append(insert_entry(8)).ok());
  EXPECT_EQ(ids_in(path), (std::vector<std::uint64_t>{7, 8}));
}

TEST(WalCorruptionTest, DamageInsideARecordFailsTheWholeRead) {
  TempDir dir;
  const auto path = dir.file("wal.log");
  std::string bytes = frame(kInsert7Body) + frame(kCheckpointBody);
  std::string damaged_body = kCheckpointBody;
  damaged_body[10] ^= 0x20;
  bytes[frame(kInsert7Body).size() + 8 + 10] ^= 0x20;
  write_bytes(path, bytes);
  auto all = Wal::read_all(path);
  ASSERT_FALSE(all.ok());
  EXPECT_EQ(all.error().message(), "WAL corrupted: checksum mismatch: expected " +
                                       std::to_string(crc_of(kCheckpointBody)) + ", got " +
                                       std::to_string(crc_of(damaged_body)));
}

// For recovery, a bad record is a torn tail when no good record follows it
// (a power failure keeps a file's new length but not always its new bytes),
// and damage when one does: cutting there would drop the good ones.
TEST(WalCorruptionTest, ABadRecordIsATornTailOnlyWhenNoGoodRecordFollows) {
  const std::string good = frame(kInsert7Body);
  std::string flipped = frame(kCheckpointBody);
  flipped[20] ^= 0x20;
  const std::string huge_length = le32(1) + le32(0x00FFFFFFu);
  struct Case {
    const char* name;
    std::string after_good;     // bytes after one good record
    const char* recovery_error;  // nullptr: a torn tail at the good record's end
  };
  const Case cases[] = {
      {"8 zero bytes", std::string(8, '\0'), nullptr},
      {"a zeroed page", std::string(4096, '\0'), nullptr},
      {"a record's first half, then zeros", flipped.substr(0, 40) + std::string(60, '\0'),
       nullptr},
      {"a flipped last record", flipped, nullptr},
      {"a length past the end", huge_length + "xyz", nullptr},
      {"zeros, then a good record", std::string(16, '\0') + good,
       "WAL corrupted: deserialization failed: "},
      {"a flipped record, then a good one", flipped + good,
       "WAL corrupted: checksum mismatch: expected "},
      {"a length past the end, then a good record", huge_length + good,
       "io error: read data failed: failed to fill whole buffer"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const auto path = dir.file("wal.log");
    write_bytes(path, good + c.after_good);
    EXPECT_FALSE(Wal::read_all(path).ok());
    auto with_tail = read_log_with_tail(path);
    if (c.recovery_error == nullptr) {
      ASSERT_TRUE(with_tail.ok()) << with_tail.error().message();
      EXPECT_EQ(with_tail->entries.size(), 1u);
      EXPECT_EQ(with_tail->valid_length, good.size());
      EXPECT_TRUE(with_tail->has_torn_tail());
    } else {
      ASSERT_FALSE(with_tail.ok());
      EXPECT_EQ(with_tail.error().message().rfind(c.recovery_error, 0), 0u)
          << with_tail.error().message();
    }
  }
}

// Kept entries share large blocks of components: each must read back whole
// whatever block it fell into, on either checking thread, including a
// vector longer than a block and the empty ones between.
TEST(WalReadTest, KeptEntriesKeepTheirOwnComponents) {
  TempDir dir;
  const auto path = dir.file("wal.log");
  std::vector<WalEntry> written;
  // Lengths around the block sizes, then enough 128-component records that
  // the check runs on two threads.
  std::vector<std::size_t> lengths = {0, 3, 1021, 1024, 1, 0, 2049, 300000, 5};
  lengths.resize(lengths.size() + 3000, 128);
  float next = 0.5f;
  for (std::size_t i = 0; i < lengths.size(); ++i) {
    std::vector<float> vector(lengths[i]);
    for (float& component : vector) component = next += 0.25f;
    written.push_back(insert_entry(i, std::move(vector)));
  }
  {
    Wal wal = open_wal(path, SyncMode::Never);
    for (const WalEntry& entry : written) ASSERT_TRUE(wal.append(entry).ok());
    ASSERT_TRUE(wal.sync().ok());
  }
  auto reader = WalReader::open(path, io::default_file_system());
  ASSERT_TRUE(reader.ok());
  auto read = reader->read(~std::uint64_t{0});
  ASSERT_TRUE(read.ok()) << read.error().message();
  EXPECT_EQ(read->kept_length, std::filesystem::file_size(path));
  EXPECT_TRUE(read->owned_entries() == written);
}

// Recovery keeps the entries its check parsed while they fit a budget and
// reads the rest again from where the kept ones end: for every budget the
// two parts together are read_all's entries, the kept part a leading run.
TEST(WalReadTest, ABudgetedCheckAndTheReReadOfTheRestGiveEveryEntry) {
  TempDir dir;
  const auto path = dir.file("wal.log");
  std::vector<WalEntry> written;
  for (std::uint64_t id = 0; id < 12; ++id) {
    WalEntry entry = insert_entry(id, std::vector<float>(id % 5, 0.25f * static_cast<float>(id)));
    if (id == 3) entry.kind = WalEntryKind::Delete;
    if (id == 7) entry.payload.data["tag"] = JsonValue::string("seven");  // the general reader's
    written.push_back(entry);
  }
  {
    Wal wal = open_wal(path, SyncMode::Never);
    for (const WalEntry& entry : written) ASSERT_TRUE(wal.append(entry).ok());
    ASSERT_TRUE(wal.sync().ok());
  }
  std::size_t previous_kept = 0;
  for (std::uint64_t budget : {0ull, 1ull, 150ull, 400ull, 1000ull, 4000ull, ~0ull}) {
    SCOPED_TRACE(budget);
    auto reader = WalReader::open(path, io::default_file_system());
    ASSERT_TRUE(reader.ok()) << reader.error().message();
    auto checked = reader->read(budget);
    ASSERT_TRUE(checked.ok()) << checked.error().message();
    EXPECT_EQ(checked->valid_length, std::filesystem::file_size(path));
    EXPECT_GE(checked->entries.size(), previous_kept);
    previous_kept = checked->entries.size();
    if (budget == 0) {
      EXPECT_EQ(checked->kept_length, 0u);
    }
    if (budget == ~0ull) {
      EXPECT_EQ(checked->kept_length, checked->valid_length);
    }

    std::vector<WalEntry> all = checked->owned_entries();
    ASSERT_TRUE(reader
                    ->for_each(checked->kept_length, checked->valid_length,
                               [&](WalEntry& entry) {
                                 all.push_back(entry);
                                 return Status{};
                               })
                    .ok());
    EXPECT_EQ(all, written);
  }
  EXPECT_EQ(previous_kept, written.size());
}

// A log of more than a mebibyte is checked on two threads, half each. The
// read must still end at the first bad record in file order, with its error
// and verdict, wherever the bad records lie and whether or not the entries
// are kept.
TEST(WalReadTest, ALargeLogEndsAtItsFirstBadRecord) {
  TempDir dir;
  const auto path = dir.file("wal.log");
  constexpr std::size_t kCount = 4000;
  std::vector<WalEntry> written;
  {
    Wal wal = open_wal(path, SyncMode::Never);
    for (std::uint64_t id = 0; id < kCount; ++id) {
      std::vector<float> vector(64);
      for (std::size_t j = 0; j < vector.size(); ++j) vector[j] = 0.125f * float(id + j);
      written.push_back(insert_entry(id, std::move(vector)));
      ASSERT_TRUE(wal.append(written.back()).ok());
    }
  }
  const std::string log = read_bytes(path);
  ASSERT_GT(log.size(), std::size_t{3} << 19);
  std::vector<std::size_t> starts;
  for (std::size_t at = 0; at < log.size(); at += 8 + io::load_le<std::uint32_t>(&log[at + 4])) {
    starts.push_back(at);
  }
  starts.push_back(log.size());
  auto body_of = [&](const std::string& bytes, std::size_t k) {
    return bytes.substr(starts[k] + 8, starts[k + 1] - starts[k] - 8);
  };

  struct Case {
    const char* name;
    std::vector<std::size_t> bad;  // ascending
    bool unparsable;               // else a flipped byte
    bool torn_end = false;         // and the last record cut short
  };
  const std::size_t half = kCount / 2;
  const Case cases[] = {
      {"nothing", {}, false},
      {"the first", {0}, false},
      {"the second", {1}, false},
      {"before the middle", {half - 1}, false},
      {"at the middle", {half}, false},
      {"after the middle", {half + 1}, false},
      {"the last", {kCount - 1}, false},
      {"one in each half", {10, half + 10}, false},
      {"two in the second half", {half + 10, kCount - 2}, false},
      {"an unparsable one in the second half", {half + 3}, true},
      {"an unparsable last one", {kCount - 1}, true},
      {"one in the first half, a torn end", {7}, false, true},
      {"only a torn end", {}, false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string bytes = log;
    for (std::size_t k : c.bad) {
      std::string body = body_of(bytes, k);
      if (c.unparsable) {
        body[2] = 'K';  // "Kind"
        bytes.replace(starts[k], 4, le32(crc_of(body)));
      } else {
        body[30] ^= 0x01;
      }
      bytes.replace(starts[k] + 8, body.size(), body);
    }
    if (c.torn_end) bytes.resize(starts[kCount - 1] + 20);
    write_bytes(path, bytes);

    std::size_t first = c.torn_end ? kCount - 1 : kCount;
    std::optional<std::string> error;
    if (!c.bad.empty()) {
      first = c.bad.front();
      const std::string body = body_of(bytes, first);
      error = c.unparsable ? WalEntry::from_bytes(body).error().message()
                           : "WAL corrupted: checksum mismatch: expected " +
                                 std::to_string(crc_of(body_of(log, first))) + ", got " +
                                 std::to_string(crc_of(body));
    } else if (c.torn_end) {
      error = "io error: read data failed: failed to fill whole buffer";
    }
    for (std::uint64_t budget : {std::uint64_t{0}, ~std::uint64_t{0}}) {
      auto reader = WalReader::open(path, io::default_file_system());
      ASSERT_TRUE(reader.ok());
      auto read = reader->read(budget);
      ASSERT_TRUE(read.ok()) << read.error().message();
      EXPECT_EQ(read->valid_length, starts[first]);
      ASSERT_EQ(read->tail_error.has_value(), error.has_value());
      if (error) {
        EXPECT_EQ(read->tail_error->message(), *error);
      }
      // Good records follow a bad one anywhere but at the end.
      EXPECT_EQ(read->damaged, !c.bad.empty() && first + 1 < kCount);
      if (budget == 0) continue;
      EXPECT_EQ(read->kept_length, starts[first]);
      const std::vector<WalEntry> kept = read->owned_entries();
      ASSERT_EQ(kept.size(), first);
      for (std::size_t k = 0; k < first; k += 97) EXPECT_EQ(kept[k], written[k]);
      if (first > 0) {
        EXPECT_EQ(kept.back(), written[first - 1]);
      }
    }
  }
}

TEST(WalReadTest, MissingOrEmptyFileIsAnEmptyLog) {
  TempDir dir;
  auto missing = Wal::read_all(dir.file("none.log"));
  ASSERT_TRUE(missing.ok());
  EXPECT_TRUE(missing->empty());
  write_bytes(dir.file("empty.log"), "");
  auto empty = read_log_with_tail(dir.file("empty.log"));
  ASSERT_TRUE(empty.ok());
  EXPECT_TRUE(empty->entries.empty());
  EXPECT_FALSE(empty->has_torn_tail());
}

TEST(WalReadTest, ReadFailuresCarryTheirPrefix) {
  TempDir dir;
  const auto path = dir.file("wal.log");
  write_bytes(path, frame(kInsert7Body));
  const struct {
    FsOp op;
    const char* expected;
  } cases[] = {
      {FsOp::Open, "io error: failed to open WAL for read: Input/output error (os error 5)"},
      {FsOp::FileSize, "io error: metadata failed: Input/output error (os error 5)"},
      {FsOp::Pread, "io error: read checksum failed: Input/output error (os error 5)"},
  };
  for (const auto& c : cases) {
    FaultInjectingFileSystem fs;
    fs.fail_nth(c.op, 1, EIO);
    auto all = Wal::read_all(path, fs);
    ASSERT_FALSE(all.ok());
    EXPECT_EQ(all.error().message(), c.expected);
  }
}

TEST(WalAppendTest, UnencodableEntryWritesNothing) {
  TempDir dir;
  const auto path = dir.file("wal.log");
  Wal wal = open_wal(path, SyncMode::Always);
  for (float bad : {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity()}) {
    Status appended = wal.append(insert_entry(1, {1.0f, bad}));
    ASSERT_FALSE(appended.ok());
    EXPECT_EQ(appended.error().kind(), ErrorKind::WalCorrupted);
    EXPECT_EQ(appended.error().text().rfind("serialization failed: ", 0), 0u);
  }
  EXPECT_EQ(wal.appends_since_sync(), 0u);
  ASSERT_TRUE(wal.sync().ok());
  EXPECT_EQ(std::filesystem::file_size(path), 0u);
}

// /dev/full accepts the open and refuses every write with ENOSPC. The error
// names the first field of the record that did not fit in the buffer.
TEST(WalAppendTest, FullDeviceNamesTheFieldThatNeededTheDisk) {
  if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full";
  const struct {
    std::size_t free_space;
    const char* prefix;
  } cases[] = {
      {0, "write checksum failed: "},
      {3, "write checksum failed: "},
      {4, "write length failed: "},
      {7, "write length failed: "},
      {8, "write data failed: "},
      {78, "write data failed: "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.free_space);
    Wal wal = open_wal("/dev/full", SyncMode::Never);
    ASSERT_TRUE(wal.append(insert_of_record_size(Wal::kBufferBytes - c.free_space)).ok());
    Status failed = wal.append(insert_entry(7, {0.5f, 1.0f, -2.25f}));  // 79 bytes
    ASSERT_FALSE(failed.ok());
    EXPECT_EQ(failed.error().message(),
              std::string("io error: ") + c.prefix + "No space left on device (os error 28)");
    EXPECT_EQ(wal.appends_since_sync(), 1u);
    EXPECT_EQ(wal.sync().error().text(), "flush failed: No space left on device (os error 28)");
  }
}

TEST(WalAppendTest, FailedLargeWriteLeavesTheLogReadable) {
  TempDir dir;
  const auto path = dir.file("wal.log");
  FaultInjectingFileSystem fs;
  Wal wal = open_wal(path, SyncMode::Always, fs);
  ASSERT_TRUE(wal.append(insert_entry(1)).ok());
  fs.fail_writes_after(100, ENOSPC);  // the disk fills up part-way through
  // Longer than the buffer: written straight through.
  Status failed = wal.append(insert_of_record_size(Wal::kBufferBytes + 20000));
  ASSERT_FALSE(failed.ok());
  EXPECT_EQ(failed.error().text(), "write data failed: No space left on device (os error 28)");
  EXPECT_EQ(ids_in(path), std::vector<std::uint64_t>{1});

  fs.clear();
  ASSERT_TRUE(wal.append(insert_entry(2)).ok());
  EXPECT_EQ(ids_in(path), (std::vector<std::uint64_t>{1, 2}));
}

TEST(WalAppendTest, FailedSyncKeepsCountingAndIsReported) {
  TempDir dir;
  FaultInjectingFileSystem fs;
  Wal wal = open_wal(dir.file("wal.log"), SyncMode::Always, fs);
  fs.fail_nth(FsOp::Fsync, 1, EIO);
  Status failed = wal.append(insert_entry(1));
  ASSERT_FALSE(failed.ok());
  EXPECT_EQ(failed.error().message(), "io error: sync failed: Input/output error (os error 5)");
  EXPECT_EQ(wal.appends_since_sync(), 1u);
  // The record was handed over; the next successful sync makes it durable.
  ASSERT_TRUE(wal.sync().ok());
  EXPECT_EQ(wal.appends_since_sync(), 0u);
  EXPECT_EQ(ids_in(dir.file("wal.log")), std::vector<std::uint64_t>{1});
}

// The checkpoint record is appended and synced before the truncation, so a
// failed reopen leaves it, byte-exact, after the earlier records.
TEST(WalCheckpointTest, FailedReopenKeepsTheLogAndTheWalUsable) {
  EXPECT_EQ(kCheckpointBody.size(), 62u);
  EXPECT_EQ(crc_of(kCheckpointBody), 3589457719u);
  TempDir dir;
  const auto path = dir.file("wal.log");
  FaultInjectingFileSystem fs;
  Wal wal = open_wal(path, SyncMode::Never, fs);
  ASSERT_TRUE(wal.append(insert_entry(7, {0.5f, 1.0f, -2.25f})).ok());
  fs.fail_nth(FsOp::Open, 1, ENOSPC);
  Status failed = wal.checkpoint();
  ASSERT_FALSE(failed.ok());
  EXPECT_EQ(failed.error().text(), "truncate failed: No space left on device (os error 28)");
  const std::string checkpoint_record =
      std::string("\x37\xc7\xf2\xd5\x3e\x00\x00\x00", 8) + kCheckpointBody;
  EXPECT_EQ(checkpoint_record.size(), 70u);
  EXPECT_EQ(read_bytes(path), frame(kInsert7Body) + checkpoint_record);

  ASSERT_TRUE(wal.append(insert_entry(2)).ok());
  ASSERT_TRUE(wal.checkpoint().ok());
  EXPECT_EQ(std::filesystem::file_size(path), 0u);
}

}  // namespace
}  // namespace tarnvault_core::storage::wal
