#include "core/collection/verify.h"

#include <gtest/gtest.h>

#include "core/collection/collection.h"
#include "core/collection/collection_meta.h"
#include "core/collection/collection_test_support.h"

namespace tarnvault_core::collection {
namespace {

using namespace testing;

struct Scenario {
  const char* name;
  std::vector<Stored> data;
  std::vector<WalEntry> log;
};

// The check must find what an open's recovery finds, and change no byte.
TEST(CheckCollection, FindsWhatRecoveryFindsAndChangesNothing) {
  const std::uint64_t top = ~std::uint64_t{0};
  const std::vector<Scenario> scenarios = {
      {"empty", {}, {}},
      {"data only", {{1, {1, 1}}, {7, {2, 2}}, {1, {3, 3}}}, {}},
      {"replaced twice in the log",
       {{1, {1, 1}}, {2, {2, 2}}},
       {wal_entry(WalEntryKind::Insert, 2, {3, 3}), wal_entry(WalEntryKind::Update, 2, {4, 4}),
        wal_entry(WalEntryKind::Insert, 3, {5, 5}), wal_entry(WalEntryKind::Delete, 3)}},
      {"a record of another length", {{1, {1, 1}}, {9, {1, 2, 3}}}, {}},
      {"log on data",
       {{1, {1, 1}}, {2, {2, 2}}},
       {wal_entry(WalEntryKind::Insert, 30, {3, 3}), wal_entry(WalEntryKind::Delete, 1),
        wal_entry(WalEntryKind::Update, 50, {5, 5}), wal_entry(WalEntryKind::Checkpoint, 0),
        wal_entry(WalEntryKind::Delete, 99)}},
      {"largest id", {{top, {1, 1}}}, {wal_entry(WalEntryKind::Insert, 4, {3, 3})}},
  };
  for (const Scenario& s : scenarios) {
    SCOPED_TRACE(s.name);
    TempDir dir;
    ASSERT_TRUE(write_meta_file(dir.path(), {2, "Euclidean", 0, 1}).ok());
    write_data(files(dir).data, s.data);
    write_wal(files(dir).wal, s.log);
    const std::string data_before = read_bytes(files(dir).data);
    const std::string wal_before = read_bytes(files(dir).wal);

    auto check = check_collection(dir.path());
    ASSERT_TRUE(check.ok()) << check.error().message();
    EXPECT_TRUE(check->damage.empty());
    EXPECT_EQ(read_bytes(files(dir).data), data_before);
    EXPECT_EQ(read_bytes(files(dir).wal), wal_before);

    auto opened = open(dir.path());
    ASSERT_NE(opened, nullptr);
    EXPECT_EQ(check->live_vectors, opened->len());
    EXPECT_EQ(check->next_id, opened->next_id());
    // Exactly what a compaction of it keeps and reclaims.
    auto compacted = opened->compact();
    ASSERT_TRUE(compacted.ok()) << compacted.error().message();
    EXPECT_EQ(check->data_live_bytes, compacted->bytes_after);
    EXPECT_EQ(check->data_dead_bytes, compacted->bytes_before - compacted->bytes_after);
  }
}

TEST(CheckCollection, RefusesWhatItCannotCheck) {
  TempDir dir;
  auto missing = check_collection(dir.path() / "missing");
  ASSERT_FALSE(missing.ok());
  EXPECT_NE(missing.error().message().find("no such directory"), std::string::npos);
  auto no_meta = check_collection(dir.path());
  ASSERT_FALSE(no_meta.ok());
  EXPECT_NE(no_meta.error().message().find("no meta.json"), std::string::npos);

  auto held = open(dir.path());
  auto refused = check_collection(dir.path());
  ASSERT_FALSE(refused.ok());
  EXPECT_NE(refused.error().message().find("is already open"), std::string::npos);
  held.reset();
  EXPECT_TRUE(check_collection(dir.path()).ok());
}

// Readers coexist: a check runs beside a read-only open, which keeps a
// writer out as before. (flock is symmetric: a check that got in beside a
// reader took the shared lock, which the reader would get beside it too.)
TEST(CheckCollection, SharesTheDirectoryWithReadOnlyOpens) {
  TempDir dir;
  open(dir.path()).reset();
  auto opened = Collection::open(dir.path(), OpenOptions{SyncMode::Batched, true});
  ASSERT_TRUE(opened.ok()) << opened.error().message();
  std::unique_ptr<Collection> reader = std::move(opened).value();
  EXPECT_TRUE(check_collection(dir.path()).ok());
  EXPECT_FALSE(Collection::open(dir.path()).ok());
  reader.reset();
  EXPECT_TRUE(Collection::open(dir.path()).ok());
}

}  // namespace
}  // namespace tarnvault_core::collection
