// Opening a collection directory, new or existing.
#include <string>
#include <system_error>
#include <utility>

#include "core/collection/collection.h"
#include "core/collection/collection_files.h"
#include "core/collection/collection_meta.h"
#include "core/error/os_error.h"

namespace tarnvault_core::collection {

namespace {

Status ensure_directory(const std::filesystem::path& dir, storage::io::FileSystem& fs) {
  if (fs.stat(dir).ok()) return {};
  // Mode 0777 before the umask, parents included.
  std::error_code failure;
  std::filesystem::create_directories(dir, failure);
  if (failure) {
    return Error::collection_error("create dir failed: " + error::os_error_text(failure.value()));
  }
  return {};
}

// The next_id that meta.json holds, after checking its dimension against the
// configuration; 1 for a new collection. Touches no file but meta.json.
Result<std::uint64_t> check_meta(const CollectionFiles& files, const CollectionConfig& config,
                                 bool is_new, storage::io::FileSystem& fs) {
  if (is_new) return std::uint64_t{1};
  auto meta = read_meta_file(files.meta, fs);
  if (!meta.ok()) return std::move(meta).error();
  if (meta->dimension != config.dimension) {
    return Error::collection_error("dimension mismatch: collection has " +
                                   std::to_string(meta->dimension) + ", config has " +
                                   std::to_string(config.dimension));
  }
  return meta->next_id;
}

}  // namespace

Result<std::unique_ptr<Collection>> Collection::open_or_create(const std::filesystem::path& path,
                                                               CollectionConfig config,
                                                               storage::io::FileSystem& fs) {
  std::filesystem::path dir = path;
  TV_RETURN_IF_ERROR(ensure_directory(dir, fs));
  const CollectionFiles files = CollectionFiles::in(dir);
  const bool is_new = !fs.stat(files.meta).ok();
  auto next_id = check_meta(files, config, is_new, fs);
  if (!next_id.ok()) return std::move(next_id).error();

  auto wal = storage::wal::Wal::open(files.wal, config.sync_mode, fs);
  if (!wal.ok()) return std::move(wal).error();
  auto data_file = storage::data_file::DataFile::open(files.data, fs);
  if (!data_file.ok()) return std::move(data_file).error();
  // Before recovery, which may cut the files' tails: only the owner may.
  auto lock = CollectionLock::acquire(dir, files.data, fs);
  if (!lock.ok()) return std::move(lock).error();

  std::unique_ptr<Collection> collection(
      new Collection(std::move(dir), config, fs, std::move(lock).value(), std::move(wal).value(),
                     std::move(data_file).value(), *next_id));
  TV_RETURN_IF_ERROR(collection->recover());
  if (is_new) TV_RETURN_IF_ERROR(collection->save_meta());
  return collection;
}

}  // namespace tarnvault_core::collection
