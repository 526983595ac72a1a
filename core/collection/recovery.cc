// Rebuilding a collection's state from its files when it is opened.
//
// Phase 1 loads the data file's live records; phase 2 replays the log on top
// of them through the apply operations. A crash can leave the last record of
// either file cut short; such a torn tail never held a completed write, so it
// is cut off before anything new is appended behind it. Any other damage
// fails the open: skipping it would silently drop the records after it.
#include <algorithm>
#include <mutex>
#include <string>
#include <utility>

#include "core/collection/collection.h"
#include "core/collection/collection_files.h"
#include "core/collection/torn_record.h"

namespace tarnvault_core::collection {

using storage::data_file::DataFileScan;
using storage::data_file::DataFileTail;
using storage::data_file::DataRecord;
using storage::wal::Wal;
using storage::wal::WalEntry;
using storage::wal::WalEntryKind;

namespace {

Error damaged_data_file(std::uint64_t offset, const std::string& why) {
  return Error::collection_error("data file damaged at offset " + std::to_string(offset) + ": " +
                                 why);
}

}  // namespace

Status Collection::recover() {
  TV_RETURN_IF_ERROR(load_data_file());
  return replay_log();
}

Status Collection::load_data_file() {
  Result<DataFileScan> scanned = [this] {
    std::shared_lock lock(data_file_mutex_);
    return data_file_.scan();
  }();
  if (!scanned.ok()) return std::move(scanned).error();
  TV_RETURN_IF_ERROR(check_tail(*scanned));
  if (scanned->tail == DataFileTail::Torn) {
    std::unique_lock lock(data_file_mutex_);
    TV_RETURN_IF_ERROR(data_file_.truncate_to(scanned->valid_length));
  }
  // Records that a later record of their id replaced stay live in the file
  // when a crash came between the two writes; marking them now keeps a
  // later delete of the id from bringing them back at the next open.
  for (std::uint64_t offset : load_records(std::move(scanned->records))) {
    TV_RETURN_IF_ERROR(mark_deleted(offset));
  }
  return {};
}

Status Collection::check_tail(const DataFileScan& scan) const {
  switch (scan.tail) {
    case DataFileTail::Clean:
      return {};
    case DataFileTail::Unreadable:
      return damaged_data_file(scan.valid_length, scan.tail_error->message());
    case DataFileTail::Torn:
      break;
  }
  // The data file has no checksum, so a damaged count in the middle of the
  // file also looks like a record running past its end. Every record this
  // collection writes has its dimension; a cut record claiming another one
  // is damage, and truncating there would throw away the records after it.
  auto dim = read_torn_record_dim(*fs_, data_file_.path(), scan.valid_length);
  if (!dim.ok()) return std::move(dim).error();
  if (*dim && **dim != config_.dimension) {
    return damaged_data_file(scan.valid_length,
                             "record of dimension " + std::to_string(**dim) +
                                 " runs past the end of the file");
  }
  return {};
}

std::vector<std::uint64_t> Collection::load_records(std::vector<DataRecord> records) {
  std::vector<std::uint64_t> superseded;
  std::uint64_t largest_id = 0;
  std::unique_lock index_lock(index_mutex_);
  std::unique_lock map_lock(id_to_offset_mutex_);
  for (DataRecord& record : records) {
    // File order is write order: a later record of an id replaces the
    // earlier one, exactly as the insert that wrote it did.
    index_.remove(record.id);
    // A record the index refuses (a vector of another length) is left out
    // of the search but still owns its id's offset.
    (void)index_.insert(record.id, record.vector, std::move(record.payload));
    auto [entry, added] = id_to_offset_.try_emplace(record.id, record.offset);
    if (!added) {
      superseded.push_back(entry->second);
      entry->second = record.offset;
    }
    largest_id = std::max(largest_id, record.id);
  }
  std::unique_lock next_id_lock(next_id_mutex_);
  next_id_ = records.empty() ? 1 : largest_id + 1;
  return superseded;
}

Status Collection::replay_log() {
  auto read = Wal::read_all_with_tail(CollectionFiles::in(path_).wal, *fs_);
  if (!read.ok()) return std::move(read).error();
  if (read->has_torn_tail()) {
    std::unique_lock lock(wal_mutex_);
    TV_RETURN_IF_ERROR(wal_.truncate_to(read->valid_length));
  }
  for (const WalEntry& entry : read->entries) TV_RETURN_IF_ERROR(replay(entry));
  return {};
}

Status Collection::replay(const WalEntry& entry) {
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

}  // namespace tarnvault_core::collection
