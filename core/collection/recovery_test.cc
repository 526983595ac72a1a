#include <gtest/gtest.h>

#include <bit>
#include <filesystem>
#include <limits>
#include <map>

#include "core/collection/collection.h"
#include "core/collection/collection_meta.h"
#include "core/collection/collection_test_support.h"
#include "core/collection/recovery.h"
#include "core/storage/io/little_endian.h"

namespace tarnvault_core::collection {
namespace {

using namespace testing;

constexpr std::uint64_t kMaxId = std::numeric_limits<std::uint64_t>::max();
constexpr std::uint64_t kRecordSize = 36;  // dimension 2, empty payload

std::map<std::string, std::string> snapshot(const std::filesystem::path& dir) {
  std::map<std::string, std::string> contents;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    contents[entry.path().filename().string()] = read_bytes(entry.path());
  }
  return contents;
}

TEST(Open, CreatesTheDirectoryWithItsParentsAndAnEmptyCollection) {
  TempDir dir;
  const auto path = dir.path() / "a" / "b";
  {
    auto c = open(path, config(3, DistanceMetric::DotProduct));
    EXPECT_EQ(c->len(), 0u);
    EXPECT_EQ(c->next_id(), 1u);
  }
  auto contents = snapshot(path);
  EXPECT_EQ(contents["wal.log"], "");
  EXPECT_EQ(contents["data.qvf"], "");
  auto meta = read_meta_file(path / "meta.json");
  ASSERT_TRUE(meta.ok());
  EXPECT_EQ(meta->dimension, 3u);
  EXPECT_EQ(meta->metric, "DotProduct");
  EXPECT_EQ(meta->vector_count, 0u);
  EXPECT_EQ(meta->next_id, 1u);
}

TEST(Open, ADirectoryInThePlaceOfAParentCannotBeCreated) {
  TempDir dir;
  write_bytes(dir.file("plain"), "x");
  auto opened = Collection::open_or_create(dir.path() / "plain" / "c", config());
  ASSERT_FALSE(opened.ok());
  EXPECT_EQ(opened.error().message(),
            "collection error: create dir failed: Not a directory (os error 20)");
}

TEST(Open, AnotherDimensionIsRefusedWithoutChangingAnyFile) {
  TempDir dir;
  {
    auto c = open(dir.path(), config(4));
    ASSERT_TRUE(c->insert(1, std::vector<float>{1, 2, 3, 4}, {}).ok());
  }
  const auto before = snapshot(dir.path());
  auto opened = Collection::open_or_create(dir.path(), config(8));
  ASSERT_FALSE(opened.ok());
  EXPECT_EQ(opened.error().message(),
            "collection error: dimension mismatch: collection has 4, config has 8");
  EXPECT_EQ(snapshot(dir.path()), before);
}

TEST(Open, AnotherMetricIsUsedUntilTheNextFlushRecordsIt) {
  TempDir dir;
  {
    auto c = open(dir.path(), config(2, DistanceMetric::Euclidean));
    ASSERT_TRUE(c->insert(1, std::vector<float>{3, 4}, {}).ok());
  }
  auto c = open(dir.path(), config(2, DistanceMetric::DotProduct));
  auto results = c->search(std::vector<float>{1, 1}, 1);
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0].distance, -7.0f);
  EXPECT_EQ(read_meta_file(files(dir).meta)->metric, "Euclidean");
  ASSERT_TRUE(c->flush().ok());
  EXPECT_EQ(read_meta_file(files(dir).meta)->metric, "DotProduct");
}

// ids 1, 2 in the data file; Insert 3 and Delete 1 in the log.
TEST(Recovery, WorkedExampleHoldsOffsetForOffset) {
  TempDir dir;
  const auto f = files(dir);
  ASSERT_EQ(write_data(f.data, {{1, {1, 2}}, {2, {3, 4}}}),
            (std::vector<std::uint64_t>{0, kRecordSize}));
  write_wal(f.wal, {wal_entry(WalEntryKind::Insert, 3, {5, 6}), wal_entry(WalEntryKind::Delete, 1)});
  {
    auto c = open(dir.path());
    EXPECT_EQ(c->len(), 2u);
    EXPECT_EQ(ids_near(*c, {0, 0}), (std::vector<std::uint64_t>{2, 3}));
    EXPECT_EQ(c->offset_of(1), std::nullopt);
    EXPECT_EQ(c->offset_of(2), 36u);
    EXPECT_EQ(c->offset_of(3), 72u);
    EXPECT_EQ(c->next_id(), 4u);
    EXPECT_TRUE(deleted_at(f.data, 0));
    EXPECT_EQ(Wal::read_all(f.wal)->size(), 2u);
  }
  auto c = open(dir.path());
  EXPECT_EQ(ids_near(*c, {0, 0}), (std::vector<std::uint64_t>{2, 3}));
  EXPECT_EQ(c->offset_of(2), 36u);
  EXPECT_EQ(c->offset_of(3), 108u);
  EXPECT_EQ(c->next_id(), 4u);
  // The replayed insert replaced the record of id 3 from the first open; it
  // is marked once the replacement is durable.
  EXPECT_FALSE(deleted_at(f.data, 72));
  ASSERT_TRUE(c->flush().ok());
  EXPECT_TRUE(deleted_at(f.data, 72));
  EXPECT_FALSE(deleted_at(f.data, 108));
}

TEST(Recovery, ReplaysUpdatesDeletesAndCheckpoints) {
  TempDir dir;
  const auto f = files(dir);
  write_data(f.data, {{1, {1, 1}}, {2, {2, 2}}});
  write_wal(f.wal, {
                       wal_entry(WalEntryKind::Update, 1, {10, 10}),
                       wal_entry(WalEntryKind::Insert, 5, {5, 5}),
                       wal_entry(WalEntryKind::Checkpoint, 0),
                       wal_entry(WalEntryKind::Delete, 5),
                       wal_entry(WalEntryKind::Delete, 99),
                       wal_entry(WalEntryKind::Update, 7, {7, 7}),
                       wal_entry(WalEntryKind::Delete, 2),
                   });
  auto check = [](const Collection& c) {
    EXPECT_EQ(c.len(), 2u);
    EXPECT_TRUE(holds(c, 1, {10, 10}));
    EXPECT_TRUE(holds(c, 7, {7, 7}));
    EXPECT_EQ(c.offset_of(2), std::nullopt);
    EXPECT_EQ(c.offset_of(5), std::nullopt);
  };
  {
    auto c = open(dir.path());
    check(*c);
    EXPECT_EQ(c->next_id(), 6u);  // the update of 7 does not count
    ASSERT_TRUE(c->flush().ok());
  }
  // After the flush the data file alone must tell the same story.
  auto c = open(dir.path());
  check(*c);
  EXPECT_EQ(c->next_id(), 8u);
}

TEST(Recovery, NextIdComesFromTheLiveRecordsNotFromMeta) {
  struct Case {
    std::vector<Stored> records;
    std::vector<std::uint64_t> deleted;
    std::uint64_t next_id;
  };
  const Case cases[] = {
      {{}, {}, 1},
      {{{5, {1, 1}}, {2, {1, 1}}}, {}, 6},
      {{{5, {1, 1}}, {2, {1, 1}}}, {5}, 3},
      {{{5, {1, 1}}}, {5}, 1},
      {{{kMaxId, {1, 1}}}, {}, 0},
      {{{9, {1, 1, 1}}}, {}, 10},  // refused by the index, still counted
  };
  for (const Case& tc : cases) {
    TempDir dir;
    {
      auto c = open(dir.path());
      ASSERT_TRUE(c->flush().ok());  // meta.json says next_id 1
    }
    write_data(files(dir).data, tc.records);
    std::vector<WalEntry> deletes;
    for (auto id : tc.deleted) deletes.push_back(wal_entry(WalEntryKind::Delete, id));
    write_wal(files(dir).wal, deletes);
    { auto c = open(dir.path()); }
    auto c = open(dir.path());
    EXPECT_EQ(c->next_id(), tc.next_id);
  }
}

TEST(Recovery, ARecordOfAnotherLengthIsLeftOutButOwnsItsId) {
  TempDir dir;
  write_data(files(dir).data, {{1, {1, 1}}, {2, {1, 1, 1}}, {3, {3, 3}}});
  auto c = open(dir.path());
  EXPECT_EQ(ids_near(*c, {0, 0}), (std::vector<std::uint64_t>{1, 3}));
  EXPECT_EQ(c->offset_of(2), kRecordSize);
  EXPECT_EQ(c->next_id(), 4u);
}

// meta.json's vector_count sizes the tables for the load; it is only a hint,
// whether a person edited it or a crash left it stale.
TEST(Recovery, TheStoredVectorCountIsOnlyAHint) {
  for (std::uint64_t count : {std::uint64_t{0}, std::uint64_t{1}, kMaxId}) {
    SCOPED_TRACE(count);
    TempDir dir;
    write_data(files(dir).data, {{1, {1, 1}}, {2, {2, 2}}, {3, {3, 3}}});
    ASSERT_TRUE(write_meta_file(dir.path(), CollectionMeta{2, "Euclidean", count, 1}).ok());
    auto c = open(dir.path());
    EXPECT_EQ(c->len(), 3u);
    EXPECT_EQ(ids_near(*c, {0, 0}), (std::vector<std::uint64_t>{1, 2, 3}));
  }
}

// The last write of an id wins, however its records are spread over the
// data file and the log.
TEST(Recovery, NewestRecordOfAnIdWins) {
  TempDir dir;
  {
    auto c = open(dir.path());
    ASSERT_TRUE(c->insert(1, std::vector<float>{1, 1}, {}).ok());
    ASSERT_TRUE(c->flush().ok());
    ASSERT_TRUE(c->insert(1, std::vector<float>{2, 2}, {}).ok());
    ASSERT_TRUE(c->flush().ok());
    ASSERT_TRUE(c->insert(1, std::vector<float>{3, 3}, {}).ok());
  }
  auto c = open(dir.path());
  EXPECT_EQ(c->len(), 1u);
  EXPECT_TRUE(holds(*c, 1, {3, 3}));
  ASSERT_TRUE(c->flush().ok());
  c.reset();
  c = open(dir.path());
  EXPECT_TRUE(holds(*c, 1, {3, 3}));
}

// Two live records of one id (a crash between writing the newer and marking
// the older): the newer wins, and deleting the id must not let the older
// come back at the next open.
TEST(Recovery, ASupersededLiveRecordDoesNotComeBackAfterADelete) {
  TempDir dir;
  write_data(files(dir).data, {{4, {1, 1}}, {4, {2, 2}}});
  {
    auto c = open(dir.path());
    EXPECT_TRUE(holds(*c, 4, {2, 2}));
    EXPECT_EQ(c->offset_of(4), kRecordSize);
    ASSERT_TRUE(c->apply_delete_no_wal(4).ok());
  }
  auto c = open(dir.path());
  EXPECT_EQ(c->len(), 0u);
  EXPECT_EQ(c->offset_of(4), std::nullopt);
}

// A replayed write whose entry the index already holds as the data file
// loaded it leaves the entry in its place: the enumeration order stays the
// load's. Its record is still appended and becomes the id's current one.
TEST(Recovery, AReplayKeepsTheEntriesTheDataFileLoadedInPlace) {
  TempDir dir;
  std::vector<std::uint64_t> ids;
  {
    auto c = open(dir.path());
    for (std::uint64_t id = 1; id <= 40; ++id) {
      ASSERT_TRUE(c->insert(id, std::vector<float>{float(id), 0}, {}).ok());
      ids.push_back(id);
    }
  }
  {
    auto c = open(dir.path());
    EXPECT_EQ(c->ids(), ids);
    EXPECT_EQ(c->offset_of(1), 40 * kRecordSize);
  }
  EXPECT_EQ(std::filesystem::file_size(files(dir).data), 80 * kRecordSize);
  auto c = open(dir.path());
  EXPECT_EQ(c->offset_of(1), 80 * kRecordSize);
  EXPECT_EQ(std::filesystem::file_size(files(dir).data), 80 * kRecordSize);
}

// Histories of one id, logged and written to the data file without a flush,
// then the data file cut or damaged the ways a crash or a power failure can
// leave it. Whatever the data file kept, the open must end with the last
// write of the log, and so must the opens after it, with or without a flush
// in between; a replay that kept an index entry it should have replaced
// (because the data file's record differs in a bit or in its payload, or is
// gone) would leave an older state behind.
class KeptEntryReplay : public ::testing::Test {
 protected:
  static constexpr std::uint64_t kId = 5;

  struct Step {
    bool remove;
    std::vector<float> vector;
    bool tagged;
  };
  struct History {
    const char* name;
    std::vector<Step> steps;
    bool present;  // after the last step; then with the last insert's vector
  };

  static payload::Payload payload_of(bool tagged) {
    payload::Payload p;
    if (tagged) p.data["k"] = payload::JsonValue::string("v");
    return p;
  }

  // Checks the id's state bit for bit.
  static void expect_last_write(const Collection& c, const History& h) {
    auto got = c.get(kId);
    if (!h.present) {
      EXPECT_EQ(c.len(), 0u);
      EXPECT_FALSE(got.has_value());
      return;
    }
    const Step& last = h.steps.back();
    ASSERT_TRUE(got.has_value());
    EXPECT_EQ(c.len(), 1u);
    EXPECT_EQ(c.next_id(), kId + 1);
    ASSERT_EQ(got->first.size(), last.vector.size());
    for (std::size_t j = 0; j < last.vector.size(); ++j) {
      EXPECT_EQ(std::bit_cast<std::uint32_t>(got->first[j]),
                std::bit_cast<std::uint32_t>(last.vector[j]))
          << "component " << j;
    }
    EXPECT_EQ(got->second, payload_of(last.tagged));
  }

  void check(const History& h) {
    // Written through a collection, never flushed: the log holds every
    // step, and the data file every record and deletion mark.
    TempDir source;
    std::vector<std::uint64_t> offsets;
    {
      auto c = open(source.path());
      for (const Step& step : h.steps) {
        if (step.remove) {
          ASSERT_TRUE(c->remove(kId).ok());
          continue;
        }
        ASSERT_TRUE(c->insert(kId, step.vector, payload_of(step.tagged)).ok());
        offsets.push_back(*c->offset_of(kId));
      }
    }
    const auto original = snapshot(source.path());
    const std::string data = original.at(kDataFileName);
    offsets.push_back(data.size());

    struct Variant {
      std::string name;
      std::string data;
    };
    std::vector<Variant> variants;
    for (std::size_t k = 0; k + 1 < offsets.size(); ++k) {
      const std::string n = std::to_string(k);
      variants.push_back({"records before " + n + " kept", data.substr(0, offsets[k])});
      variants.push_back({"record " + n + " torn", data.substr(0, offsets[k] + 20)});
      std::string flipped = data;
      flipped[offsets[k] + 16] = static_cast<char>(flipped[offsets[k] + 16] ^ 0x80);
      variants.push_back({"record " + n + " with its first sign flipped", flipped});
    }
    variants.push_back({"every record kept", data});

    for (const Variant& v : variants) {
      SCOPED_TRACE(std::string(h.name) + ", " + v.name);
      TempDir dir;
      for (const auto& [name, bytes] : original) write_bytes(dir.path() / name, bytes);
      write_bytes(files(dir).data, v.data);
      {
        const auto before = snapshot(dir.path());
        auto read_only = Collection::open(dir.path(), OpenOptions{SyncMode::Never, true});
        ASSERT_TRUE(read_only.ok()) << read_only.error().message();
        expect_last_write(**read_only, h);
        read_only->reset();
        EXPECT_EQ(snapshot(dir.path()), before);
      }
      for (int round = 0; round < 2; ++round) {
        auto c = open(dir.path());
        ASSERT_NE(c, nullptr);
        expect_last_write(*c, h);
      }
      {
        auto c = open(dir.path());
        ASSERT_TRUE(c->flush().ok());
      }
      auto c = open(dir.path());
      expect_last_write(*c, h);
    }
  }
};

TEST_F(KeptEntryReplay, EndsWithTheLastWriteWhateverTheDataFileKept) {
  const std::vector<float> a{0.0f, 1.0f};  // its sign flip compares equal as a float
  const std::vector<float> b{2.0f, 3.0f};
  const History histories[] = {
      {"a, b, a, then a with a payload",
       {{false, a, false}, {false, b, false}, {false, a, false}, {false, a, true}},
       true},
      {"a with a payload, then a without",
       {{false, a, true}, {false, a, false}},
       true},
      {"a twice, then removed", {{false, a, false}, {false, a, false}, {true, {}, false}}, false},
      {"a, removed, a again", {{false, a, false}, {true, {}, false}, {false, a, false}}, true},
  };
  for (const History& h : histories) check(h);
}

// A crash can cut the last record of either file anywhere. Each cut must
// open with every complete record, and the torn bytes must be gone before
// new records are appended behind them.
class TornTail : public ::testing::Test {
 protected:
  // A collection whose data file holds ids 1 and 2 and whose log holds
  // ids 1, 2 and 3: its files' bytes, and the log's length without id 3.
  void SetUp() override {
    TempDir dir;
    { auto c = open(dir.path()); }
    write_data(files(dir).data, {{1, {1, 0}}, {2, {2, 0}}});
    write_wal(files(dir).wal, {wal_entry(WalEntryKind::Insert, 1, {1, 0}),
                               wal_entry(WalEntryKind::Insert, 2, {2, 0})});
    two_log_records_ = std::filesystem::file_size(files(dir).wal);
    write_wal(files(dir).wal, {wal_entry(WalEntryKind::Insert, 3, {3, 0})});
    original_ = snapshot(dir.path());
  }

  // Recreates the collection in dir with file_name cut to length bytes.
  void restore_cut(const TempDir& dir, const char* file_name, std::uint64_t length) const {
    for (const auto& [name, bytes] : original_) write_bytes(dir.path() / name, bytes);
    write_bytes(dir.path() / file_name, original_.at(file_name).substr(0, length));
  }

  // Opens with the cut file, checks the expected ids and that the file was
  // truncated to cut_back_to, then inserts id 9 and checks that a reopen
  // finds it behind the survivors.
  void expect_recovers(const TempDir& dir, const char* file_name, std::uint64_t cut_back_to,
                       const std::vector<std::uint64_t>& ids) const {
    std::vector<std::uint64_t> with_new = ids;
    with_new.push_back(9);
    {
      auto c = open(dir.path());
      ASSERT_NE(c, nullptr);
      EXPECT_EQ(ids_near(*c, {0, 0}), ids);
      EXPECT_EQ(std::filesystem::file_size(dir.path() / file_name), cut_back_to);
      ASSERT_TRUE(c->insert(9, std::vector<float>{9, 0}, {}).ok());
    }
    auto c = open(dir.path());
    EXPECT_EQ(ids_near(*c, {0, 0}), with_new);
  }

  std::map<std::string, std::string> original_;
  std::uint64_t two_log_records_ = 0;
};

TEST_F(TornTail, DataFileIsCutBackAtEveryByteOfItsLastRecord) {
  for (std::uint64_t kept = kRecordSize; kept < 2 * kRecordSize; ++kept) {
    SCOPED_TRACE("data file cut at " + std::to_string(kept));
    TempDir dir;
    restore_cut(dir, kDataFileName, kept);
    write_bytes(files(dir).wal, "");
    expect_recovers(dir, kDataFileName, kRecordSize, {1});
  }
}

TEST_F(TornTail, LogIsCutBackAtEveryByteOfItsLastRecord) {
  const std::uint64_t log_size = original_.at(kWalFileName).size();
  for (std::uint64_t kept = two_log_records_; kept < log_size; ++kept) {
    SCOPED_TRACE("log cut at " + std::to_string(kept));
    TempDir dir;
    restore_cut(dir, kWalFileName, kept);
    // Only the log can bring id 9 back at the reopen.
    write_bytes(files(dir).data, "");
    expect_recovers(dir, kWalFileName, two_log_records_, {1, 2});
  }
}

// A power failure can keep the data file's new length without its new
// bytes: zeros or the first part of a record after the last synced one.
// Nothing readable follows, so it is a torn tail; zeros with a readable
// record after them are damage.
TEST(Recovery, ADataFileTailWithNothingReadableAfterItIsCutOff) {
  auto record = [](std::uint64_t id) {
    TempDir scratch;
    write_data(scratch.file("d"), {{id, {7, 7}}});
    return read_bytes(scratch.file("d"));
  };
  std::string unparsable = record(7);
  unparsable[kRecordSize - 1] = 'X';
  struct Case {
    const char* name;
    std::string tail;
    bool damaged;
  };
  const Case cases[] = {
      {"a few zeros", std::string(5, '\0'), false},
      {"zeros up to a dim field", std::string(15, '\0'), false},
      {"a zeroed page", std::string(4096, '\0'), false},
      {"part of a record, then zeros", record(7).substr(0, 20) + std::string(50, '\0'), false},
      {"a complete last record that does not parse", unparsable, false},
      {"zeros, then a readable record", std::string(40, '\0') + record(8), true},
      {"an unparsable record, then a readable one", unparsable + record(8), true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    { auto created = open(dir.path()); }
    write_data(files(dir).data, {{1, {1, 1}}, {2, {2, 2}}});
    storage::io::testing::append_bytes(files(dir).data, c.tail);
    auto opened = Collection::open_or_create(dir.path(), config());
    if (c.damaged) {
      ASSERT_FALSE(opened.ok());
      EXPECT_EQ(opened.error().message().rfind("collection error: data file damaged at offset 72", 0),
                0u)
          << opened.error().message();
      continue;
    }
    ASSERT_TRUE(opened.ok()) << opened.error().message();
    EXPECT_EQ(ids_near(*opened.value(), {0, 0}), (std::vector<std::uint64_t>{1, 2}));
    EXPECT_EQ(std::filesystem::file_size(files(dir).data), 2 * kRecordSize);
  }
}

// Damage before the end of a file is not a torn write: truncating there
// would silently drop every record after it, so the open fails instead and
// leaves the files as they are.
TEST(Recovery, DamageBeforeTheEndFailsTheOpen) {
  struct Case {
    const char* name;
    const char* file;
    std::size_t position;  // of the damaged byte in the first record
    char value;
    const char* message_prefix;
  };
  const Case cases[] = {
      {"log body", kWalFileName, 12, 'X', "WAL corrupted: checksum mismatch: expected "},
      {"log length", kWalFileName, 4, 1, "WAL corrupted: checksum mismatch: expected "},
      {"data payload", kDataFileName, 25, 'X',
       "collection error: data file damaged at offset 0: io error: payload deserialize failed: "},
      {"data dim", kDataFileName, 10, 0x40,
       "collection error: data file damaged at offset 0: record of dimension 16386 runs past "
       "the end of the file"},
  };
  for (const Case& tc : cases) {
    TempDir dir;
    {
      auto c = open(dir.path());
      ASSERT_TRUE(c->insert(1, std::vector<float>{1, 1}, {}).ok());
      ASSERT_TRUE(c->insert(2, std::vector<float>{2, 2}, {}).ok());
      if (std::string(tc.file) == kDataFileName) {
        ASSERT_TRUE(c->flush().ok());
      }
      ASSERT_TRUE(c->insert(3, std::vector<float>{3, 3}, {}).ok());
    }
    const auto path = dir.path() / tc.file;
    std::string bytes = read_bytes(path);
    bytes[tc.position] = tc.value;
    write_bytes(path, bytes);
    const auto before = snapshot(dir.path());
    auto opened = Collection::open_or_create(dir.path(), config());
    ASSERT_FALSE(opened.ok()) << tc.name;
    EXPECT_EQ(opened.error().message().rfind(tc.message_prefix, 0), 0u)
        << tc.name << ": " << opened.error().message();
    EXPECT_EQ(snapshot(dir.path()), before) << tc.name;
  }
}

// The log is checked whole before any record is applied: good records in
// front of the damage must not reach the data file either.
TEST(Recovery, ALogDamagedAfterGoodRecordsChangesNoFile) {
  TempDir dir;
  {
    auto c = open(dir.path());
    for (std::uint64_t id = 1; id <= 3; ++id) {
      ASSERT_TRUE(c->insert(id, std::vector<float>{1, 2}, {}).ok());
    }
  }
  const auto path = dir.path() / kWalFileName;
  std::string bytes = read_bytes(path);
  const std::size_t second = 8 + storage::io::load_le<std::uint32_t>(bytes.data() + 4);
  bytes[second + 8 + 2] = 'X';  // inside the second record's body
  write_bytes(path, bytes);
  const auto before = snapshot(dir.path());
  auto opened = Collection::open_or_create(dir.path(), config());
  ASSERT_FALSE(opened.ok());
  EXPECT_EQ(opened.error().message().rfind("WAL corrupted: checksum mismatch: expected ", 0), 0u)
      << opened.error().message();
  EXPECT_EQ(snapshot(dir.path()), before);
}


// Past its memory budget the replay reads the remaining records a second
// time: whatever the budget, the same collection and the same files.
TEST(Recovery, AReplayPastItsMemoryBudgetGivesTheSameCollection) {
  TempDir source;
  const auto f = files(source);
  write_data(f.data, {{1, {1, 1}}, {2, {2, 2}}, {3, {3, 3}}});
  write_wal(f.wal, {
                       wal_entry(WalEntryKind::Insert, 4, {4, 4}),
                       wal_entry(WalEntryKind::Update, 1, {10, 10}),
                       wal_entry(WalEntryKind::Delete, 2),
                       wal_entry(WalEntryKind::Checkpoint, 0),
                       wal_entry(WalEntryKind::Insert, 9, {9, 9}),
                       wal_entry(WalEntryKind::Insert, 4, {40, 40}),
                       wal_entry(WalEntryKind::Delete, 3),
                   });
  {
    // One record with a payload, which the general reader reads.
    auto c = open(source.path());
    payload::Payload tagged;
    tagged.data["tag"] = JsonValue::string("x");
    ASSERT_TRUE(c->insert(5, std::vector<float>{5, 5}, tagged).ok());
  }
  struct Outcome {
    std::vector<std::uint64_t> ids;
    std::vector<std::optional<std::uint64_t>> offsets;
    std::uint64_t next_id;
    std::map<std::string, std::string> files;
  };
  auto open_copy = [&](std::uint64_t budget) {
    ScopedReplayMemoryBudget scoped(budget);
    TempDir copy;
    std::filesystem::copy(source.path(), copy.path(), std::filesystem::copy_options::recursive |
                                                          std::filesystem::copy_options::overwrite_existing);
    Outcome outcome;
    {
      auto c = open(copy.path());
      if (!c) return outcome;
      outcome.ids = ids_near(*c, {0, 0});
      for (std::uint64_t id = 0; id <= 10; ++id) outcome.offsets.push_back(c->offset_of(id));
      outcome.next_id = c->next_id();
    }
    outcome.files = snapshot(copy.path());
    return outcome;
  };
  const Outcome expected = open_copy(kDefaultReplayMemoryBudget);
  EXPECT_EQ(expected.ids, (std::vector<std::uint64_t>{5, 9, 1, 4}));
  for (std::uint64_t budget : {0, 1, 100, 300, 600}) {
    SCOPED_TRACE(budget);
    const Outcome got = open_copy(budget);
    EXPECT_EQ(got.ids, expected.ids);
    EXPECT_EQ(got.offsets, expected.offsets);
    EXPECT_EQ(got.next_id, expected.next_id);
    EXPECT_EQ(got.files, expected.files);
  }
}

// A small budget leaves the damaged record to the part the check does not
// keep: the open still fails before any file changes.
TEST(Recovery, ALogDamagedPastTheReplayBudgetChangesNoFile) {
  TempDir dir;
  {
    auto c = open(dir.path());
    for (std::uint64_t id = 1; id <= 6; ++id) {
      ASSERT_TRUE(c->insert(id, std::vector<float>{1, 2}, {}).ok());
    }
  }
  const auto path = dir.path() / kWalFileName;
  std::string bytes = read_bytes(path);
  bytes[bytes.size() - 90] ^= 0x01;  // inside the fifth record's body
  write_bytes(path, bytes);
  const auto before = snapshot(dir.path());
  ScopedReplayMemoryBudget scoped(200);
  auto opened = Collection::open_or_create(dir.path(), config());
  ASSERT_FALSE(opened.ok());
  EXPECT_EQ(opened.error().message().rfind("WAL corrupted: checksum mismatch: expected ", 0), 0u)
      << opened.error().message();
  EXPECT_EQ(snapshot(dir.path()), before);
}

}  // namespace
}  // namespace tarnvault_core::collection
