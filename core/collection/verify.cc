// Checking a collection directory record by record, changing nothing. The
// verdicts on a bad record are the files' readers', which recovery acts on:
// one that no good record follows is a torn tail, one that good records
// follow is damage.
#include "core/collection/verify.h"

#include <fcntl.h>

#include <algorithm>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "core/collection/collection_files.h"
#include "core/collection/collection_lock.h"
#include "core/collection/collection_meta.h"
#include "core/storage/data_file/data_file.h"
#include "core/storage/data_file/data_record_codec.h"
#include "core/storage/io/file_system.h"
#include "core/storage/wal/wal_reader.h"

namespace tarnvault_core::collection {

namespace {

namespace io = storage::io;
using storage::data_file::DataFileTail;
using storage::wal::WalEntry;
using storage::wal::WalEntryKind;

Error cannot_check(const std::string& what) {
  return Error::collection_error("verify failed: " + what);
}

// The size of the file at path; nothing when it does not exist.
Result<std::optional<std::uint64_t>> file_size(io::FileSystem& fs,
                                               const std::filesystem::path& path) {
  if (!fs.stat(path).ok()) return std::optional<std::uint64_t>();
  auto file = io::open_file(fs, path, O_RDONLY);
  if (!file.ok()) return cannot_check("open " + path.string() + ": " + file.error().text());
  auto size = (*file)->size();
  if (!size.ok()) return cannot_check("size of " + path.string() + ": " + size.error().text());
  return std::optional<std::uint64_t>(*size);
}

// What recovery builds, reduced to what the check reports: the ids the index
// would hold and the id counter. Follows recovery's rules: a record of
// another length than the dimension leaves its id out of the index.
class RecoveredState {
 public:
  explicit RecoveredState(std::uint64_t dimension) : dimension_(dimension) {}

  void load(std::uint64_t id, std::size_t length, std::uint64_t size) {
    // Loading lets the newest record of an id win, whatever its length.
    record_sizes_[id] = size;
    if (length == dimension_) {
      ids_.insert(id);
    } else {
      ids_.erase(id);
    }
    largest_ = std::max(largest_, id);
    any_ = true;
  }
  void end_of_data_file() { next_id_ = any_ ? largest_ + 1 : 1; }

  // A logged write the replay would refuse is damage: every open would fail on it.
  Status replay(const WalEntry& entry) {
    if (entry.kind == WalEntryKind::Checkpoint) return {};
    ++replayed_;
    // The id's record in the data file is dead either way.
    record_sizes_.erase(entry.id);
    if (entry.kind == WalEntryKind::Delete) {
      ids_.erase(entry.id);
      replayed_sizes_.erase(entry.id);
      return {};
    }
    if (entry.vector.size() != dimension_) {
      return Error::dimension_mismatch(dimension_, entry.vector.size());
    }
    // The replay appends a record; the id's last one stays current.
    if (storage::data_file::encode_record(entry.id, entry.vector, entry.payload, record_).ok()) {
      appended_bytes_ += record_.size();
      replayed_sizes_[entry.id] = record_.size();
    }
    ids_.insert(entry.id);
    // Wraps for the largest id, which then leaves the counter alone.
    if (entry.kind == WalEntryKind::Insert && entry.id + 1 > next_id_) next_id_ = entry.id + 1;
    return {};
  }

  std::uint64_t live() const { return ids_.size(); }
  std::uint64_t next_id() const { return next_id_; }
  std::uint64_t replayed() const { return replayed_; }
  // Bytes of the records that are their id's current one once the log is
  // replayed, and bytes the replay appends to the data file.
  std::uint64_t current_record_bytes() const {
    std::uint64_t bytes = 0;
    for (const auto& [id, size] : record_sizes_) bytes += size;
    for (const auto& [id, size] : replayed_sizes_) bytes += size;
    return bytes;
  }
  std::uint64_t appended_bytes() const { return appended_bytes_; }

 private:
  std::uint64_t dimension_;
  std::unordered_set<std::uint64_t> ids_;
  // Size of each id's current record: in the data file, or appended by the
  // replay.
  std::unordered_map<std::uint64_t, std::uint64_t> record_sizes_;
  std::unordered_map<std::uint64_t, std::uint64_t> replayed_sizes_;
  std::uint64_t appended_bytes_ = 0;
  std::string record_;  // scratch for measuring a replayed record
  std::uint64_t largest_ = 0;
  bool any_ = false;
  std::uint64_t next_id_ = 1;
  std::uint64_t replayed_ = 0;
};

// Reads every record of data.qvf into state; a bad record becomes a torn
// tail or damage.
Status check_data_file(const std::filesystem::path& path, std::uint64_t dimension,
                       RecoveredState& state, CollectionCheck& check, io::FileSystem& fs) {
  auto data_file = storage::data_file::DataFile::open_read_only(path, fs);
  if (!data_file.ok()) return cannot_check(data_file.error().message());
  auto scan = data_file->scan_each(
      [&](storage::data_file::RecordVisit& record) {
        state.load(record.id, record.vector.size(), record.size);
        ++check.data_records;
      },
      dimension);
  if (!scan.ok()) return cannot_check(scan.error().message());
  state.end_of_data_file();
  if (scan->tail == DataFileTail::Clean) return {};
  FileFinding finding{kDataFileName, scan->valid_length, scan->tail_error->message()};
  (scan->damaged ? check.damage : check.torn_tails).push_back(std::move(finding));
  return {};
}

// Reads every record of wal.log and replays it into state.
Status check_wal(const std::filesystem::path& path, RecoveredState& state, CollectionCheck& check,
                 io::FileSystem& fs) {
  if (!fs.stat(path).ok()) return {};
  auto reader = storage::wal::WalReader::open(path, fs);
  if (!reader.ok()) return cannot_check(reader.error().message());
  auto read = reader->read(0);
  if (!read.ok()) return cannot_check(read.error().message());
  if (read->tail_error) {
    FileFinding finding{kWalFileName, read->valid_length, read->tail_error->message()};
    (read->damaged ? check.damage : check.torn_tails).push_back(std::move(finding));
  } else if (read->tail != storage::wal::WalTail::None) {
    check.torn_tails.push_back(
        {kWalFileName, read->valid_length, "stray bytes after the last record"});
  }
  // The replay stops at the first record it refuses, as recovery's would.
  std::uint64_t record = 0;
  std::optional<Error> refused;
  auto replayed = reader->for_each(0, read->valid_length, [&](WalEntry& entry) -> Status {
    if (refused) return {};
    if (auto status = state.replay(entry); !status.ok()) refused = status.error();
    ++record;
    return {};
  });
  if (!replayed.ok()) return cannot_check(replayed.error().message());
  if (refused) {
    check.damage.push_back({kWalFileName, std::nullopt,
                            "record " + std::to_string(record) +
                                " cannot be replayed: " + refused->message()});
  }
  return {};
}

}  // namespace

Result<CollectionCheck> check_collection(const std::filesystem::path& dir, io::FileSystem& fs) {
  const CollectionFiles files = CollectionFiles::in(dir);
  CollectionCheck check;
  auto meta_size = file_size(fs, files.meta);
  if (!meta_size.ok()) return std::move(meta_size).error();
  if (!*meta_size) {
    return cannot_check(fs.stat(dir).ok() ? "no collection at " + dir.string() + " (no meta.json)"
                                          : "no such directory: " + dir.string());
  }
  check.meta_size = **meta_size;
  auto data_size = file_size(fs, files.data);
  if (!data_size.ok()) return std::move(data_size).error();
  auto wal_size = file_size(fs, files.wal);
  if (!wal_size.ok()) return std::move(wal_size).error();
  check.data_size = data_size->value_or(0);
  check.wal_size = wal_size->value_or(0);

  // An open collection holds this lock for its life. The check changes no
  // file, so it shares the lock as read-only opens do: writers stay out
  // while the files are read, readers are not turned away.
  std::optional<CollectionLock> lock;
  if (*data_size) {
    auto locked = CollectionLock::acquire(dir, files.data, fs, io::LockKind::Shared);
    if (!locked.ok()) return std::move(locked).error();
    lock.emplace(std::move(locked).value());
  }

  auto meta = read_meta_file(files.meta, fs);
  if (!meta.ok()) {
    // Without the dimension the records cannot be judged.
    check.damage.push_back({kMetaFileName, std::nullopt, meta.error().message()});
    return check;
  }
  check.dimension = meta->dimension;
  check.metric = meta->metric;
  check.meta_next_id = meta->next_id;
  check.meta_vector_count = meta->vector_count;

  RecoveredState state(meta->dimension);
  if (*data_size) {
    TV_RETURN_IF_ERROR(check_data_file(files.data, meta->dimension, state, check, fs));
  } else {
    state.end_of_data_file();
  }
  TV_RETURN_IF_ERROR(check_wal(files.wal, state, check, fs));
  check.live_vectors = state.live();
  check.next_id = state.next_id();
  check.unflushed_records = state.replayed();
  check.data_live_bytes = state.current_record_bytes();
  check.data_dead_bytes = check.data_size + state.appended_bytes() - check.data_live_bytes;
  return check;
}

}  // namespace tarnvault_core::collection
