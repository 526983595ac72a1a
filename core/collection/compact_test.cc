// Compaction: what it keeps and drops, that nothing a caller can see changes
// (contents, enumeration order, later writes, a reopen), that the directory
// stays held, and that writes on other threads wait for it while searches
// go on. Crashes and disk failures inside it are in crash_point_test,
// io_error_test and killed_writer_test.
#include <gtest/gtest.h>

#include <fcntl.h>

#include <atomic>
#include <cerrno>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "core/collection/collection.h"
#include "core/collection/collection_test_support.h"

namespace tarnvault_core::collection {
namespace {

using namespace testing;

constexpr std::uint64_t kRecordSize = 36;  // dimension 2, empty payload
const std::string kPayloadText = R"({"data":{"k":"v"}})";

std::vector<float> vector_of(std::uint64_t id, float version = 0) {
  return {static_cast<float>(id), version};
}

payload::Payload tagged() {
  payload::Payload p;
  p.data["k"] = payload::JsonValue::string("v");
  return p;
}

// What a caller can see of a collection: ids in enumeration order, and each
// id's vector and payload.
struct Visible {
  std::vector<std::uint64_t> order;
  std::map<std::uint64_t, std::pair<std::vector<float>, payload::Payload>> held;
  bool operator==(const Visible&) const = default;
};

Visible visible(const Collection& c) {
  Visible v;
  v.order = c.ids();
  for (std::uint64_t id : v.order) v.held[id] = *c.get(id);
  return v;
}

// Every id's offset names a live record of that id with its vector (in a
// collection whose data file is flushed: reads see no write buffer).
void expect_offsets_agree(const Collection& c) {
  auto file = DataFile::open_read_only(CollectionFiles::in(c.path()).data);
  ASSERT_TRUE(file.ok());
  for (std::uint64_t id : c.ids()) {
    auto offset = c.offset_of(id);
    ASSERT_TRUE(offset.has_value()) << id;
    auto record = file->read_at(*offset);
    ASSERT_TRUE(record.ok()) << record.error().message();
    EXPECT_EQ(record->id, id);
    EXPECT_FALSE(record->deleted);
    EXPECT_EQ(record->vector, c.get(id)->first);
  }
}

struct Scenario {
  const char* name;
  // Writes into the collection in dir; may reopen it.
  std::function<void(const TempDir&, std::unique_ptr<Collection>&)> write;
  std::uint64_t bytes_before;  // once flushed
  std::uint64_t dropped;
  std::uint64_t live_bytes;
};

std::vector<Scenario> scenarios() {
  return {
      {"half deleted",
       [](const TempDir&, std::unique_ptr<Collection>& c) {
         for (std::uint64_t id = 1; id <= 40; ++id) ASSERT_TRUE(c->insert(id, vector_of(id), {}).ok());
         ASSERT_TRUE(c->flush().ok());
         for (std::uint64_t id = 2; id <= 40; id += 2) ASSERT_TRUE(c->remove(id).ok());
       },
       40 * kRecordSize, 20, 20 * kRecordSize},
      {"replaced, not yet flushed",
       [](const TempDir&, std::unique_ptr<Collection>& c) {
         for (std::uint64_t id = 1; id <= 20; ++id) ASSERT_TRUE(c->insert(id, vector_of(id), {}).ok());
         ASSERT_TRUE(c->flush().ok());
         for (std::uint64_t id = 1; id <= 10; ++id) {
           ASSERT_TRUE(c->insert(id, vector_of(id, 1), {}).ok());
         }
       },
       30 * kRecordSize, 10, 20 * kRecordSize},
      {"records a replay appended again",
       [](const TempDir& dir, std::unique_ptr<Collection>& c) {
         for (std::uint64_t id = 1; id <= 5; ++id) ASSERT_TRUE(c->insert(id, vector_of(id), {}).ok());
         c.reset();  // no flush: the reopen replays all five
         c = open(dir.path());
       },
       10 * kRecordSize, 5, 5 * kRecordSize},
      {"payloads, deleted and replaced",
       [](const TempDir&, std::unique_ptr<Collection>& c) {
         for (std::uint64_t id = 1; id <= 6; ++id) {
           ASSERT_TRUE(c->insert(id, vector_of(id), tagged()).ok());
         }
         ASSERT_TRUE(c->remove(3).ok());
         ASSERT_TRUE(c->insert(4, vector_of(4, 2), {}).ok());
       },
       6 * (kRecordSize - 11 + kPayloadText.size()) + kRecordSize, 2,
       4 * (kRecordSize - 11 + kPayloadText.size()) + kRecordSize},
      {"nothing dead", [](const TempDir&, std::unique_ptr<Collection>& c) {
         for (std::uint64_t id = 7; id > 0; --id) ASSERT_TRUE(c->insert(id, vector_of(id), {}).ok());
       },
       7 * kRecordSize, 0, 7 * kRecordSize},
      {"everything deleted", [](const TempDir&, std::unique_ptr<Collection>& c) {
         for (std::uint64_t id = 1; id <= 3; ++id) ASSERT_TRUE(c->insert(id, vector_of(id), {}).ok());
         for (std::uint64_t id = 1; id <= 3; ++id) ASSERT_TRUE(c->remove(id).ok());
       },
       3 * kRecordSize, 3, 0},
      {"empty", [](const TempDir&, std::unique_ptr<Collection>&) {}, 0, 0, 0},
  };
}

TEST(Compact, DropsDeadRecordsAndNothingACallerCanSee) {
  for (const Scenario& scenario : scenarios()) {
    SCOPED_TRACE(scenario.name);
    TempDir dir;
    auto c = open(dir.path());
    scenario.write(dir, c);
    ASSERT_TRUE(c);
    const Visible before = visible(*c);
    const auto near_before = ids_near(*c, {3, 0});

    auto stats = c->compact();
    ASSERT_TRUE(stats.ok()) << stats.error().message();
    const CollectionFiles paths = files(dir);
    EXPECT_EQ(stats->bytes_after, scenario.live_bytes);
    EXPECT_EQ(stats->records_dropped, scenario.dropped);
    EXPECT_EQ(stats->bytes_before, scenario.bytes_before);
    EXPECT_EQ(std::filesystem::file_size(paths.data), scenario.live_bytes);
    EXPECT_FALSE(std::filesystem::exists(paths.compacting));
    EXPECT_EQ(std::filesystem::file_size(paths.wal), 0u);  // it flushed first
    EXPECT_EQ(visible(*c), before);
    EXPECT_EQ(ids_near(*c, {3, 0}), near_before);
    expect_offsets_agree(*c);

    // A second compaction finds nothing to drop.
    auto again = c->compact();
    ASSERT_TRUE(again.ok());
    EXPECT_EQ(again->records_dropped, 0u);
    EXPECT_EQ(again->bytes_before, scenario.live_bytes);
    EXPECT_EQ(again->bytes_after, scenario.live_bytes);

    // A reopen finds what it would have found without the compaction, in
    // the same order: the copy kept file order.
    c.reset();
    c = open(dir.path());
    {
      // The same writes, flushed instead of compacted, and reopened.
      TempDir twin;
      auto uncompacted = open(twin.path());
      scenario.write(twin, uncompacted);
      ASSERT_TRUE(uncompacted->flush().ok());
      uncompacted.reset();
      uncompacted = open(twin.path());
      EXPECT_EQ(visible(*c), visible(*uncompacted));
    }
    EXPECT_EQ(visible(*c).held, before.held);
    expect_offsets_agree(*c);

    // Later writes land in the new file: a delete marks the right record,
    // a replacement supersedes it, and both survive a reopen.
    ASSERT_TRUE(c->insert(100, vector_of(100), {}).ok());
    if (!before.order.empty()) {
      ASSERT_TRUE(c->remove(before.order.front()).ok());
      if (before.order.size() > 1) {
        ASSERT_TRUE(c->insert(before.order[1], vector_of(9, 9), {}).ok());
      }
    }
    ASSERT_TRUE(c->flush().ok());
    const Visible after_writes = visible(*c);
    c.reset();
    c = open(dir.path());
    auto reopened = visible(*c);
    EXPECT_EQ(reopened.held, after_writes.held);
    expect_offsets_agree(*c);
  }
}

TEST(Compact, KeepsTheDirectoryHeld) {
  TempDir dir;
  auto c = open(dir.path());
  for (std::uint64_t id = 1; id <= 10; ++id) ASSERT_TRUE(c->insert(id, vector_of(id), {}).ok());
  ASSERT_TRUE(c->remove(4).ok());
  // Opened before the compaction: the file that loses its name.
  auto& fs = storage::io::default_file_system();
  auto old_name = storage::io::open_file(fs, files(dir).data, O_RDONLY);
  ASSERT_TRUE(old_name.ok());
  ASSERT_TRUE(c->compact().ok());

  auto second = Collection::open_or_create(dir.path(), config());
  ASSERT_FALSE(second.ok());
  EXPECT_EQ(second.error().message(),
            "collection error: lock failed: collection at " + dir.path().string() +
                " is already open");
  auto read_only = Collection::open(dir.path(), OpenOptions{SyncMode::Batched, true});
  EXPECT_FALSE(read_only.ok());
  // An opener that got the old name just before the rename is refused too,
  // and the old file's space is already given back.
  const Status late = (*old_name)->lock(storage::io::LockKind::Shared);
  ASSERT_FALSE(late.ok());
  EXPECT_EQ(late.error().os_error_number(), EWOULDBLOCK);
  EXPECT_EQ(*(*old_name)->size(), 0u);

  c.reset();
  EXPECT_TRUE(open(dir.path()) != nullptr);
}

TEST(Compact, OpenRemovesALeftoverAndReadOnlyOpensLeaveIt) {
  TempDir dir;
  {
    auto c = open(dir.path());
    ASSERT_TRUE(c->insert(1, vector_of(1), {}).ok());
    ASSERT_TRUE(c->flush().ok());
  }
  const CollectionFiles paths = files(dir);
  write_bytes(paths.compacting, "half a compaction");
  {
    auto read_only = Collection::open(dir.path(), OpenOptions{SyncMode::Batched, true});
    ASSERT_TRUE(read_only.ok());
    EXPECT_TRUE(std::filesystem::exists(paths.compacting));
    auto refused = read_only.value()->compact();
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.error().message(), "collection error: collection is read-only");
  }
  auto c = open(dir.path());
  EXPECT_FALSE(std::filesystem::exists(paths.compacting));
  EXPECT_TRUE(holds(*c, 1, vector_of(1)));
}

// Writers on other threads wait for the compaction and none of their writes
// is lost or pointed at the wrong file; searches run throughout and always
// find the vectors nobody touches.
TEST(Compact, WritesOnOtherThreadsWaitAndSearchesGoOn) {
  TempDir dir;
  auto c = open(dir.path(), config(2, DistanceMetric::Euclidean, SyncMode::Never));
  constexpr std::uint64_t kStable = 1000000;  // far from every other vector
  ASSERT_TRUE(c->insert(kStable, std::vector<float>{1e6f, 1e6f}, {}).ok());
  for (std::uint64_t id = 1; id <= 400; ++id) ASSERT_TRUE(c->insert(id, vector_of(id), {}).ok());

  std::atomic<bool> writing{true};
  std::atomic<int> bad_searches{0};
  std::thread searcher([&] {
    while (writing.load()) {
      const auto found = c->search(std::vector<float>{1e6f, 1e6f}, 1);
      if (found.size() != 1 || found[0].id != kStable || found[0].distance != 0) ++bad_searches;
    }
  });
  std::thread writer([&] {
    for (std::uint64_t id = 1; id <= 400; ++id) {
      // Replace odd ids, delete even ones, add new ones.
      const bool ok = id % 2 ? c->insert(id, vector_of(id, 1), {}).ok() : c->remove(id).ok();
      EXPECT_TRUE(ok);
      EXPECT_TRUE(c->insert(2000 + id, vector_of(2000 + id), {}).ok());
    }
  });
  for (int round = 0; round < 20; ++round) EXPECT_TRUE(c->compact().ok());
  writer.join();
  writing = false;
  searcher.join();
  EXPECT_EQ(bad_searches.load(), 0);
  ASSERT_TRUE(c->flush().ok());  // the writer may have outlasted the compactions
  expect_offsets_agree(*c);

  auto expect_all = [&](const Collection& held) {
    EXPECT_EQ(held.len(), 1 + 200 + 400u);
    for (std::uint64_t id = 1; id <= 400; ++id) {
      if (id % 2) {
        EXPECT_TRUE(holds(held, id, vector_of(id, 1))) << id;
      } else {
        EXPECT_FALSE(held.contains(id)) << id;
      }
      EXPECT_TRUE(holds(held, 2000 + id, vector_of(2000 + id))) << id;
    }
  };
  expect_all(*c);
  ASSERT_TRUE(c->compact().ok());
  c.reset();
  c = open(dir.path());
  expect_all(*c);
  EXPECT_EQ(std::filesystem::file_size(files(dir).data), c->len() * kRecordSize);
}

// The apply operations take no log lock, so a compaction can replace the
// data file between their append and their install, or between a delete's
// removal from the map and its mark: they must notice, and neither install
// an offset of the old file nor mark one in the new file.
TEST(Compact, ApplyOperationsRacingItNeverUseAnOldOffset) {
  TempDir dir;
  auto opened = open(dir.path());
  Collection& c = *opened;
  constexpr std::uint64_t kIds = 8;
  std::atomic<bool> running{true};
  std::vector<std::thread> appliers;
  for (int t = 0; t < 2; ++t) {
    appliers.emplace_back([&, t] {
      for (std::uint64_t round = 1; running.load(); ++round) {
        const std::uint64_t id = 1 + (round * 3 + t) % kIds;
        const bool ok = round % 5 == 0 ? c.apply_delete_no_wal(id).ok()
                                       : c.apply_update_no_wal(id, vector_of(id, t), {}).ok();
        EXPECT_TRUE(ok);
      }
    });
  }
  for (int round = 0; round < 100; ++round) EXPECT_TRUE(c.compact().ok());
  running = false;
  for (auto& t : appliers) t.join();
  ASSERT_TRUE(c.flush().ok());  // the last records may still be buffered
  expect_offsets_agree(c);
  // No stray mark either: every record left is a whole, readable one.
  auto stats = c.compact();
  ASSERT_TRUE(stats.ok()) << stats.error().message();
  EXPECT_EQ(stats->bytes_after, c.len() * kRecordSize);
}

}  // namespace
}  // namespace tarnvault_core::collection
