// Rebuilding a collection's state from its files when it is opened.
//
// Phase 1 loads the data file's live records; phase 2 replays the log on top
// of them through the apply operations. A crash can leave the last record of
// either file cut short, and a power failure can leave the bytes after the
// last synced one as zeros or garbage; such a torn tail, a bad record that
// no good record follows, never held an acknowledged write that was not also
// elsewhere, so it is cut off before anything new is appended behind it. A
// bad record that good ones follow fails the open: skipping it would
// silently drop them.
#include <algorithm>
#include <mutex>
#include <string>
#include <utility>

#include "core/collection/collection.h"
#include "core/collection/collection_files.h"
#include "core/collection/id_offset_map.h"
#include "core/collection/index_loader.h"
#include "core/collection/replay_budget.h"
#include "core/collection/torn_record.h"
#include "core/storage/data_file/data_record_codec.h"
#include "core/storage/data_file/record_follows.h"

namespace tarnvault_core::collection {

using storage::data_file::DataFileScan;
using storage::data_file::DataFileTail;
using storage::wal::Wal;
using storage::wal::WalEntry;
using storage::wal::WalEntryKind;

namespace {

Error damaged_data_file(std::uint64_t offset, const std::string& why) {
  return Error::collection_error("data file damaged at offset " + std::to_string(offset) + ": " +
                                 why);
}

}  // namespace

// Offsets of the records just read, put into the map a run at a time so
// that the table's cache misses overlap; a replaced offset is kept as a
// superseded record, in file order.
class Collection::OffsetLoader {
 public:
  OffsetLoader(IdOffsetMap& map, std::vector<SupersededRecord>& superseded)
      : map_(map), superseded_(superseded) {
    pending_.reserve(kRun);
  }
  void load(std::uint64_t id, std::uint64_t offset) {
    pending_.push_back({id, offset});
    if (pending_.size() == kRun) finish();
  }
  void finish() {
    for (const SupersededRecord& record : pending_) map_.prefetch(record.id);
    for (const SupersededRecord& record : pending_) {
      if (auto replaced = map_.put(record.id, record.offset)) {
        superseded_.push_back({record.id, *replaced});
      }
    }
    pending_.clear();
  }

 private:
  static constexpr std::size_t kRun = 64;
  IdOffsetMap& map_;
  std::vector<SupersededRecord>& superseded_;
  std::vector<SupersededRecord> pending_;  // (id, offset) of records read
};

Status Collection::recover() {
  TV_RETURN_IF_ERROR(load_data_file());
  return replay_log();
}

Status Collection::load_data_file() {
  std::vector<SupersededRecord> superseded;
  Result<DataFileScan> scanned = load_records(superseded);
  if (!scanned.ok()) return std::move(scanned).error();
  TV_RETURN_IF_ERROR(check_tail(*scanned));
  if (scanned->tail != DataFileTail::Clean && !read_only_) {
    std::unique_lock lock(data_file_mutex_);
    TV_RETURN_IF_ERROR(data_file_.truncate_to(scanned->valid_length));
  }
  // Records that a later record of their id replaced stay live in the file
  // until that one is known durable; the next flush marks them.
  for (const SupersededRecord& record : superseded) defer_mark(record.id, record.offset);
  return {};
}

Status Collection::check_tail(const DataFileScan& scan) const {
  if (scan.tail == DataFileTail::Clean) return {};
  // The data file has no checksum: a bad record is a torn write (cut short,
  // or left as zeros or garbage by a power failure) only when no readable
  // record follows it. One that does is damage, and truncating there would
  // silently throw the records after it away.
  auto follows = storage::data_file::data_record_follows(
      data_file_.path(), scan.valid_length, static_cast<std::uint32_t>(config_.dimension), *fs_);
  if (!follows.ok()) return std::move(follows).error();
  if (!*follows) return {};
  if (scan.tail == DataFileTail::Torn) {
    auto dim = read_torn_record_dim(*fs_, data_file_.path(), scan.valid_length);
    if (!dim.ok()) return std::move(dim).error();
    if (*dim && **dim != config_.dimension) {
      return damaged_data_file(scan.valid_length,
                               "record of dimension " + std::to_string(**dim) +
                                   " runs past the end of the file");
    }
  }
  return damaged_data_file(scan.valid_length, scan.tail_error->message());
}

Result<DataFileScan> Collection::load_records(std::vector<SupersededRecord>& superseded) {
  std::unique_lock index_lock(index_mutex_);
  std::unique_lock map_lock(id_to_offset_mutex_);
  // Room for the entries meta.json counted, so that neither table grows
  // (and rehashes or copies itself) during the load. Never more than
  // records of this dimension fit in the file, whatever meta.json says.
  const std::uint64_t smallest_record = storage::data_file::kHeaderSize +
                                        4 * std::uint64_t{config_.dimension} +
                                        storage::data_file::kPayloadLengthSize + 11;
  const std::uint64_t room =
      std::min(expected_entries_, data_file_.write_offset() / smallest_record);
  index_.reserve(static_cast<std::size_t>(room));
  id_to_offset_.reserve(static_cast<std::size_t>(room));

  std::uint64_t largest_id = 0;
  bool any = false;
  IndexLoader loader(index_);
  OffsetLoader offsets(id_to_offset_, superseded);
  Result<DataFileScan> scanned = [&] {
    std::shared_lock lock(data_file_mutex_);
    return data_file_.scan_each([&](storage::data_file::RecordVisit& record) {
      // File order is write order: a later record of an id replaces the
      // earlier one, exactly as the insert that wrote it did. A record the
      // index refuses (a vector of another length) is left out of the
      // search but still owns its id's offset.
      loader.load(record.id, record.vector, std::move(record.payload));
      offsets.load(record.id, record.offset);
      largest_id = std::max(largest_id, record.id);
      any = true;
    });
  }();
  // Whatever ended the scan, the records before that point are loaded.
  loader.finish();
  offsets.finish();
  std::unique_lock next_id_lock(next_id_mutex_);
  next_id_ = any ? largest_id + 1 : 1;
  return scanned;
}

Status Collection::replay_log() {
  // The whole log is checked before anything is applied, so a damaged log
  // fails the open with the files untouched. The check keeps the entries
  // it parsed while they fit a memory budget; records past the budget are
  // read again and applied one at a time, never all held at once.
  const std::filesystem::path wal_path = CollectionFiles::in(path_).wal;
  auto checked = Wal::check_with_tail(wal_path, replay_memory_budget(), *fs_);
  if (!checked.ok()) return std::move(checked).error();
  if (checked->has_torn_tail() && !read_only_) {
    std::unique_lock lock(wal_mutex_);
    TV_RETURN_IF_ERROR(wal_.truncate_to(checked->valid_length));
  }
  for (WalEntry& entry : checked->entries) {
    TV_RETURN_IF_ERROR(replay(entry));
    // Applied entries give their memory back while the index grows.
    entry.vector = {};
  }
  return Wal::for_each_entry(
      wal_path, checked->kept_length, checked->valid_length,
      [this](WalEntry& entry) { return replay(entry); }, *fs_);
}

Status Collection::replay(const WalEntry& entry) {
  if (read_only_) return replay_in_memory(entry);
  switch (entry.kind) {
    case WalEntryKind::Insert:
      return apply_insert_no_wal(entry.id, entry.vector, entry.payload);
    case WalEntryKind::Update:
      return apply_update_no_wal(entry.id, entry.vector, entry.payload);
    case WalEntryKind::Delete: {
      auto deleted = apply_delete_no_wal(entry.id);
      if (!deleted.ok()) return std::move(deleted).error();
      return {};
    }
    case WalEntryKind::Checkpoint:
      return {};
  }
  return {};
}

Status Collection::replay_in_memory(const WalEntry& entry) {
  if (entry.kind == WalEntryKind::Checkpoint) return {};
  {
    // As the apply operations leave the index: the logged record replaces
    // whatever the id had, or removes it.
    if (entry.kind != WalEntryKind::Delete) TV_RETURN_IF_ERROR(check_dimension(entry.vector));
    std::unique_lock lock(index_mutex_);
    index_.remove(entry.id);
    if (entry.kind == WalEntryKind::Delete) return {};
    TV_RETURN_IF_ERROR(index_.insert(entry.id, entry.vector, entry.payload));
  }
  if (entry.kind == WalEntryKind::Insert) raise_next_id(entry.id);
  return {};
}

}  // namespace tarnvault_core::collection
