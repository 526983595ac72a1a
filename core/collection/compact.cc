// Compaction: rewriting data.qvf without its dead records.
//
// The data file only grows: a replaced or deleted vector leaves its record
// behind, marked deleted. Compaction copies each id's current record, in
// file order, to data.qvf.compact, syncs that file and renames it over
// data.qvf, then syncs the directory. Every moment of it leaves one of two
// complete files under the name data.qvf:
//
//   before the rename   the old file, synced by the flush that starts the
//                       compaction; the half-written new file is removed
//                       on failure, or by the next open after a crash
//   after the rename    the new file, synced before it took the name; until
//                       the directory sync the old name may come back after
//                       a power failure, which is still the old file
//
// The log need not be empty at a crash: its records were applied before the
// copy, and replaying them on either file gives the same state. Only the
// id-to-offset map changes in memory; the index, and so every search and
// the order of equal distances, stays as it was. Because the copy keeps file
// order, a later open loads the records in the order it would have loaded
// the old file's live ones.
#include <algorithm>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "core/collection/collection.h"
#include "core/collection/collection_files.h"
#include "core/storage/io/directory.h"

namespace tarnvault_core::collection {

using storage::data_file::KeptRecord;

Result<CompactionStats> Collection::compact() {
  TV_RETURN_IF_ERROR(check_writable());
  // Held to the end: a logged write that reached the old file after the
  // copy would be lost with it.
  std::unique_lock wal_lock(wal_mutex_);
  TV_RETURN_IF_ERROR(flush_locked());
  auto stats = rewrite_data_file();
  wal_lock.unlock();
  if (!stats.ok()) return stats;
  TV_RETURN_IF_ERROR(save_meta());
  return stats;
}

Result<CompactionStats> Collection::rewrite_data_file() {
  const CollectionFiles files = CollectionFiles::in(path_);
  auto discard_copy = [&] { (void)fs_->unlink(files.compacting); };
  CompactionStats stats;
  std::optional<storage::data_file::DataFile> old_file;
  {
    // The map and the data file change together, so that every offset in
    // the map always points into the file in use.
    std::unique_lock map_lock(id_to_offset_mutex_);
    std::unique_lock data_lock(data_file_mutex_);
    std::vector<KeptRecord> kept;
    kept.reserve(id_to_offset_.size());
    id_to_offset_.for_each([&kept](std::uint64_t id, std::uint64_t offset) {
      kept.push_back({offset, id});
    });
    std::sort(kept.begin(), kept.end(),
              [](const KeptRecord& a, const KeptRecord& b) { return a.offset < b.offset; });
    stats.bytes_before = data_file_.write_offset();
    auto copy = data_file_.copy_records(files.compacting, kept);
    if (!copy.ok()) {
      discard_copy();
      return std::move(copy).error();
    }
    // The directory's lock lives on a handle of data.qvf: the new file takes
    // it before it takes the name, so the directory is never unheld.
    auto lock = CollectionLock::acquire(path_, files.compacting, *fs_);
    if (!lock.ok()) {
      discard_copy();
      return std::move(lock).error();
    }
    if (Status renamed = fs_->rename(files.compacting, files.data); !renamed.ok()) {
      discard_copy();
      return Error::collection_error("rename failed: " + renamed.error().text());
    }
    // From here on data.qvf is the new file, whatever fails.
    copy->file.renamed(files.data);
    lock_.move_to(std::move(lock).value());
    for (const KeptRecord& record : kept) id_to_offset_.put(record.id, record.offset);
    // Offsets taken before this point name records of the old file: an apply
    // operation that holds one finds the generation changed. Records that
    // apply operations superseded since the flush were not copied.
    ++data_generation_;
    superseded_.clear();
    stats.bytes_after = copy->file.write_offset();
    stats.records_dropped = copy->dropped;
    old_file.emplace(std::exchange(data_file_, std::move(copy->file)));
  }
  // Until the directory is synced a power failure may bring the old name
  // back, and with it the old file, so its bytes must stay.
  if (Status synced = storage::io::sync_directory(*fs_, path_); !synced.ok()) {
    return Error::collection_error("sync dir failed: " + synced.error().text());
  }
  // Nothing can bring the old file back now. Its space goes at once, although
  // the lock's retired handle keeps the file open.
  (void)old_file->truncate_to(0);
  return stats;
}

}  // namespace tarnvault_core::collection
