// Opening a collection directory, new or existing.
#include <string>
#include <utility>
#include <vector>

#include "core/collection/collection.h"
#include "core/collection/collection_files.h"
#include "core/collection/collection_meta.h"
#include "core/storage/io/directory.h"

namespace tarnvault_core::collection {

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
  auto data_file = storage::data_file::DataFile::open(files.data, fs);
  if (!data_file.ok()) return std::move(data_file).error();
  // Before recovery, which may cut the files' tails: only the owner may.
  auto lock = CollectionLock::acquire(dir, files.data, fs);
  if (!lock.ok()) return std::move(lock).error();

  std::unique_ptr<Collection> collection(
      new Collection(std::move(dir), config, fs, std::move(lock).value(), std::move(wal).value(),
                     std::move(data_file).value(), stored->next_id));
  collection->expected_entries_ = stored->vector_count;
  TV_RETURN_IF_ERROR(collection->recover());
  // Also for an existing collection: a process killed while creating it may
  // have left its names unsynced.
  TV_RETURN_IF_ERROR(sync_new_names(collection->path(), *created_dirs, fs));
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

}  // namespace tarnvault_core::collection
