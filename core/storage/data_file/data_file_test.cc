#include "core/storage/data_file/data_file.h"

#include <unistd.h>

#include <bit>
#include <cerrno>
#include <cstring>
#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/error/os_error.h"
#include "core/storage/io/file.h"
#include "core/storage/io/testing/fault_injecting_file_system.h"
#include "core/storage/io/little_endian.h"
#include "core/storage/io/testing/test_support.h"
#include "core/storage/testing/tail_aware_reads.h"

namespace tarnvault_core::storage::data_file {
namespace {

using io::FaultInjectingFileSystem;
using io::FsOp;
using io::testing::append_bytes;
using io::testing::read_bytes;
using io::testing::TempDir;
using io::testing::write_bytes;
using storage::testing::scan_collecting;

const Payload kEmpty;

// The 36-byte record of id 1 with the vector (1, 2) and an empty payload.
const std::string kRecordOfId1(
    "\x00"
    "\x01\x00\x00\x00\x00\x00\x00\x00"
    "\x02\x00\x00\x00"
    "\x00\x00\x80\x3f"
    "\x00\x00\x00\x40"
    "\x0b\x00\x00\x00"
    "{\"data\":{}}",
    36);

DataFile open_file(const std::filesystem::path& path,
                   io::FileSystem& fs = io::default_file_system()) {
  auto file = DataFile::open(path, fs);
  EXPECT_TRUE(file.ok()) << file.error().message();
  return std::move(file).value();
}

std::uint64_t append(DataFile& file, std::uint64_t id, std::vector<float> vector = {1.0f, 2.0f},
                     const Payload& payload = kEmpty) {
  auto offset = file.append(id, vector, payload);
  EXPECT_TRUE(offset.ok()) << offset.error().message();
  return offset.ok() ? *offset : ~std::uint64_t{0};
}

std::vector<std::uint64_t> active_ids(const DataFile& file) {
  auto records = file.iter_active();
  EXPECT_TRUE(records.ok());
  std::vector<std::uint64_t> ids;
  if (records.ok()) {
    for (const auto& r : *records) ids.push_back(r.id);
  }
  return ids;
}

// A record's bytes, built independently of the writer.
std::string record_bytes(std::uint8_t marker, std::uint64_t id, std::vector<float> v,
                         const std::string& payload) {
  std::string out(1, static_cast<char>(marker));
  io::append_le(out, id);
  io::append_le(out, static_cast<std::uint32_t>(v.size()));
  for (float f : v) io::append_le(out, f);
  io::append_le(out, static_cast<std::uint32_t>(payload.size()));
  return out + payload;
}

TEST(DataFileFormatTest, RecordIsByteExactAndOffsetsFollowSizes) {
  TempDir dir;
  const auto path = dir.file("data.qvf");
  Payload tagged;
  tagged.data["tag"] = JsonValue::string("x");
  {
    DataFile file = open_file(path);
    EXPECT_EQ(append(file, 1), 0u);
    EXPECT_EQ(append(file, 2, {1.0f, 2.0f, 3.0f}), 36u);
    EXPECT_EQ(append(file, 3, {1.0f, 2.0f}, tagged), 76u);
    EXPECT_EQ(file.write_offset(), 76u + 45u);
  }  // destruction writes the buffer out
  // The empty payload and any other come out as the same writer would put them.
  EXPECT_EQ(read_bytes(path), kRecordOfId1 +
                                  record_bytes(0, 2, {1.0f, 2.0f, 3.0f}, R"({"data":{}})") +
                                  record_bytes(0, 3, {1.0f, 2.0f}, R"({"data":{"tag":"x"}})"));
  EXPECT_EQ(payload::payload_to_json(Payload{}).value(), R"({"data":{}})");
  DataFile reopened = open_file(path);
  EXPECT_EQ(reopened.write_offset(), 121u);
  EXPECT_EQ(append(reopened, 4), 121u);
}

TEST(DataFileFormatTest, ReadsBackIdsPayloadsAndEveryFloatBitForBit) {
  TempDir dir;
  DataFile file = open_file(dir.file("data.qvf"));
  Payload payload;
  payload.data["tag"] = JsonValue::string("x");
  const std::uint64_t max_id = std::numeric_limits<std::uint64_t>::max();
  const std::uint64_t empty_at = append(file, max_id, {}, payload);
  // -0, a denormal, quiet and signalling NaNs with payload bits, infinities.
  const std::vector<std::uint32_t> bits = {0x80000000u, 0x00000001u, 0x7fc00000u, 0xffc00001u,
                                           0x7f800001u, 0x7f800000u, 0xff800000u};
  std::vector<float> vector;
  for (auto b : bits) vector.push_back(std::bit_cast<float>(b));
  const std::uint64_t odd_at = append(file, 5, vector);
  ASSERT_TRUE(file.flush().ok());

  auto first = file.read_at(empty_at);
  ASSERT_TRUE(first.ok());
  EXPECT_EQ(first->id, max_id);
  EXPECT_TRUE(first->vector.empty());
  EXPECT_EQ(first->payload, payload);
  EXPECT_FALSE(first->deleted);
  auto second = file.read_at(odd_at);
  ASSERT_TRUE(second.ok());
  EXPECT_EQ(second->offset, odd_at);
  ASSERT_EQ(second->vector.size(), bits.size());
  for (std::size_t i = 0; i < bits.size(); ++i) {
    EXPECT_EQ(std::bit_cast<std::uint32_t>(second->vector[i]), bits[i]) << i;
  }
}

TEST(DataFileTest, UnflushedRecordsAreInvisibleToReads) {
  TempDir dir;
  DataFile file = open_file(dir.file("data.qvf"));
  EXPECT_TRUE(active_ids(file).empty());
  const std::uint64_t offset = append(file, 1);
  EXPECT_TRUE(active_ids(file).empty());
  EXPECT_EQ(file.read_at(offset).error().message(),
            "io error: read deleted failed: failed to fill whole buffer");
  ASSERT_TRUE(file.flush().ok());
  EXPECT_EQ(active_ids(file), std::vector<std::uint64_t>{1});
}

TEST(DataFileDeleteTest, MarksLandOnFlushedAndBufferedRecordsOnly) {
  TempDir dir;
  const auto path = dir.file("data.qvf");
  DataFile file = open_file(path);
  append(file, 1);
  const std::uint64_t flushed = append(file, 2);
  ASSERT_TRUE(file.flush().ok());
  const std::uint64_t buffered = append(file, 3);
  append(file, 4);
  ASSERT_TRUE(file.mark_deleted(flushed).ok());
  ASSERT_TRUE(file.mark_deleted(buffered).ok());  // writes the buffer out first
  EXPECT_EQ(active_ids(file), (std::vector<std::uint64_t>{1, 4}));
  auto read = file.read_at(flushed);
  ASSERT_TRUE(read.ok());
  EXPECT_TRUE(read->deleted);
  EXPECT_EQ(read->id, 2u);

  // Past the end: refused, the file neither grows nor changes.
  const std::string before = read_bytes(path);
  for (std::uint64_t offset : {144ull, 1000ull, ~0ull}) {
    Status marked = file.mark_deleted(offset);
    ASSERT_FALSE(marked.ok());
    EXPECT_EQ(marked.error().text().rfind("seek failed: ", 0), 0u);
  }
  EXPECT_EQ(read_bytes(path), before);
  EXPECT_EQ(append(file, 5), 144u);
}

TEST(DataFileDeleteTest, RemovedFileIsNotRecreated) {
  TempDir dir;
  const auto path = dir.file("data.qvf");
  DataFile file = open_file(path);
  append(file, 1);
  ASSERT_TRUE(file.flush().ok());
  std::filesystem::remove(path);
  Status marked = file.mark_deleted(0);
  ASSERT_FALSE(marked.ok());
  EXPECT_EQ(marked.error().message(),
            "io error: open for delete failed: No such file or directory (os error 2)");
  EXPECT_FALSE(std::filesystem::exists(path));
}

TEST(DataFileDeleteTest, OnlyAMarkerOfExactlyOneMeansDeleted) {
  TempDir dir;
  const auto path = dir.file("data.qvf");
  std::string bytes;
  for (std::uint8_t marker : {0, 1, 2, 255}) {
    bytes += record_bytes(marker, marker, {1.0f}, "{\"data\":{}}");
  }
  write_bytes(path, bytes);
  DataFile file = open_file(path);
  EXPECT_EQ(active_ids(file), (std::vector<std::uint64_t>{0, 2, 255}));
}

// A good record, then a damaged one, then a good one that must not be seen.
struct DamageCase {
  const char* name;
  std::string damaged;
  bool last_record_follows;
  DataFileTail tail;
  const char* read_error;  // read_at of the damaged record
};

TEST(DataFileDamageTest, ScanStopsAtTheFirstUnreadableRecord) {
  const std::string good = kRecordOfId1;
  const std::string two = record_bytes(0, 2, {1.0f, 2.0f}, "{\"data\":{}}");
  const std::string huge_dim = record_bytes(0, 9, {}, "").substr(0, 9) + "\xff\xff\xff\xff";
  const std::string huge_payload =
      record_bytes(0, 9, {1.0f}, "").substr(0, 17) + "\xff\xff\xff\x7f" + "{}";
  const DamageCase cases[] = {
      {"cut in id", two.substr(0, 5), false, DataFileTail::Torn,
       "read id failed: failed to fill whole buffer"},
      {"cut in dim", two.substr(0, 11), false, DataFileTail::Torn,
       "read dim failed: failed to fill whole buffer"},
      {"cut in vector", two.substr(0, 15), false, DataFileTail::Torn,
       "read vector failed: failed to fill whole buffer"},
      {"cut in payload_len", two.substr(0, 22), false, DataFileTail::Torn,
       "read payload_len failed: failed to fill whole buffer"},
      {"cut in payload", two.substr(0, 30), false, DataFileTail::Torn,
       "read payload failed: failed to fill whole buffer"},
      {"dim larger than the file", huge_dim, false, DataFileTail::Torn,
       "read vector failed: failed to fill whole buffer"},
      {"payload_len larger than the file", huge_payload, false, DataFileTail::Torn,
       "read payload failed: failed to fill whole buffer"},
      {"payload that does not parse", record_bytes(0, 2, {1.0f}, "{\"data\":[]}"), true,
       DataFileTail::Unreadable, "payload deserialize failed: "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const auto path = dir.file("data.qvf");
    write_bytes(path, good + c.damaged + (c.last_record_follows ? good : ""));
    DataFile file = open_file(path);

    EXPECT_EQ(active_ids(file), std::vector<std::uint64_t>{1});
    auto read = file.read_at(good.size());
    ASSERT_FALSE(read.ok());
    EXPECT_EQ(read.error().kind(), ErrorKind::IoError);
    EXPECT_EQ(read.error().text().rfind(c.read_error, 0), 0u) << read.error().text();

    auto scan = scan_collecting(file);
    ASSERT_TRUE(scan.ok());
    EXPECT_EQ(scan->records.size(), 1u);
    EXPECT_EQ(scan->valid_length, good.size());
    EXPECT_EQ(scan->tail, c.tail);
    ASSERT_TRUE(scan->tail_error.has_value());
    EXPECT_EQ(scan->tail_error->text(), read.error().text());
  }
}

// Given the collection's dimension, the scan judges the record it stopped
// at: damage when a readable record of that dimension follows it, else a
// torn tail. Without the dimension it judges nothing.
TEST(DataFileDamageTest, ABadRecordIsDamageOnlyWhenAReadableRecordFollows) {
  const std::string good = kRecordOfId1;  // dimension 2
  const std::string unparsable = record_bytes(0, 2, {1.0f, 2.0f}, "{\"data\":[]}");
  const std::string other_dimension = record_bytes(0, 3, {1.0f, 2.0f, 3.0f}, "{\"data\":{}}");
  std::string huge_dim = good;
  huge_dim[11] = 1;  // dim 2 + 65536
  struct Case {
    const char* name;
    std::string after_good;
    const char* damage;  // nullptr: a torn tail
  };
  const Case cases[] = {
      {"zeros", std::string(64, '\0'), nullptr},
      {"a record cut short", good.substr(0, 20), nullptr},
      {"an unparsable last record", unparsable, nullptr},
      {"zeros, then a record of another dimension", std::string(8, '\0') + other_dimension,
       nullptr},
      {"zeros, then a readable record", std::string(40, '\0') + good,
       "io error: payload deserialize failed: "},
      {"an unparsable record, then a readable one", unparsable + good,
       "io error: payload deserialize failed: "},
      {"a dim past the end, then a readable record", huge_dim + good,
       "record of dimension 65538 runs past the end of the file"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const auto path = dir.file("data.qvf");
    write_bytes(path, good + c.after_good);
    DataFile file = open_file(path);

    auto unjudged = scan_collecting(file);
    ASSERT_TRUE(unjudged.ok());
    EXPECT_FALSE(unjudged->damaged);
    auto judged = scan_collecting(file, 2);
    ASSERT_TRUE(judged.ok()) << judged.error().message();
    EXPECT_EQ(judged->valid_length, good.size());
    EXPECT_NE(judged->tail, DataFileTail::Clean);
    EXPECT_EQ(judged->damaged, c.damage != nullptr);
    if (c.damage != nullptr) {
      EXPECT_EQ(judged->damage.rfind(c.damage, 0), 0u) << judged->damage;
    }
  }
}

// The scan reads the file in large chunks; read_at reads one record the
// plain way. Whatever the file holds, both must see the same records and stop
// at the same place for the same reason.
TEST(DataFileScanTest, ChunkedScanAgreesWithRecordByRecordReads) {
  const std::string big_payload =
      "{\"data\":{\"k\":\"" + std::string(io::SequentialFile::kScanChunkSize + 100, 'x') + "\"}}";
  const std::vector<std::string> mixed = {
      kRecordOfId1,
      record_bytes(1, 2, {3.0f, 4.0f}, "{\"data\":{}}"),            // deleted
      record_bytes(2, 3, {5.0f, 6.0f}, "{\"data\":{}}"),            // marker 2 is live
      record_bytes(0, 4, {7.0f}, "{\"data\":{}}"),                  // another dimension
      record_bytes(0, 5, {1.0f, 2.0f}, "{\"data\":{\"n\":[1,\"\\u00e9\"]}}"),
      record_bytes(0, 6, {1.0f, 2.0f}, " {\"data\" : {} } "),      // not the byte-exact empty one
      record_bytes(0, 1, {-0.0f, std::nanf("")}, "{\"data\":{}}"),  // id 1 again
      record_bytes(1, 7, {}, "{\"data\":{\"x\":1}}"),
  };
  std::vector<std::vector<std::string>> files = {
      {},
      mixed,
      {kRecordOfId1, record_bytes(0, 8, {1.0f, 2.0f}, big_payload), kRecordOfId1},
      {kRecordOfId1, record_bytes(0, 9, {1.0f}, "{\"data\":[]}"), kRecordOfId1},
      {kRecordOfId1, record_bytes(1, 9, {1.0f}, "not json"), kRecordOfId1},
  };
  // The mixed file cut at every byte of its last two records.
  std::string whole;
  for (const auto& r : mixed) whole += r;
  const std::size_t last_two = mixed[mixed.size() - 1].size() + mixed[mixed.size() - 2].size();
  for (std::size_t cut = 1; cut < last_two; ++cut) {
    files.push_back({whole.substr(0, whole.size() - cut)});
  }

  for (std::size_t f = 0; f < files.size(); ++f) {
    SCOPED_TRACE(f);
    TempDir dir;
    const auto path = dir.file("data.qvf");
    std::string bytes;
    for (const auto& r : files[f]) bytes += r;
    write_bytes(path, bytes);
    DataFile file = open_file(path);

    // Record by record: read_at at each offset until one fails.
    std::vector<DataRecord> expected;
    std::uint64_t offset = 0;
    std::optional<Error> stop;
    while (offset < bytes.size()) {
      auto read = file.read_at(offset);
      if (!read.ok()) {
        stop = read.error();
        break;
      }
      const std::uint64_t vector_bytes = 4 * read->vector.size();
      const std::uint64_t payload_len =
          io::load_le<std::uint32_t>(bytes.data() + offset + 13 + vector_bytes);
      if (!read->deleted) expected.push_back(std::move(read).value());
      offset += 17 + vector_bytes + payload_len;
    }

    auto scan = scan_collecting(file);
    ASSERT_TRUE(scan.ok());
    EXPECT_EQ(scan->valid_length, offset);
    ASSERT_EQ(scan->tail_error.has_value(), stop.has_value());
    if (stop) {
      EXPECT_EQ(*scan->tail_error, *stop);
    }
    ASSERT_EQ(scan->records.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
      const DataRecord& got = scan->records[i];
      EXPECT_EQ(got.id, expected[i].id);
      EXPECT_EQ(got.offset, expected[i].offset);
      EXPECT_EQ(got.payload, expected[i].payload);
      ASSERT_EQ(got.vector.size(), expected[i].vector.size());
      EXPECT_EQ(std::memcmp(got.vector.data(), expected[i].vector.data(),
                            got.vector.size() * sizeof(float)),
                0);
    }
  }
}

TEST(DataFileDamageTest, RecoveryCanCutATornTailAndAppend) {
  TempDir dir;
  const auto path = dir.file("data.qvf");
  write_bytes(path, kRecordOfId1 + kRecordOfId1.substr(0, 20));
  DataFile file = open_file(path);
  auto scan = scan_collecting(file);
  ASSERT_TRUE(scan.ok());
  EXPECT_EQ(scan->tail, DataFileTail::Torn);
  ASSERT_TRUE(file.truncate_to(scan->valid_length).ok());
  EXPECT_EQ(file.write_offset(), 36u);
  EXPECT_EQ(append(file, 2), 36u);
  ASSERT_TRUE(file.flush().ok());
  auto rescan = scan_collecting(file);
  EXPECT_EQ(rescan->tail, DataFileTail::Clean);
  EXPECT_EQ(rescan->valid_length, 72u);
  EXPECT_EQ(active_ids(file), (std::vector<std::uint64_t>{1, 2}));
}

TEST(DataFileDamageTest, ReadErrorsFailTheScanButEndIterationQuietly) {
  TempDir dir;
  const auto path = dir.file("data.qvf");
  write_bytes(path, kRecordOfId1 + kRecordOfId1);
  FaultInjectingFileSystem fs;
  DataFile file = open_file(path, fs);
  fs.fail_nth(FsOp::Pread, 1, EIO);
  EXPECT_TRUE(active_ids(file).empty());
  fs.fail_nth(FsOp::Pread, 1, EIO);
  auto scan = scan_collecting(file);
  ASSERT_FALSE(scan.ok());
  EXPECT_EQ(scan.error().text(), "read deleted failed: Input/output error (os error 5)");
}

TEST(DataFileAppendTest, FullDeviceNamesTheFieldThatNeededTheDisk) {
  if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full";
  // A 36-byte record after a filler that leaves free_space bytes.
  const struct {
    std::size_t free_space;
    const char* prefix;
  } cases[] = {
      {0, "write deleted marker failed: "}, {1, "write id failed: "},
      {9, "write dim failed: "},           {13, "write vector failed: "},
      {20, "write vector failed: "},       {21, "write payload_len failed: "},
      {25, "write payload failed: "},      {35, "write payload failed: "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.free_space);
    DataFile file = open_file("/dev/full");
    // 28 + 4 × dim bytes per record with an empty payload; pad the rest into
    // the payload of one filler record.
    Payload pad;
    const std::size_t filler = DataFile::kAppendBufferBytes - c.free_space;
    pad.data["p"] = JsonValue::string(std::string(filler - 34, 'x'));  // 17 + {"data":{"p":"…"}}
    ASSERT_TRUE(file.append(0, {}, pad).ok());
    ASSERT_EQ(file.write_offset(), filler);
    auto failed = file.append(1, std::vector<float>{1.0f, 2.0f}, kEmpty);
    ASSERT_FALSE(failed.ok());
    EXPECT_EQ(failed.error().message(),
              std::string("io error: ") + c.prefix + "No space left on device (os error 28)");
    EXPECT_EQ(file.write_offset(), filler);
    EXPECT_EQ(file.flush().error().text(), "flush failed: No space left on device (os error 28)");
  }
}

TEST(DataFileAppendTest, FailedLargeWriteLeavesOffsetsAligned) {
  TempDir dir;
  const auto path = dir.file("data.qvf");
  FaultInjectingFileSystem fs;
  DataFile file = open_file(path, fs);
  append(file, 1);
  fs.fail_writes_after(500, ENOSPC);
  // Longer than the buffer: written straight through, and cut back.
  auto failed =
      file.append(2, std::vector<float>(DataFile::kAppendBufferBytes / 4, 1.0f), kEmpty);
  ASSERT_FALSE(failed.ok());
  EXPECT_EQ(failed.error().text(), "write vector failed: No space left on device (os error 28)");
  EXPECT_EQ(file.write_offset(), 36u);
  EXPECT_EQ(std::filesystem::file_size(path), 36u);

  fs.clear();
  EXPECT_EQ(append(file, 3), 36u);
  ASSERT_TRUE(file.flush().ok());
  EXPECT_EQ(active_ids(file), (std::vector<std::uint64_t>{1, 3}));
}

// Records stay in the buffer until it is full, at the size open() chose,
// and a copy made by copy_records goes on buffering as much.
TEST(DataFileAppendTest, RecordsReachTheFileOnlyWhenTheBufferIsFull) {
  const struct {
    const char* name;
    std::optional<std::size_t> buffer_bytes;  // none: open()'s default
    std::size_t capacity;
  } cases[] = {
      {"default", std::nullopt, DataFile::kAppendBufferBytes},
      {"chosen", io::kBufferSize, io::kBufferSize},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const auto path = dir.file("data.qvf");
    auto opened = c.buffer_bytes ? DataFile::open(path, io::default_file_system(), *c.buffer_bytes)
                                 : DataFile::open(path);
    ASSERT_TRUE(opened.ok());
    DataFile& file = *opened;
    const std::uint64_t fitting = c.capacity / kRecordOfId1.size();
    std::vector<KeptRecord> keep;
    for (std::uint64_t id = 1; id <= fitting; ++id) keep.push_back({append(file, id), id});
    EXPECT_EQ(std::filesystem::file_size(path), 0u);
    keep.push_back({append(file, fitting + 1), fitting + 1});
    EXPECT_EQ(std::filesystem::file_size(path), fitting * kRecordOfId1.size());

    auto copy = file.copy_records(dir.file("copy"), keep);
    ASSERT_TRUE(copy.ok()) << copy.error().message();
    const std::uint64_t copied = (fitting + 1) * kRecordOfId1.size();
    EXPECT_EQ(std::filesystem::file_size(dir.file("copy")), copied);
    for (std::uint64_t id = 1; id <= fitting; ++id) append(copy->file, id);
    EXPECT_EQ(std::filesystem::file_size(dir.file("copy")), copied);
    append(copy->file, fitting + 1);
    EXPECT_EQ(std::filesystem::file_size(dir.file("copy")), copied + fitting * kRecordOfId1.size());
  }
}

TEST(DataFileAppendTest, UnencodablePayloadWritesNothing) {
  TempDir dir;
  DataFile file = open_file(dir.file("data.qvf"));
  Payload bad;
  bad.data["x"] = JsonValue::floating(std::numeric_limits<double>::infinity());
  auto failed = file.append(1, std::vector<float>{1.0f}, bad);
  ASSERT_FALSE(failed.ok());
  EXPECT_EQ(failed.error().kind(), ErrorKind::IoError);
  EXPECT_EQ(failed.error().text().rfind("payload serialization failed: ", 0), 0u);
  EXPECT_EQ(file.write_offset(), 0u);
}


// append_many writes the bytes of one append() per record, in pieces of
// about a mebibyte; it stops at a record it cannot encode, the ones before
// written, and a failed piece leaves none of its records behind.
TEST(DataFileAppendTest, AppendManyIsAppendOncePerRecord) {
  constexpr std::size_t kCount = 3000;  // 536 bytes each: two pieces
  std::vector<std::vector<float>> vectors;
  std::vector<Payload> payloads(kCount);
  for (std::size_t i = 0; i < kCount; ++i) {
    vectors.emplace_back(128, static_cast<float>(i) * 0.5f);
    if (i % 9 == 0) payloads[i].data["i"] = JsonValue::string(std::to_string(i));
  }
  Payload unencodable;
  unencodable.data["x"] = JsonValue::floating(std::numeric_limits<double>::infinity());
  const struct {
    const char* name;
    std::optional<std::size_t> bad_payload;  // that record's payload cannot be encoded
    std::size_t failing_write;               // 0: none; else the nth pwrite fails
    std::size_t kept;                        // records appended
    const char* error;
  } cases[] = {
      {"all", std::nullopt, 0, kCount, nullptr},
      {"unencodable record", 2500, 0, 2500, "payload serialization failed: "},
      {"second piece fails", std::nullopt, 2, 0, "write payload failed: "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    FaultInjectingFileSystem fs;
    DataFile one = open_file(dir.file("one.qvf"));
    DataFile many = open_file(dir.file("many.qvf"), fs);
    append(one, 99);
    append(many, 99);
    ASSERT_TRUE(many.flush().ok());
    std::vector<std::uint64_t> expected_offsets;
    for (std::size_t i = 0; i < c.kept; ++i) {
      expected_offsets.push_back(append(one, i, vectors[i], payloads[i]));
    }
    if (c.failing_write != 0) fs.fail_nth(FsOp::Pwrite, c.failing_write, ENOSPC);
    std::vector<std::uint64_t> offsets;
    const Status status = many.append_many(
        kCount,
        [&](std::size_t i) {
          return DataFile::RecordRef{i, vectors[i],
                                     c.bad_payload == i ? unencodable : payloads[i]};
        },
        offsets);
    if (c.error) {
      ASSERT_FALSE(status.ok());
      EXPECT_EQ(status.error().text().rfind(c.error, 0), 0u) << status.error().text();
    } else {
      EXPECT_TRUE(status.ok());
    }
    if (c.failing_write == 0) {
      EXPECT_EQ(offsets, expected_offsets);
      fs.clear();
      ASSERT_TRUE(one.flush().ok());
      ASSERT_TRUE(many.flush().ok());
      EXPECT_EQ(read_bytes(dir.file("many.qvf")), read_bytes(dir.file("one.qvf")));
    } else {
      // The first piece is in the file; the failed one is not, nor counted.
      const std::size_t first_piece = offsets.size();
      EXPECT_GT(first_piece, 0u);
      EXPECT_LT(first_piece, kCount);
      fs.clear();
      ASSERT_TRUE(many.flush().ok());
      EXPECT_EQ(many.write_offset(), std::filesystem::file_size(dir.file("many.qvf")));
      EXPECT_EQ(active_ids(many).size(), 1 + first_piece);
    }
  }
}


// A file of five records: id 1 (0), id 2 (36), id 1 again (72), id 3 with a
// payload and a live marker of 2 (108), id 4 marked deleted (after it).
struct CopySource {
  TempDir dir;
  std::filesystem::path path = dir.file("data.qvf");
  std::string payload_text = R"({"data":{"k":"v"}})";
  std::uint64_t id4_at = 0;

  CopySource() {
    write_bytes(path, record_bytes(0, 1, {1, 2}, "{\"data\":{}}") +
                          record_bytes(0, 2, {3, 4}, "{\"data\":{}}") +
                          record_bytes(0, 1, {5, 6}, "{\"data\":{}}") +
                          record_bytes(2, 3, {7, 8}, payload_text));
    id4_at = read_bytes(path).size();
    append_bytes(path, record_bytes(1, 4, {9, 10}, "{\"data\":{}}"));
  }
};

TEST(DataFileCopyTest, KeepsListedRecordsInOrderAndRewritesTheirOffsets) {
  CopySource source;
  DataFile file = open_file(source.path);
  std::vector<KeptRecord> keep = {{36, 2}, {72, 1}, {108, 3}};
  auto copy = file.copy_records(source.dir.file("copy"), keep);
  ASSERT_TRUE(copy.ok()) << copy.error().message();
  EXPECT_EQ(copy->dropped, 2u);  // the first id 1 and the deleted id 4
  EXPECT_EQ(read_bytes(source.dir.file("copy")),
            record_bytes(0, 2, {3, 4}, "{\"data\":{}}") +
                record_bytes(0, 1, {5, 6}, "{\"data\":{}}") +
                record_bytes(0, 3, {7, 8}, source.payload_text));
  EXPECT_EQ(keep[0].offset, 0u);
  EXPECT_EQ(keep[1].offset, 36u);
  EXPECT_EQ(keep[2].offset, 72u);
  // The copy is a data file like any other, reached under its new name.
  std::filesystem::rename(source.dir.file("copy"), source.dir.file("moved"));
  copy->file.renamed(source.dir.file("moved"));
  const std::uint64_t end = 72u + 17 + 8 + source.payload_text.size();
  EXPECT_EQ(copy->file.write_offset(), end);
  EXPECT_EQ(append(copy->file, 9), end);
  ASSERT_TRUE(copy->file.flush().ok());
  ASSERT_TRUE(copy->file.mark_deleted(keep[0].offset).ok());
  EXPECT_EQ(active_ids(copy->file), (std::vector<std::uint64_t>{1, 3, 9}));
  // Nothing kept: an empty file, every record dropped.
  auto none = file.copy_records(source.dir.file("none"), {});
  ASSERT_TRUE(none.ok());
  EXPECT_EQ(none->dropped, 5u);
  EXPECT_EQ(read_bytes(source.dir.file("none")), "");
}

TEST(DataFileCopyTest, RefusesAListThatDoesNotMatchTheFile) {
  struct Case {
    const char* name;
    std::vector<KeptRecord> keep;
    bool torn_tail;
    std::string error;
  };
  CopySource probe;
  const std::uint64_t end = read_bytes(probe.path).size();
  const std::vector<Case> cases = {
      {"inside a record", {{37, 2}}, false, "copy record failed: offset 37: no record starts there"},
      {"past the end", {{36, 2}, {end, 5}}, false,
       "copy record failed: offset " + std::to_string(end) + ": no record starts there"},
      {"another id", {{36, 7}}, false, "copy record failed: offset 36: record holds id 2, not 7"},
      {"deleted record", {{probe.id4_at, 4}}, false,
       "copy record failed: offset " + std::to_string(probe.id4_at) +
           ": record of id 4 is marked deleted"},
      {"torn tail", {{36, 2}}, true,
       "copy record failed: offset " + std::to_string(end) + ": record cut short"},
  };
  for (const Case& tc : cases) {
    SCOPED_TRACE(tc.name);
    CopySource source;
    if (tc.torn_tail) append_bytes(source.path, std::string(20, '\x01'));
    DataFile file = open_file(source.path);
    std::vector<KeptRecord> keep = tc.keep;
    auto copy = file.copy_records(source.dir.file("copy"), keep);
    ASSERT_FALSE(copy.ok());
    EXPECT_EQ(copy.error().message(), "io error: " + tc.error);
  }
}

TEST(DataFileCopyTest, DiskFailuresAreReportedWithTheirStep) {
  struct Case {
    FsOp op;
    std::size_t nth;
    std::string prefix;
  };
  // The source is opened first, then the copy.
  const std::vector<Case> cases = {
      {FsOp::Open, 1, "open for read failed: "},
      {FsOp::Open, 2, "failed to open data file: "},
      {FsOp::Pread, 1, "read record failed: "},
      {FsOp::Pwrite, 1, "flush failed: "},
      {FsOp::Fsync, 1, "sync failed: "},
  };
  for (const Case& tc : cases) {
    SCOPED_TRACE(tc.prefix);
    CopySource source;
    FaultInjectingFileSystem fs;
    DataFile file = open_file(source.path, fs);
    fs.fail_nth(tc.op, tc.nth, EIO);
    std::vector<KeptRecord> keep = {{36, 2}};
    auto copy = file.copy_records(source.dir.file("copy"), keep);
    ASSERT_FALSE(copy.ok());
    EXPECT_EQ(copy.error().message(), "io error: " + tc.prefix + error::os_error_text(EIO));
  }
}

}  // namespace
}  // namespace tarnvault_core::storage::data_file
