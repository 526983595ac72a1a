// Failing disk calls, one at a time, inside insert, delete, flush, compact
// and open: every
// failure reaches the caller as the error of the step that failed, and
// afterwards the collection still works (or, for open, opens on the next
// try) and holds every write that was acknowledged.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "core/collection/collection.h"
#include "core/collection/collection_files.h"
#include "core/collection/collection_test_support.h"
#include "core/error/os_error.h"
#include "core/storage/data_file/data_record_codec.h"
#include "core/storage/io/testing/fault_injecting_file_system.h"
#include "core/storage/io/testing/test_support.h"

namespace tarnvault_core::collection {
namespace {

using storage::io::FaultInjectingFileSystem;
using storage::io::FsOp;
using storage::io::testing::append_bytes;
using storage::io::testing::read_bytes;
using storage::io::testing::TempDir;

enum class Operation { Insert, Delete, Flush, Compact, Open, OpenNew };

constexpr std::size_t kDimension = 2;
// The data file's write buffer of these collections: a few hundred records
// fill it, where the default size would take thousands (and many times the
// bytes that every scene writes and tracks).
constexpr std::size_t kDataBufferBytes = 8192;

CollectionConfig config(SyncMode sync_mode = SyncMode::Always) {
  CollectionConfig config{kDimension, DistanceMetric::DotProduct, sync_mode};
  config.data_buffer_bytes = kDataBufferBytes;
  return config;
}

std::vector<float> vector_of(std::uint64_t id) { return {static_cast<float>(id) + 0.5f, 0.25f}; }

// How many records of this test (an empty payload) the data file's write
// buffer holds.
constexpr std::size_t kBufferedRecords =
    kDataBufferBytes / (storage::data_file::kHeaderSize + 4 * kDimension +
                        storage::data_file::kPayloadLengthSize +
                        storage::data_file::kEmptyPayloadText.size());
// Ids 1 ... kFlushedIds are flushed, kUnflushedIds on are not.
constexpr std::uint64_t kFlushedIds = kBufferedRecords - 1;
constexpr std::uint64_t kUnflushedIds = 300;

// ids written and acknowledged before the operation under test: enough for
// the data file's write buffer to be one record short of spilling, and one
// replaced id, so that flush has a superseded record to mark.
std::vector<std::uint64_t> acknowledged_ids() {
  std::vector<std::uint64_t> ids;
  for (std::uint64_t id = 1; id <= kFlushedIds; ++id) ids.push_back(id);
  // With the second write of id 5, a buffer's worth.
  for (std::uint64_t id = kUnflushedIds; id < kUnflushedIds + kBufferedRecords - 1; ++id) {
    ids.push_back(id);
  }
  return ids;
}

constexpr std::uint64_t kTestedId = 1000;
static_assert(kFlushedIds < kUnflushedIds && kUnflushedIds + kBufferedRecords < kTestedId);
// Deleted by the tested delete: written twice, its first record superseded.
constexpr std::uint64_t kDeletedId = 5;
constexpr std::uint64_t kAfterwardsId = 2000;

// A collection in dir holding acknowledged_ids(), id 5 written twice, a
// flush after the first kFlushedIds ids. Written without syncing each
// insert (which only costs time here), then reopened as the tests use it:
// the reopen replays the unflushed inserts into the data file's write
// buffer.
std::unique_ptr<Collection> prepare(const std::filesystem::path& dir,
                                    storage::io::FileSystem& fs) {
  {
    auto opened = Collection::open_or_create(dir, config(SyncMode::Never), fs);
    EXPECT_TRUE(opened.ok());
    if (!opened.ok()) return nullptr;
    auto& c = *opened.value();
    for (std::uint64_t id : acknowledged_ids()) {
      EXPECT_TRUE(c.insert(id, vector_of(id), {}).ok());
      if (id == kFlushedIds) {
        EXPECT_TRUE(c.flush().ok());
        EXPECT_TRUE(c.insert(5, vector_of(5), {}).ok());
      }
    }
  }
  auto reopened = Collection::open_or_create(dir, config(), fs);
  EXPECT_TRUE(reopened.ok());
  return reopened.ok() ? std::move(reopened).value() : nullptr;
}

// A crash left half a record at the end of the log and zeros after the data
// file's last record: the open under test has them to cut off.
void leave_torn_tails(const std::filesystem::path& dir) {
  const CollectionFiles files = CollectionFiles::in(dir);
  const std::string log = read_bytes(files.wal);
  append_bytes(files.wal, log.substr(0, 40));
  append_bytes(files.data, std::string(20, '\0'));
}

// Runs the operation: on the scene's collection, or opening one into it.
Status run(Operation op, const std::filesystem::path& dir, std::unique_ptr<Collection>& c,
           storage::io::FileSystem& fs) {
  switch (op) {
    case Operation::Insert:
      return c->insert(kTestedId, vector_of(kTestedId), {});
    case Operation::Delete: {
      auto removed = c->remove(kDeletedId);
      if (!removed.ok()) return std::move(removed).error();
      return {};
    }
    case Operation::Flush:
      return c->flush();
    case Operation::Compact: {
      auto compacted = c->compact();
      if (!compacted.ok()) return std::move(compacted).error();
      return {};
    }
    case Operation::Open:
    case Operation::OpenNew: {
      auto opened = Collection::open_or_create(dir, config(), fs);
      if (!opened.ok()) return std::move(opened).error();
      c = std::move(opened).value();
      return {};
    }
  }
  return {};
}

// Holds every acknowledged id with its exact vector, the tested id (and the
// id a failed delete was to delete) at most in its exact form, and nothing
// else.
void expect_acknowledged(const Collection& c, bool with_afterwards, Operation op) {
  std::vector<std::uint64_t> expected = acknowledged_ids();
  if (op == Operation::Delete) std::erase(expected, kDeletedId);
  if (with_afterwards) expected.push_back(kAfterwardsId);
  const std::size_t all = c.len() + 1;
  std::map<std::uint64_t, float> held;
  for (const SearchResult& r : c.search(std::vector<float>{1, 0}, all)) held[r.id] = -r.distance;
  for (std::uint64_t id : expected) {
    ASSERT_EQ(held.count(id), 1u) << "acknowledged id " << id << " is missing";
    EXPECT_EQ(held[id], vector_of(id)[0]);
    held.erase(id);
  }
  for (const auto& [id, x] : held) {
    EXPECT_EQ(id, op == Operation::Delete ? kDeletedId : kTestedId);
    EXPECT_EQ(x, vector_of(id)[0]);
  }
}

struct FaultCase {
  Operation operation;
  FsOp op;
  int errnum;
  // Every failure must be reported with one of these prefixes, followed by
  // the system's text for errnum.
  std::vector<std::string> prefixes;
};

const std::vector<std::string> kMetaWrite = {"collection error: write meta failed: "};
// A data-file append that spills the write buffer names the record's field
// that did not fit.
const std::vector<std::string> kDataAppend = {
    "io error: write deleted marker failed: ", "io error: write id failed: ",
    "io error: write dim failed: ",            "io error: write vector failed: ",
    "io error: write payload_len failed: ",    "io error: write payload failed: "};

std::vector<std::string> joined(std::vector<std::string> a, const std::vector<std::string>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

std::vector<FaultCase> fault_cases() {
  std::vector<FaultCase> cases;
  // Under a sanitizer, EIO alone: ENOSPC takes the same paths.
  const std::vector<int> errnums =
      testing::kSanitized ? std::vector<int>{EIO} : std::vector<int>{EIO, ENOSPC};
  for (int errnum : errnums) {
    cases.push_back({Operation::Insert, FsOp::Pwrite, errnum,
                     joined({"io error: flush failed: "}, kDataAppend)});
    cases.push_back({Operation::Insert, FsOp::Fsync, errnum, {"io error: sync failed: "}});
    cases.push_back({Operation::Delete, FsOp::Pwrite, errnum,
                     {"io error: flush failed: ", "io error: write delete marker failed: "}});
    cases.push_back({Operation::Delete, FsOp::Fsync, errnum, {"io error: sync failed: "}});
    cases.push_back({Operation::Flush, FsOp::Pwrite, errnum,
                     {"io error: flush failed: ", "io error: write delete marker failed: ",
                      kMetaWrite[0]}});
    cases.push_back({Operation::Flush, FsOp::Fsync, errnum,
                     {"io error: sync failed: ", kMetaWrite[0]}});
    cases.push_back({Operation::Flush, FsOp::Open, errnum,
                     {"io error: truncate failed: ", "io error: open for delete failed: ",
                      kMetaWrite[0]}});
    cases.push_back({Operation::Flush, FsOp::Rename, errnum, kMetaWrite});
    // A compaction flushes, copies, locks, renames and syncs the directory.
    cases.push_back({Operation::Compact, FsOp::Pwrite, errnum,
                     {"io error: flush failed: ", "io error: write delete marker failed: ",
                      "io error: write copy failed: ", kMetaWrite[0]}});
    cases.push_back({Operation::Compact, FsOp::Fsync, errnum,
                     {"io error: sync failed: ", "collection error: sync dir failed: ",
                      kMetaWrite[0]}});
    cases.push_back({Operation::Compact, FsOp::Open, errnum,
                     {"io error: truncate failed: ", "io error: open for delete failed: ",
                      "io error: open for read failed: ", "io error: failed to open data file: ",
                      "collection error: lock failed: ", "collection error: sync dir failed: ",
                      kMetaWrite[0]}});
    cases.push_back({Operation::Compact, FsOp::Pread, errnum, {"io error: read record failed: "}});
    cases.push_back({Operation::Compact, FsOp::Lock, errnum, {"collection error: lock failed: "}});
    cases.push_back({Operation::Compact, FsOp::Rename, errnum,
                     {"collection error: rename failed: ", kMetaWrite[0]}});
    cases.push_back({Operation::Open, FsOp::Pwrite, errnum, kDataAppend});
    cases.push_back({Operation::Open, FsOp::Truncate, errnum, {"io error: truncate failed: "}});
    cases.push_back({Operation::Open, FsOp::Fsync, errnum, {"collection error: sync dir failed: "}});
    cases.push_back({Operation::OpenNew, FsOp::Mkdir, errnum,
                     {"collection error: create dir failed: "}});
    cases.push_back({Operation::OpenNew, FsOp::Pwrite, errnum, kMetaWrite});
    cases.push_back({Operation::OpenNew, FsOp::Fsync, errnum,
                     {"collection error: sync dir failed: ", kMetaWrite[0]}});
    cases.push_back({Operation::OpenNew, FsOp::Rename, errnum, kMetaWrite});
  }
  return cases;
}

const char* name_of(Operation op) {
  switch (op) {
    case Operation::Insert: return "insert";
    case Operation::Delete: return "delete";
    case Operation::Flush: return "flush";
    case Operation::Compact: return "compact";
    case Operation::Open: return "open";
    case Operation::OpenNew: return "open of a new collection";
  }
  return "";
}

bool starts_with_one_of(const std::string& message, const std::vector<std::string>& prefixes) {
  for (const std::string& prefix : prefixes) {
    if (message.rfind(prefix, 0) == 0) return true;
  }
  return false;
}

// The state before the operation, on a file system that only records syncs.
struct Scene {
  TempDir root;
  std::filesystem::path dir;
  FaultInjectingFileSystem fs;
  std::unique_ptr<Collection> collection;

  explicit Scene(Operation op) {
    fs.track_durability();
    dir = root.path() / "a" / "c";
    if (op == Operation::OpenNew) return;
    collection = prepare(dir, fs);
    if (op == Operation::Open) {
      // One more record to replay spills the data file's buffer.
      EXPECT_TRUE(collection->insert(kTestedId, vector_of(kTestedId), {}).ok());
      collection.reset();
      leave_torn_tails(dir);
    }
  }
};

TEST(IoErrorTest, EveryFailingCallIsReportedAndLosesNothingAcknowledged) {
  std::map<FsOp, std::size_t> injected;
  for (const FaultCase& tc : fault_cases()) {
    // How many calls of the kind the operation makes when nothing fails.
    std::size_t calls = 0;
    {
      Scene scene(tc.operation);
      const std::size_t before = scene.fs.calls(tc.op);
      const Status done = run(tc.operation, scene.dir, scene.collection, scene.fs);
      ASSERT_TRUE(done.ok()) << done.error().message();
      calls = scene.fs.calls(tc.op) - before;
    }
    ASSERT_GT(calls, 0u) << name_of(tc.operation) << " makes no call of kind "
                         << static_cast<int>(tc.op);
    if (tc.operation == Operation::Insert && tc.op == FsOp::Pwrite) {
      // The log's write, and the data file's buffer spilling.
      ASSERT_EQ(calls, 2u) << "the tested insert does not spill the data file's buffer";
    }
    for (std::size_t nth = 1; nth <= calls; ++nth) {
      SCOPED_TRACE(std::string(name_of(tc.operation)) + ", call " + std::to_string(nth) + " of " +
                   std::to_string(calls) + " fails with " + error::os_error_text(tc.errnum));
      Scene scene(tc.operation);
      scene.fs.fail_nth(tc.op, nth, tc.errnum);
      const Status done = run(tc.operation, scene.dir, scene.collection, scene.fs);
      ++injected[tc.op];
      ASSERT_FALSE(done.ok());
      const std::string message = done.error().message();
      EXPECT_TRUE(starts_with_one_of(message, tc.prefixes)) << message;
      const std::string os_text = error::os_error_text(tc.errnum);
      EXPECT_TRUE(message.size() >= os_text.size() &&
                  message.compare(message.size() - os_text.size(), os_text.size(), os_text) == 0)
          << message;
      scene.fs.clear();
      // A failed compaction leaves no new file behind.
      EXPECT_FALSE(std::filesystem::exists(CollectionFiles::in(scene.dir).compacting));
      // An open collection keeps working; a failed open succeeds next time.
      if (!scene.collection) {
        const Status reopened = run(Operation::Open, scene.dir, scene.collection, scene.fs);
        ASSERT_TRUE(reopened.ok()) << reopened.error().message();
      }
      Collection& c = *scene.collection;
      if (tc.operation == Operation::OpenNew) {
        EXPECT_EQ(c.len(), 0u);
        continue;
      }
      expect_acknowledged(c, false, tc.operation);
      ASSERT_TRUE(c.insert(kAfterwardsId, vector_of(kAfterwardsId), {}).ok());
      ASSERT_TRUE(c.flush().ok());
      scene.collection.reset();
      const Status reopened = run(Operation::Open, scene.dir, scene.collection, scene.fs);
      ASSERT_TRUE(reopened.ok()) << reopened.error().message();
      expect_acknowledged(*scene.collection, true, tc.operation);
    }
  }
  static const char* const kNames[] = {"open",  "close",    "pwrite", "pread",
                                       "fsync", "filesize", "stat",   "truncate",
                                       "rename", "lock",    "unlink", "mkdir"};
  std::string counts;
  for (const auto& [op, count] : injected) {
    counts += std::string(counts.empty() ? "" : " ") + kNames[static_cast<int>(op)] + "=" +
              std::to_string(count);
  }
  RecordProperty("injected_faults", counts);
}

}  // namespace
}  // namespace tarnvault_core::collection
