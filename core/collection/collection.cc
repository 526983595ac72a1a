#include "core/collection/collection.h"

#include <algorithm>
#include <mutex>
#include <utility>

namespace tarnvault_core::collection {

using storage::wal::WalEntryKind;

Collection::Collection(std::filesystem::path path, CollectionConfig config,
                       storage::io::FileSystem& fs, CollectionLock lock, storage::wal::Wal wal,
                       storage::data_file::DataFile data_file, std::uint64_t next_id)
    : lock_(std::move(lock)),
      path_(std::move(path)),
      config_(config),
      fs_(&fs),
      index_(config.metric, config.dimension),
      wal_(std::move(wal)),
      data_file_(std::move(data_file)),
      next_id_(next_id) {}

Status Collection::insert(std::uint64_t id, std::span<const float> vector,
                          payload::Payload payload) {
  TV_RETURN_IF_ERROR(check_writable());
  // A logged record the index refuses would fail every later replay, so a
  // wrong length must be caught before the log sees it.
  TV_RETURN_IF_ERROR(check_dimension(vector));
  // The record borrows the vector and payload: nothing is copied to log them.
  const storage::wal::WalEntryRef entry{WalEntryKind::Insert, id, vector, payload};
  // Held until the change is applied: a flush between the two steps would
  // empty the log of a record whose data-file record it did not sync, and
  // concurrent inserts are applied in the order they were logged, the order
  // a replay follows.
  std::unique_lock wal_lock(wal_mutex_);
  TV_RETURN_IF_ERROR(wal_.append(entry));
  return apply_insert_no_wal(id, vector, std::move(payload));
}

Status Collection::insert_batch(std::span<const std::uint64_t> ids, const VectorAt& vector_at,
                                std::span<payload::Payload> payloads) {
  TV_RETURN_IF_ERROR(check_writable());
  // As with single inserts, a wrong length is refused before it is logged;
  // the pairs before it go in.
  std::size_t valid = 0;
  while (valid < ids.size() && vector_at(valid).size() == config_.dimension) ++valid;
  const payload::Payload empty;
  auto payload_at = [&](std::size_t i) -> const payload::Payload& {
    return payloads.empty() ? empty : payloads[i];
  };
  auto entry_at = [&](std::size_t i) {
    return storage::wal::WalEntryRef{WalEntryKind::Insert, ids[i], vector_at(i), payload_at(i)};
  };
  // Held through each group's apply, as insert() holds it (see there).
  std::unique_lock wal_lock(wal_mutex_);
  {
    // Grown once rather than by doubling: each doubling copies the tables
    // and touches fresh pages, a tenth of a large batch's time.
    std::unique_lock index_lock(index_mutex_);
    std::unique_lock map_lock(id_to_offset_mutex_);
    index_.reserve(index_.len() + valid);
    id_to_offset_.reserve(index_.len() + valid);
  }
  // Each group is framed in memory, written, synced and only then applied.
  // The sync of a group runs on a helper thread while this one frames the
  // next group; no two file operations ever overlap, and they come in the
  // same order as without the helper.
  storage::wal::BatchFramer framer(valid, entry_at, batch_limits_);
  storage::wal::FramedGroup group = framer.frame_group(0);
  for (bool more = valid > 0; more;) {
    std::size_t logged = group.first;
    Status stopped = std::move(group.stopped);
    for (const storage::wal::FramedRun& run : group.runs) {
      if (Status written = wal_.write_framed(run.bytes, run.count, run.first_record_size);
          !written.ok()) {
        stopped = std::move(written);
        break;
      }
      logged += run.count;
    }
    const std::size_t first = group.first;
    group.runs = {};  // written: let the next group reuse the memory
    more = stopped.ok() && logged < valid;
    Status synced;
    if (more && wal_.sync_due()) {
      storage::wal::run_beside([&] { synced = wal_.sync_if_due(); },
                               [&] { group = framer.frame_group(logged); });
    } else {
      synced = wal_.sync_if_due();
      if (more) group = framer.frame_group(logged);
    }
    TV_RETURN_IF_ERROR(synced);
    TV_RETURN_IF_ERROR(apply_batch(ids, vector_at, payloads, first, logged));
    TV_RETURN_IF_ERROR(stopped);
  }
  if (valid < ids.size()) return check_dimension(vector_at(valid));
  return {};
}

Status Collection::apply_batch(std::span<const std::uint64_t> ids, const VectorAt& vector_at,
                               std::span<payload::Payload> payloads, std::size_t first,
                               std::size_t end) {
  if (first == end) return {};
  const payload::Payload empty;
  std::vector<std::uint64_t> offsets;
  offsets.reserve(end - first);
  Status appended;
  std::uint64_t generation = 0;
  {
    std::unique_lock lock(data_file_mutex_);
    appended = data_file_.append_many(
        end - first,
        [&](std::size_t k) {
          const std::size_t i = first + k;
          return storage::data_file::DataFile::RecordRef{ids[i], vector_at(i), payloads.empty() ? empty : payloads[i]};
        },
        offsets);
    generation = data_generation_;
  }
  // One raise of next_id for the pairs installed: the largest id + 1,
  // modulo 2^64 as for one insert.
  std::uint64_t next_id_candidate = 0;
  std::size_t installed_count = 0;
  auto install_each = [&]() -> Status {
    for (; installed_count < offsets.size(); ++installed_count) {
      const std::size_t i = first + installed_count;
      payload::Payload payload = payloads.empty() ? payload::Payload{} : std::move(payloads[i]);
      std::optional<std::uint64_t> superseded;
      const RecordPlace place{offsets[installed_count], generation};
      auto installed = install(ids[i], vector_at(i), payload, place, superseded);
      if (!installed.ok()) return std::move(installed).error();
      if (*installed) {
        defer_mark(ids[i], superseded, generation);
      } else {
        // A compaction came in between (not while the log's lock is held,
        // but store() knows what to do).
        TV_RETURN_IF_ERROR(store(ids[i], vector_at(i), std::move(payload)));
      }
      next_id_candidate = std::max(next_id_candidate, ids[i] + 1);
    }
    return {};
  };
  const Status status = install_each();
  if (next_id_candidate != 0) raise_next_id(next_id_candidate - 1);
  TV_RETURN_IF_ERROR(status);
  return appended;
}

Result<bool> Collection::remove(std::uint64_t id) {
  TV_RETURN_IF_ERROR(check_writable());
  const payload::Payload no_payload;
  const storage::wal::WalEntryRef entry{WalEntryKind::Delete, id, {}, no_payload};
  // As for insert: applied in log order, and never emptied from the log by
  // a flush before it is applied.
  std::unique_lock wal_lock(wal_mutex_);
  TV_RETURN_IF_ERROR(wal_.append(entry));
  return apply_delete_no_wal(id);
}

std::vector<SearchResult> Collection::search(std::span<const float> query, std::size_t k,
                                             const filter::Filter* filter) const {
  std::shared_lock lock(index_mutex_);
  return index_.search(query, k, filter);
}

std::vector<std::vector<SearchResult>> Collection::search_batch(
    std::span<const std::span<const float>> queries, std::size_t k,
    const filter::Filter* filter) const {
  std::shared_lock lock(index_mutex_);
  return index_.search_batch(queries, k, filter);
}

Status Collection::flush() {
  TV_RETURN_IF_ERROR(check_writable());
  std::unique_lock wal_lock(wal_mutex_);
  TV_RETURN_IF_ERROR(flush_locked());
  wal_lock.unlock();
  return save_meta();
}

Status Collection::flush_locked() {
  // The data file must be durable before the log that would redo its
  // records is emptied; the log's lock keeps inserts out in between.
  {
    std::unique_lock lock(data_file_mutex_);
    TV_RETURN_IF_ERROR(data_file_.flush());
    TV_RETURN_IF_ERROR(mark_superseded_records());
  }
  return wal_.checkpoint();
}

Status Collection::apply_insert_no_wal(std::uint64_t id, std::span<const float> vector,
                                       payload::Payload payload) {
  TV_RETURN_IF_ERROR(store(id, vector, std::move(payload)));
  raise_next_id(id);
  return {};
}

Status Collection::apply_update_no_wal(std::uint64_t id, std::span<const float> vector,
                                       payload::Payload payload) {
  return store(id, vector, std::move(payload));
}

Status Collection::store(std::uint64_t id, std::span<const float> vector,
                         payload::Payload payload, bool keep_same_entry) {
  TV_RETURN_IF_ERROR(check_dimension(vector));
  for (;;) {
    auto place = append_record(id, vector, payload);
    if (!place.ok()) return std::move(place).error();
    std::optional<std::uint64_t> superseded;
    auto installed = install(id, vector, payload, *place, superseded, keep_same_entry);
    if (!installed.ok()) return std::move(installed).error();
    if (*installed) {
      defer_mark(id, superseded, place->generation);
      return {};
    }
    // A compaction replaced the data file in between (only an apply
    // operation called beside it, not a logged write, can meet one): the
    // record went with the old file.
  }
}

Result<bool> Collection::apply_delete_no_wal(std::uint64_t id) {
  bool held = false;
  RecordPlace current;
  std::optional<std::uint64_t> offset;
  {
    std::unique_lock index_lock(index_mutex_);
    std::unique_lock map_lock(id_to_offset_mutex_);
    held = index_.remove(id);
    offset = id_to_offset_.take(id);
    current.generation = data_generation_;
  }
  if (offset) current.offset = *offset;
  TV_RETURN_IF_ERROR(mark_deleted_now(id, offset ? &current : nullptr));
  return held;
}

Status Collection::check_dimension(std::span<const float> vector) const {
  if (vector.size() != config_.dimension) {
    return Error::dimension_mismatch(config_.dimension, vector.size());
  }
  return {};
}

Status Collection::check_writable() const {
  if (read_only_) return Error::collection_error("collection is read-only");
  return {};
}

Result<Collection::RecordPlace> Collection::append_record(std::uint64_t id,
                                                          std::span<const float> vector,
                                                          const payload::Payload& payload) {
  std::unique_lock lock(data_file_mutex_);
  auto offset = data_file_.append(id, vector, payload);
  if (!offset.ok()) return std::move(offset).error();
  return RecordPlace{*offset, data_generation_};
}

Result<bool> Collection::install(std::uint64_t id, std::span<const float> vector,
                                 payload::Payload& payload, RecordPlace place,
                                 std::optional<std::uint64_t>& superseded,
                                 bool keep_same_entry) {
  // Index and map change together so that they always name the same record.
  std::unique_lock index_lock(index_mutex_);
  std::unique_lock map_lock(id_to_offset_mutex_);
  if (place.generation != data_generation_) return false;
  const std::optional<std::uint64_t> current = id_to_offset_.find(id);
  // Offsets grow with every append: a larger one is a later write, and the
  // later write wins, as it does when the data file is loaded.
  if (current && *current > place.offset) {
    superseded = place.offset;
    return true;
  }
  // The new record becomes the id's current one either way. Only the
  // entry's place in the enumeration order, which is unspecified, tells
  // keeping a same entry from replacing it.
  if (!keep_same_entry || !index_.holds(id, vector, payload)) {
    index_.remove(id);
    TV_RETURN_IF_ERROR(index_.insert(id, vector, std::move(payload)));
  }
  superseded = id_to_offset_.put(id, place.offset);
  return true;
}

void Collection::defer_mark(std::uint64_t id, std::optional<std::uint64_t> offset,
                            std::uint64_t generation) {
  if (!offset) return;
  std::unique_lock lock(data_file_mutex_);
  // A record of a data file that a compaction has replaced is gone already.
  if (generation == data_generation_) superseded_.push_back({id, *offset});
}

Status Collection::mark_superseded_records() {
  if (superseded_.empty()) return {};
  // Their replacements are durable now (the caller has just synced); a
  // failed mark is retried by the next flush, and marking twice is harmless.
  for (const SupersededRecord& record : superseded_) {
    TV_RETURN_IF_ERROR(data_file_.mark_deleted(record.offset));
  }
  TV_RETURN_IF_ERROR(data_file_.flush());
  superseded_.clear();
  return {};
}

Status Collection::mark_deleted_now(std::uint64_t id, const RecordPlace* current) {
  // Exclusive: marking a record still in the write buffer writes the buffer out.
  std::unique_lock lock(data_file_mutex_);
  // Every record of the id goes, older ones first: were the current one
  // marked alone, an older one would come back at the next open.
  for (auto it = superseded_.begin(); it != superseded_.end();) {
    if (it->id != id) {
      ++it;
      continue;
    }
    TV_RETURN_IF_ERROR(data_file_.mark_deleted(it->offset));
    it = superseded_.erase(it);
  }
  // A compaction since the id left the map did not copy the record.
  if (!current || current->generation != data_generation_) return {};
  return data_file_.mark_deleted(current->offset);
}

void Collection::raise_next_id(std::uint64_t id) {
  // Wraps for the largest id, which then leaves the counter alone.
  const std::uint64_t candidate = id + 1;
  std::unique_lock lock(next_id_mutex_);
  if (candidate > next_id_) next_id_ = candidate;
}

std::size_t Collection::len() const {
  std::shared_lock lock(index_mutex_);
  return index_.len();
}

bool Collection::contains(std::uint64_t id) const {
  std::shared_lock lock(index_mutex_);
  return index_.contains(id);
}

std::optional<std::pair<std::vector<float>, payload::Payload>> Collection::get(
    std::uint64_t id) const {
  std::shared_lock lock(index_mutex_);
  auto vector = index_.vector(id);
  if (!vector) return std::nullopt;
  return std::pair(std::move(*vector), *index_.payload(id));
}

std::vector<std::uint64_t> Collection::ids() const {
  std::shared_lock lock(index_mutex_);
  const auto ids = index_.ids();
  return {ids.begin(), ids.end()};
}

std::uint64_t Collection::next_id() const {
  std::shared_lock lock(next_id_mutex_);
  return next_id_;
}

std::optional<std::uint64_t> Collection::offset_of(std::uint64_t id) const {
  std::shared_lock lock(id_to_offset_mutex_);
  return id_to_offset_.find(id);
}

std::size_t Collection::unsynced_log_records() const {
  std::unique_lock lock(wal_mutex_);
  return wal_.appends_since_sync();
}

}  // namespace tarnvault_core::collection
