// Opening a collection directory and rebuilding the collection's state from
// its files, top to bottom:
//
//   open_or_create   the directory, meta.json and its dimension check, the
//                    log and the data file opened, the directory lock,
//                    a leftover of an unfinished compaction removed
//   open             an existing collection as meta.json describes it; read
//                    only, it changes no file: both files opened for
//                    reading, the lock shared, torn tails left in place and
//                    the log replayed into the index alone
//   recover          phase 1: the data file's live records into the index
//                    and the id-to-offset map, newest record of an id
//                    winning; phase 2: the log replayed on top through the
//                    apply operations
//
// A crash can leave the last record of either file cut short, and a power
// failure can leave the bytes after the last synced one as zeros or
// garbage; such a torn tail, a bad record that no good record follows,
// never held an acknowledged write that was not also elsewhere, so it is
// cut off before anything new is appended behind it. A bad record that good
// ones follow fails the open: skipping it would silently drop them. Each
// file's reader gives that verdict (WalReader, DataFile::scan_each); the
// open acts on it.

#include <algorithm>
#include <atomic>
#include <optional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "core/collection/collection.h"
#include "core/collection/collection_files.h"
#include "core/collection/collection_meta.h"
#include "core/collection/id_offset_map.h"
#include "core/collection/recovery.h"
#include "core/storage/data_file/data_record_codec.h"
#include "core/storage/io/directory.h"
#include "core/storage/io/file_system.h"
#include "core/storage/wal/wal_reader.h"

namespace tarnvault_core::collection {

using storage::data_file::DataFileScan;
using storage::data_file::DataFileTail;
using storage::wal::Wal;
using storage::wal::WalEntry;
using storage::wal::WalEntryKind;
using storage::wal::WalEntryRef;
using storage::wal::WalReader;

// ---- Opening -----------------------------------------------------------------

namespace {

// Creates dir with its missing parents; returns the directories it made.
Result<std::vector<std::filesystem::path>> ensure_directory(const std::filesystem::path& dir,
                                                            storage::io::FileSystem& fs) {
  std::vector<std::filesystem::path> created;
  if (fs.stat(dir).ok()) return created;
  if (auto made = storage::io::create_directories(fs, dir, created); !made.ok()) {
    return Error::collection_error("create dir failed: " + made.error().text());
  }
  return created;
}

// A power failure may forget names that were never synced into their
// directory: the files the open created (a synced log inside a forgotten
// wal.log would be lost with it), and the directories it made.
Status sync_new_names(const std::filesystem::path& dir,
                      const std::vector<std::filesystem::path>& created_dirs,
                      storage::io::FileSystem& fs) {
  auto sync = [&fs](const std::filesystem::path& d) -> Status {
    if (auto synced = storage::io::sync_directory(fs, d); !synced.ok()) {
      return Error::collection_error("sync dir failed: " + synced.error().text());
    }
    return {};
  };
  for (const auto& made : created_dirs) TV_RETURN_IF_ERROR(sync(made.parent_path()));
  return sync(dir);
}

// What the open takes from meta.json: the counter, and the size of the
// index when it was written, a hint for sizing the tables while loading.
struct StoredMeta {
  std::uint64_t next_id = 1;
  std::uint64_t vector_count = 0;
};

// meta.json's content, after checking its dimension against the
// configuration; the defaults for a new collection. Touches no file but
// meta.json.
Result<StoredMeta> check_meta(const CollectionFiles& files, const CollectionConfig& config,
                              bool is_new, storage::io::FileSystem& fs) {
  if (is_new) return StoredMeta{};
  auto meta = read_meta_file(files.meta, fs);
  if (!meta.ok()) return std::move(meta).error();
  if (meta->dimension != config.dimension) {
    return Error::collection_error("dimension mismatch: collection has " +
                                   std::to_string(meta->dimension) + ", config has " +
                                   std::to_string(config.dimension));
  }
  return StoredMeta{meta->next_id, meta->vector_count};
}

}  // namespace

Result<std::unique_ptr<Collection>> Collection::open_or_create(const std::filesystem::path& path,
                                                               CollectionConfig config,
                                                               storage::io::FileSystem& fs) {
  std::filesystem::path dir = path;
  auto created_dirs = ensure_directory(dir, fs);
  if (!created_dirs.ok()) return std::move(created_dirs).error();
  const CollectionFiles files = CollectionFiles::in(dir);
  const bool is_new = !fs.stat(files.meta).ok();
  auto stored = check_meta(files, config, is_new, fs);
  if (!stored.ok()) return std::move(stored).error();

  auto wal = storage::wal::Wal::open(files.wal, config.sync_mode, fs);
  if (!wal.ok()) return std::move(wal).error();
  auto data_file = storage::data_file::DataFile::open(files.data, fs, config.data_buffer_bytes);
  if (!data_file.ok()) return std::move(data_file).error();
  // Before recovery, which may cut the files' tails: only the owner may.
  auto lock = CollectionLock::acquire(dir, files.data, fs);
  if (!lock.ok()) return std::move(lock).error();
  // Left by a compaction that did not finish; data.qvf is whole beside it.
  // Removed only under the lock, which a running compaction holds. A file
  // that stays is harmless: the next compaction empties it first.
  if (fs.stat(files.compacting).ok()) (void)fs.unlink(files.compacting);

  std::unique_ptr<Collection> collection(
      new Collection(std::move(dir), config, fs, std::move(lock).value(), std::move(wal).value(),
                     std::move(data_file).value(), stored->next_id));
  collection->expected_entries_ = stored->vector_count;
  // Also for an existing collection: a process killed while creating it may
  // have left its names unsynced. Before recovery, which creates no name:
  // synced after it, the directory would wait for everything recovery
  // appended to reach the disk (a journal commit carries the data file's
  // new blocks), a tenth of a second for a large log, which the open does
  // not promise to make durable.
  TV_RETURN_IF_ERROR(sync_new_names(collection->path(), *created_dirs, fs));
  TV_RETURN_IF_ERROR(collection->recover());
  if (is_new) TV_RETURN_IF_ERROR(collection->save_meta());
  return collection;
}

Result<std::unique_ptr<Collection>> Collection::open(const std::filesystem::path& path,
                                                     OpenOptions options,
                                                     storage::io::FileSystem& fs) {
  const CollectionFiles files = CollectionFiles::in(path);
  if (!fs.stat(files.meta).ok()) {
    return Error::collection_error("no collection at " + path.string());
  }
  auto meta = read_meta_file(files.meta, fs);
  if (!meta.ok()) return std::move(meta).error();
  const auto metric = DistanceMetric::from_name(meta->metric);
  if (!metric) return Error::collection_error("unknown metric in meta.json: " + meta->metric);
  const CollectionConfig config{meta->dimension, *metric, options.sync_mode};
  if (!options.read_only) return open_or_create(path, config, fs);

  auto wal = storage::wal::Wal::open_read_only(files.wal, fs);
  if (!wal.ok()) return std::move(wal).error();
  auto data_file = storage::data_file::DataFile::open_read_only(files.data, fs);
  if (!data_file.ok()) return std::move(data_file).error();
  auto lock = CollectionLock::acquire(path, files.data, fs, storage::io::LockKind::Shared);
  if (!lock.ok()) return std::move(lock).error();
  std::unique_ptr<Collection> collection(
      new Collection(path, config, fs, std::move(lock).value(), std::move(wal).value(),
                     std::move(data_file).value(), meta->next_id));
  collection->expected_entries_ = meta->vector_count;
  collection->read_only_ = true;
  TV_RETURN_IF_ERROR(collection->recover());
  return collection;
}

Status Collection::recover() {
  TV_RETURN_IF_ERROR(load_data_file());
  return replay_log();
}

// ---- Phase 1: the data file --------------------------------------------------

namespace {

Error damaged_data_file(std::uint64_t offset, const std::string& why) {
  return Error::collection_error("data file damaged at offset " + std::to_string(offset) + ": " +
                                 why);
}

// Enough rows that the bulk insert fills whole groups and prefetches far
// ahead; few enough that the staged vectors stay in the L1 or L2 cache.
constexpr std::size_t kStagedRows = 64;

}  // namespace

// The data file's records go into the index through an IndexLoader
// (recovery.h) and into the id-to-offset map through an OffsetLoader.

IndexLoader::IndexLoader(BruteForceIndex& index) : index_(index) {
  staged_ids_.reserve(kStagedRows);
  staged_vectors_.reserve(kStagedRows * index.dimension());
}

void IndexLoader::load(std::uint64_t id, std::span<const float> vector,
                       payload::Payload&& payload) {
  if (!payload.data.empty() || vector.size() != index_.dimension()) {
    // Order matters (a removal moves the last entry): what is staged goes first.
    finish();
    replace(id, vector, std::move(payload));
    return;
  }
  staged_ids_.push_back(id);
  staged_vectors_.insert(staged_vectors_.end(), vector.begin(), vector.end());
  if (staged_ids_.size() == kStagedRows) finish();
}

void IndexLoader::finish() {
  // The bulk insert stops at a row whose id the index holds (a record that
  // replaces an earlier one, or a second record of an id within the run),
  // with the rows before it inserted; that row is replaced on its own and
  // the run goes on after it.
  std::size_t next = 0;
  while (next < staged_ids_.size()) {
    const std::size_t before = index_.len();
    const Status status = index_.insert_batch(
        std::span(staged_ids_).subspan(next),
        [this, next](std::size_t i) { return staged_row(next + i); });
    next += index_.len() - before;
    if (status.ok()) break;
    replace(staged_ids_[next], staged_row(next), {});
    ++next;
  }
  staged_ids_.clear();
  staged_vectors_.clear();
}

void IndexLoader::replace(std::uint64_t id, std::span<const float> vector,
                          payload::Payload&& payload) {
  index_.remove(id);
  (void)index_.insert(id, vector, std::move(payload));
}

std::span<const float> IndexLoader::staged_row(std::size_t i) const {
  const std::size_t dimension = index_.dimension();
  return std::span(staged_vectors_).subspan(i * dimension, dimension);
}

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

Status Collection::load_data_file() {
  std::vector<SupersededRecord> superseded;
  Result<DataFileScan> scanned = load_records(superseded);
  if (!scanned.ok()) return std::move(scanned).error();
  if (scanned->damaged) return damaged_data_file(scanned->valid_length, scanned->damage);
  if (scanned->tail != DataFileTail::Clean && !read_only_) {
    std::unique_lock lock(data_file_mutex_);
    TV_RETURN_IF_ERROR(data_file_.truncate_to(scanned->valid_length));
  }
  // Records that a later record of their id replaced stay live in the file
  // until that one is known durable; the next flush marks them.
  for (const SupersededRecord& record : superseded) {
    defer_mark(record.id, record.offset, data_generation_);
  }
  return {};
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
    }, config_.dimension);
  }();
  // Whatever ended the scan, the records before that point are loaded.
  loader.finish();
  offsets.finish();
  std::unique_lock next_id_lock(next_id_mutex_);
  next_id_ = any ? largest_id + 1 : 1;
  return scanned;
}

// ---- Phase 2: the log ---------------------------------------------------------

namespace {

std::atomic<std::uint64_t> budget{kDefaultReplayMemoryBudget};

// How many entries ahead replay asks for the memory an entry's lookups need.
constexpr std::size_t kReplayPrefetchDistance = 8;

}  // namespace

std::uint64_t replay_memory_budget() { return budget.load(std::memory_order_relaxed); }

ScopedReplayMemoryBudget::ScopedReplayMemoryBudget(std::uint64_t bytes)
    : previous_(budget.exchange(bytes, std::memory_order_relaxed)) {}

ScopedReplayMemoryBudget::~ScopedReplayMemoryBudget() {
  budget.store(previous_, std::memory_order_relaxed);
}

Status Collection::replay_log() {
  // The whole log is checked before anything is applied, so a damaged log
  // fails the open with the files untouched. The check keeps the entries
  // it parsed while they fit a memory budget; records past the budget are
  // read again and applied one at a time, never all held at once.
  auto reader = WalReader::open(CollectionFiles::in(path_).wal, *fs_);
  if (!reader.ok()) return std::move(reader).error();
  auto checked = reader->read(replay_memory_budget());
  if (!checked.ok()) return std::move(checked).error();
  if (checked->damaged) return std::move(*checked->tail_error);
  if (checked->has_torn_tail() && !read_only_) {
    std::unique_lock lock(wal_mutex_);
    TV_RETURN_IF_ERROR(wal_.truncate_to(checked->valid_length));
  }
  const std::vector<storage::wal::KeptEntry>& entries = checked->entries;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    // The id's place in the map and in the index, wanted a few entries on:
    // both are hashed, so each lookup would otherwise wait on memory. A
    // hint only, and no other thread sees the collection while it opens.
    if (i + kReplayPrefetchDistance < entries.size()) {
      const std::uint64_t ahead = entries[i + kReplayPrefetchDistance].id;
      id_to_offset_.prefetch(ahead);
      index_.prefetch(ahead);
    }
    TV_RETURN_IF_ERROR(replay(entries[i].ref()));
  }
  const std::uint64_t kept_length = checked->kept_length;
  const std::uint64_t valid_length = checked->valid_length;
  // The kept entries' memory goes back before the rest is read.
  *checked = storage::wal::WalReadResult{};
  return reader->for_each(kept_length, valid_length,
                          [this](WalEntry& entry) { return replay(entry.ref()); });
}

Status Collection::replay(const WalEntryRef& entry) {
  if (read_only_) return replay_in_memory(entry);
  // As apply_insert_no_wal and apply_update_no_wal, except that an index
  // entry that already holds what the record says stays where it is: most
  // logged writes were loaded from the data file moments ago, and removing
  // and inserting them again costs a tenth of the open.
  switch (entry.kind) {
    case WalEntryKind::Insert:
      TV_RETURN_IF_ERROR(store(entry.id, entry.vector, entry.payload, true));
      raise_next_id(entry.id);
      return {};
    case WalEntryKind::Update:
      return store(entry.id, entry.vector, entry.payload, true);
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

Status Collection::replay_in_memory(const WalEntryRef& entry) {
  if (entry.kind == WalEntryKind::Checkpoint) return {};
  {
    // As the apply operations leave the index: the logged record replaces
    // whatever the id had, or removes it.
    if (entry.kind != WalEntryKind::Delete) TV_RETURN_IF_ERROR(check_dimension(entry.vector));
    std::unique_lock lock(index_mutex_);
    // An entry that already holds what the record says stays where it is.
    const bool same = entry.kind != WalEntryKind::Delete &&
                      index_.holds(entry.id, entry.vector, entry.payload);
    if (!same) {
      index_.remove(entry.id);
      if (entry.kind == WalEntryKind::Delete) return {};
      TV_RETURN_IF_ERROR(index_.insert(entry.id, entry.vector, entry.payload));
    }
  }
  if (entry.kind == WalEntryKind::Insert) raise_next_id(entry.id);
  return {};
}

}  // namespace tarnvault_core::collection
