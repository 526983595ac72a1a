// Collection: a persistent vector collection in one directory.
//
// A change is first appended to the write-ahead log (wal.log) and only then
// applied, by an operation that does not log, to the append-only data file
// (data.qvf), the in-memory index and the id-to-offset map. Opening rebuilds
// the index from the data file's live records and replays the log through
// the same apply operations. flush() makes the data file durable and only
// then empties the log, so every logged change is always either in the log
// or durable in the data file.
//
// Thread safety: a Collection may be shared between threads; every operation
// may be called concurrently. The index, the log, the data file, the
// id-to-offset map and the next_id counter each sit behind their own
// reader-writer lock, and the writing of meta.json behind a plain mutex. They
// are always taken in this order: log, data file; log, index, map, next_id;
// log, map, data file (compaction); meta, index, next_id; no operation takes
// two of them the other way round, and none holds the data file's lock while
// taking another. An insert holds
// the log's lock until its change is applied, so inserts reach the index in
// the order they were logged, and a flush never empties the log of an insert
// whose data record it has not synced.
// Searches take only the index's read lock, which a compaction never needs:
// the index does not change when the data file is rewritten. When apply
// operations of one id race each other, the record appended last to the
// data file wins, in memory as after a reopen. A compaction keeps logged
// writes out by the log's lock; an apply operation called beside it notices
// that the data file was replaced under it and appends its record again.
//
// The Python objects add a guard of their own: searches share an object and
// writes hold it alone, so from Python the locks here are contended only by
// concurrent searches, which share them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <span>
#include <utility>
#include <vector>

#include "core/collection/collection_config.h"
#include "core/collection/collection_lock.h"
#include "core/collection/id_offset_map.h"
#include "core/error/result.h"
#include "core/filter/filter.h"
#include "core/index/brute_force/brute_force_index.h"
#include "core/payload/payload.h"
#include "core/storage/data_file/data_file.h"
#include "core/storage/data_file/data_file_scan.h"
#include "core/storage/data_file/data_record.h"
#include "core/storage/io/file_system.h"
#include "core/storage/wal/batch_framer.h"
#include "core/storage/wal/wal.h"

namespace tarnvault_core::collection {

class IndexLoader;

// What a compaction did: the size of data.qvf before (once flushed) and
// after, and how many records it left behind (deleted ones, and ones that a
// later record of their id replaced).
struct CompactionStats {
  std::uint64_t bytes_before = 0;
  std::uint64_t bytes_after = 0;
  std::uint64_t records_dropped = 0;
};

// How Collection::open opens an existing collection.
struct OpenOptions {
  SyncMode sync_mode = SyncMode::Batched;
  // Changes no file: the data file is loaded and the log replayed in memory
  // only, under a lock shared with other read-only opens and refused while a
  // writer holds the directory. Every write then fails.
  bool read_only = false;
};

class Collection {
 public:
  // Creates the directory (and its parents) when missing, opens or creates
  // the collection in it and recovers its state. A directory without
  // meta.json is a new collection. Refuses a stored dimension other than
  // config.dimension before touching any other file, and a directory that
  // another live Collection holds open.
  static Result<std::unique_ptr<Collection>> open_or_create(
      const std::filesystem::path& path, CollectionConfig config,
      storage::io::FileSystem& fs = storage::io::default_file_system());

  // Opens the collection already in path, with the dimension and metric its
  // meta.json records. A directory without meta.json fails with
  // CollectionError "no collection at {path}", and nothing is created.
  static Result<std::unique_ptr<Collection>> open(
      const std::filesystem::path& path, OpenOptions options = {},
      storage::io::FileSystem& fs = storage::io::default_file_system());

  Collection(const Collection&) = delete;
  Collection& operator=(const Collection&) = delete;
  // Writes out the log's and the data file's buffers without syncing; no
  // checkpoint, so whatever was logged since the last flush is replayed at
  // the next open. The directory lock is released last.
  ~Collection() = default;

  // Rebuilds the state from the files: the data file's live records, then
  // the log replayed on top. Torn tails left by a crash are cut off; any
  // other damage fails. Called once, by open_or_create.
  Status recover();

  // Logs an Insert record, then applies it. A vector of another length than
  // the dimension is refused before anything is logged. An id already held
  // is replaced; its earlier record is marked deleted by the next flush.
  Status insert(std::uint64_t id, std::span<const float> vector, payload::Payload payload);

  // The vector of the i-th pair of a batch.
  using VectorAt = std::function<std::span<const float>(std::size_t)>;
  // Inserts the pairs (ids[i], vector_at(i)) in order, each with
  // payloads[i] (moved from) or, when payloads is empty, an empty payload.
  // The same as insert() once per pair, except for when the log is written
  // and synced (group commit): the records of about BatchLimits::group_bytes
  // of log go to the file in writes of about run_bytes, then the log syncs
  // once as its sync mode says (Wal::sync_if_due), and only then are those
  // pairs applied. So when the call returns at most 99 records are unsynced;
  // and the data file never holds a record of the batch whose log record is
  // not synced (unless the sync mode did not ask for one), so a crash at any
  // moment leaves a prefix of the batch. A group's records are framed in
  // memory before it is written, a large group's on two threads, and the
  // next group is framed while a helper thread syncs the one before it;
  // file operations never overlap. vector_at is only called on the calling
  // thread. At the first pair that fails (a vector of the wrong length, a
  // component JSON cannot hold, an I/O error) the call stops with its
  // error, the pairs before it inserted; except that a failed write or sync
  // of the log fails the records of its run or group with it.
  Status insert_batch(std::span<const std::uint64_t> ids, const VectorAt& vector_at,
                      std::span<payload::Payload> payloads = {});
  // The sizes of insert_batch's writes and syncs; tests shrink them to get
  // many groups out of a few records. Not to be called beside a write.
  void set_batch_limits(storage::wal::BatchLimits limits) { batch_limits_ = limits; }
  // Logs a Delete record, then applies it (apply_delete_no_wal), so that it
  // is as durable as an insert. True when the id was held.
  Result<bool> remove(std::uint64_t id);

  // The k nearest live vectors (filtered, when a filter is given); never
  // fails: a query of the wrong length yields nothing.
  std::vector<SearchResult> search(std::span<const float> query, std::size_t k,
                                   const filter::Filter* filter = nullptr) const;
  // search for each query in order, in one scan of the index.
  std::vector<std::vector<SearchResult>> search_batch(std::span<const std::span<const float>> queries,
                                                      std::size_t k,
                                                      const filter::Filter* filter = nullptr) const;

  // Syncs the data file, then checkpoints (empties) the log, then rewrites
  // meta.json; a failed step leaves the later ones undone.
  Status flush();

  // Reclaims the space of dead records: flushes, then rewrites data.qvf with
  // only each id's current record, in file order, through a new file that is
  // synced, locked and renamed over it before the directory is synced. Then
  // the map points into the new file; the index, and with it every search
  // and the enumeration order, does not change. Writes wait until it ends;
  // searches go on. A crash at any moment leaves the old file or the new
  // one, both complete; the next open removes a leftover new file. A failure
  // before the rename keeps the old file in use and removes the new one;
  // once the rename is done the new file is in use even if the directory
  // sync that follows fails (its error is returned).
  Result<CompactionStats> compact();

  // The apply operations: change the data file, the index and the map without
  // logging. insert() and log replay share them.
  Status apply_insert_no_wal(std::uint64_t id, std::span<const float> vector,
                             payload::Payload payload);
  // As apply_insert_no_wal, but leaves next_id alone.
  Status apply_update_no_wal(std::uint64_t id, std::span<const float> vector,
                             payload::Payload payload);
  // Removes the id and marks its record deleted. True when the index held it.
  Result<bool> apply_delete_no_wal(std::uint64_t id);

  // Writes meta.json from the live configuration, index size and next_id.
  Status save_meta() const;

  const std::filesystem::path& path() const { return path_; }
  const CollectionConfig& config() const { return config_; }
  bool read_only() const { return read_only_; }
  // Entries in the index.
  std::size_t len() const;
  bool contains(std::uint64_t id) const;
  // The id's vector and payload; nullopt when the collection lacks it.
  std::optional<std::pair<std::vector<float>, payload::Payload>> get(std::uint64_t id) const;
  // The ids in enumeration order, the order equal distances take in a search.
  std::vector<std::uint64_t> ids() const;
  // One more than the largest id applied (modulo 2^64); 1 when empty.
  std::uint64_t next_id() const;
  // Data-file offset of the id's current record.
  std::optional<std::uint64_t> offset_of(std::uint64_t id) const;
  // Records logged since the log last synced: what a power loss may take
  // back (at most 99 in the Batched mode).
  std::size_t unsynced_log_records() const;

 private:
  Collection(std::filesystem::path path, CollectionConfig config, storage::io::FileSystem& fs,
             CollectionLock lock, storage::wal::Wal wal, storage::data_file::DataFile data_file,
             std::uint64_t next_id);

  // Applies pairs [first, end) of a batch whose log records are synced, as
  // apply_insert_no_wal would one by one, but with their data records
  // written in large pieces. Stops at the first failure, the pairs before
  // it applied.
  Status apply_batch(std::span<const std::uint64_t> ids, const VectorAt& vector_at,
                     std::span<payload::Payload> payloads, std::size_t first, std::size_t end);
  // flush() up to meta.json, with the log's lock held.
  Status flush_locked();
  // compact() after its flush, with the log's lock held.
  Result<CompactionStats> rewrite_data_file();

  Status check_dimension(std::span<const float> vector) const;
  Status check_writable() const;
  // Where a record lies: its offset in the data file of a generation, which
  // each compaction raises. An offset of an older generation names nothing.
  struct RecordPlace {
    std::uint64_t offset = 0;
    std::uint64_t generation = 0;
  };
  // Appends the record and installs it as the id's current one, and defers
  // the mark of the record it replaced; shared by insert and update.
  // keep_same_entry: a replayed write leaves an index entry that already
  // holds exactly this vector and payload where it is (see install).
  Status store(std::uint64_t id, std::span<const float> vector, payload::Payload payload,
               bool keep_same_entry = false);
  Result<RecordPlace> append_record(std::uint64_t id, std::span<const float> vector,
                                    const payload::Payload& payload);
  // Makes the record at place the id's current one in the index and the map
  // (moving the payload into the index), unless a record appended later
  // already is. superseded receives the offset of the record that is no
  // longer current, if any: the earlier one, or this one when it lost to a
  // later record. False, with nothing changed, when a compaction replaced
  // the data file since the record was appended.
  Result<bool> install(std::uint64_t id, std::span<const float> vector, payload::Payload& payload,
                       RecordPlace place, std::optional<std::uint64_t>& superseded,
                       bool keep_same_entry = false);
  // A record that a newer one of its id replaced. It stays live in the file
  // until the replacement is durable: marked any earlier, a crash could
  // leave the mark on disk and the replacement lost, and with them the id.
  // Loading lets the newest record of an id win, so an unmarked one is
  // harmless meanwhile.
  struct SupersededRecord {
    std::uint64_t id;
    std::uint64_t offset;
  };
  void defer_mark(std::uint64_t id, std::optional<std::uint64_t> offset,
                  std::uint64_t generation);
  // Marks the deferred records, then syncs the marks; the data file's lock
  // must be held and the data file just synced.
  Status mark_superseded_records();
  // For a delete: marks the id's deferred records and its current one.
  Status mark_deleted_now(std::uint64_t id, const RecordPlace* current);
  void raise_next_id(std::uint64_t id);

  // Recovery, phase 1: the data file. Phase 2: the log.
  Status load_data_file();
  Status replay_log();
  Status replay(const storage::wal::WalEntryRef& entry);
  // A read-only open's replay: the index and next_id only, no file touched.
  // The id-to-offset map keeps what the data file said; nothing reads it
  // without a write, and writes are refused.
  Status replay_in_memory(const storage::wal::WalEntryRef& entry);
  // Streams the live records into the index and the map as the data file is
  // read, newest record of an id winning, and sets next_id. superseded
  // receives the records that lost.
  Result<storage::data_file::DataFileScan> load_records(std::vector<SupersededRecord>& superseded);
  class OffsetLoader;

  // Declared first so that it is released last, after the log and the data
  // file have written out their buffers.
  CollectionLock lock_;
  const std::filesystem::path path_;
  const CollectionConfig config_;
  storage::io::FileSystem* fs_;

  mutable std::shared_mutex index_mutex_;
  index::brute_force::BruteForceIndex index_;

  mutable std::shared_mutex wal_mutex_;
  storage::wal::Wal wal_;
  storage::wal::BatchLimits batch_limits_;

  mutable std::shared_mutex data_file_mutex_;
  storage::data_file::DataFile data_file_;
  std::vector<SupersededRecord> superseded_;  // guarded by data_file_mutex_
  // Raised by each compaction, which holds the locks of the data file and of
  // the map; read under either.
  std::uint64_t data_generation_ = 0;

  mutable std::shared_mutex id_to_offset_mutex_;
  IdOffsetMap id_to_offset_;

  mutable std::shared_mutex next_id_mutex_;
  std::uint64_t next_id_;

  // Entries meta.json counted when it was last written: how much room the
  // load reserves, within what the data file can hold.
  std::uint64_t expected_entries_ = 0;
  bool read_only_ = false;

  // Serialises writers of meta.json: they share one temporary file, and a
  // summary taken earlier must not replace one taken later.
  mutable std::mutex meta_mutex_;
};

}  // namespace tarnvault_core::collection

namespace tarnvault_core {
using collection::Collection;
}  // namespace tarnvault_core
