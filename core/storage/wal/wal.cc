#include "core/storage/wal/wal.h"

#include <fcntl.h>

#include <limits>
#include <utility>

#include "core/storage/io/failed_field.h"
#include "core/storage/wal/wal_reader.h"
#include "core/storage/wal/wal_record.h"

namespace tarnvault_core::storage::wal {
namespace {

Error io_failure(const char* prefix, const Error& cause) {
  return Error::io_error(prefix + cause.text());
}

// Error prefixes of the record's fields, in record order.
constexpr const char* kWriteFieldPrefixes[] = {
    "write checksum failed: ",
    "write length failed: ",
    "write data failed: ",
};

constexpr std::uint64_t kKeepEverything = std::numeric_limits<std::uint64_t>::max();

WalEntry checkpoint_entry() {
  WalEntry entry;
  entry.kind = WalEntryKind::Checkpoint;
  entry.id = 0;
  return entry;
}

}  // namespace

Wal::Wal(std::filesystem::path path, io::FileSystem& fs, io::WritableFile writer,
         SyncMode sync_mode)
    : path_(std::move(path)), fs_(&fs), writer_(std::move(writer)), sync_mode_(sync_mode) {}

Result<Wal> Wal::open(const std::filesystem::path& path, SyncMode sync_mode, io::FileSystem& fs) {
  return open_with(path, O_RDWR | O_APPEND | O_CREAT, sync_mode, kBufferBytes, fs);
}

Result<Wal> Wal::open_read_only(const std::filesystem::path& path, io::FileSystem& fs) {
  return open_with(path, O_RDONLY, SyncMode::Never, io::kBufferSize, fs);
}

Result<Wal> Wal::open_with(const std::filesystem::path& path, int flags, SyncMode sync_mode,
                           std::size_t buffer_bytes, io::FileSystem& fs) {
  auto file = io::open_file(fs, path, flags);
  if (!file.ok()) return io_failure("failed to open WAL: ", file.error());
  // Appends land at the end whatever the writer believes; its count only has
  // to be right for rolling back a failed write, so measure it.
  auto size = (*file)->size();
  if (!size.ok()) return io_failure("metadata failed: ", size.error());
  return Wal(path, fs, io::WritableFile(std::move(file).value(), *size, buffer_bytes), sync_mode);
}

Status Wal::append(const WalEntryRef& entry) {
  TV_RETURN_IF_ERROR(encode_record(entry, record_));
  TV_RETURN_IF_ERROR(write_records(record_, record_.size()));
  ++appends_since_sync_;
  if (sync_due()) return sync();
  return {};
}

Status Wal::write_framed(std::string_view records, std::size_t count,
                         std::size_t first_record_size) {
  TV_RETURN_IF_ERROR(write_records(records, first_record_size));
  appends_since_sync_ += count;
  return {};
}

Status Wal::sync_if_due() {
  if (sync_due()) return sync();
  return {};
}

Status Wal::write_records(std::string_view records, std::size_t first_record_size) {
  const std::size_t free_before = writer_.free_space();
  const io::WriteOutcome outcome = writer_.append(records);
  if (outcome.ok()) return {};
  const auto ends = record_field_ends(first_record_size);
  const std::size_t field =
      io::failed_field(ends, outcome.stage, free_before, writer_.capacity());
  return io_failure(kWriteFieldPrefixes[field], outcome.status.error());
}

bool Wal::sync_due() const {
  switch (sync_mode_) {
    case SyncMode::Always:
      return true;
    case SyncMode::Batched:
      return appends_since_sync_ >= sync_interval_;
    case SyncMode::Never:
      return false;
  }
  return false;
}

Status Wal::sync() {
  if (Status s = writer_.flush(); !s.ok()) return io_failure("flush failed: ", s.error());
  if (Status s = writer_.sync(); !s.ok()) return io_failure("sync failed: ", s.error());
  appends_since_sync_ = 0;
  return {};
}

Status Wal::checkpoint() {
  TV_RETURN_IF_ERROR(append(checkpoint_entry()));
  TV_RETURN_IF_ERROR(sync());
  auto reopened = io::open_file(*fs_, path_, O_WRONLY | O_CREAT | O_TRUNC);
  if (!reopened.ok()) return io_failure("truncate failed: ", reopened.error());
  // The buffer is empty after the sync; replacing the file closes the old
  // handle.
  writer_.replace_file(std::move(reopened).value(), 0);
  return {};
}

Status Wal::truncate_to(std::uint64_t length) {
  if (Status s = writer_.truncate(length); !s.ok()) return io_failure("truncate failed: ", s.error());
  return {};
}

Result<std::vector<WalEntry>> Wal::read_all(const std::filesystem::path& path,
                                            io::FileSystem& fs) {
  auto reader = WalReader::open(path, fs);
  if (!reader.ok()) return std::move(reader).error();
  auto read = reader->read(kKeepEverything);
  if (!read.ok()) return std::move(read).error();
  if (read->tail_error) return std::move(*read->tail_error);
  return read->owned_entries();
}

}  // namespace tarnvault_core::storage::wal
