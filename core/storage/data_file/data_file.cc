#include "core/storage/data_file/data_file.h"

#include <fcntl.h>

#include <utility>

#include "core/storage/data_file/data_record_codec.h"
#include "core/storage/io/buffered_reader.h"
#include "core/storage/io/failed_field.h"
#include "core/storage/io/file.h"

namespace tarnvault_core::storage::data_file {
namespace {

Error io_failure(const char* prefix, io::IoStatus status) {
  return Error::io_error(prefix + status.text());
}

// Error prefixes of the record's fields, in record order.
constexpr const char* kWriteFieldPrefixes[] = {
    "write deleted marker failed: ", "write id failed: ",         "write dim failed: ",
    "write vector failed: ",         "write payload_len failed: ", "write payload failed: ",
};

// Where a sequential read of the records stopped.
struct ScanStop {
  std::uint64_t valid_length = 0;
  std::optional<RecordRead> failure;  // the record that could not be read
};

// Reads records from offset 0 up to file_size, collecting the live ones,
// until the end or the first record that cannot be read.
ScanStop scan_records(io::File& file, std::uint64_t file_size, std::vector<DataRecord>& live) {
  io::BufferedReader reader(file, 0, file_size);
  ScanStop stop;
  while (stop.valid_length < file_size) {
    RecordRead read = read_record(reader);
    if (!read.record) {
      stop.failure = std::move(read);
      break;
    }
    stop.valid_length += read.stored_size;
    if (!read.record->deleted) live.push_back(std::move(*read.record));
  }
  return stop;
}

DataFileTail tail_of(ReadProblem problem) {
  return problem == ReadProblem::BadPayload ? DataFileTail::Unreadable : DataFileTail::Torn;
}

}  // namespace

struct DataFile::OpenedForRead {
  io::File file;
  std::uint64_t size = 0;
};

DataFile::DataFile(std::filesystem::path path, io::FileSystem& fs, io::BufferedWriter writer)
    : path_(std::move(path)),
      fs_(&fs),
      writer_(std::move(writer)),
      write_offset_(writer_.file_size()) {}

Result<DataFile> DataFile::open(const std::filesystem::path& path, io::FileSystem& fs) {
  auto file = io::File::open(fs, path, O_RDWR | O_APPEND | O_CREAT);
  if (!file.ok()) return io_failure("failed to open data file: ", file.status);
  auto size = file.value.size();
  if (!size.ok()) return io_failure("metadata failed: ", size.status);
  return DataFile(path, fs, io::BufferedWriter(std::move(file.value), size.value));
}

Result<std::uint64_t> DataFile::append(std::uint64_t id, std::span<const float> vector,
                                       const payload::Payload& payload) {
  const std::uint64_t offset = write_offset_;
  TV_RETURN_IF_ERROR(encode_record(id, vector, payload, record_));
  const std::size_t free_before = writer_.free_space();
  const io::WriteOutcome outcome = writer_.write(record_);
  if (!outcome.ok()) {
    const std::size_t payload_size = record_.size() - kHeaderSize - vector.size_bytes() -
                                     kPayloadLengthSize;
    const auto ends = record_field_ends(vector.size(), payload_size);
    const std::size_t field = io::failed_field(ends, outcome.stage, free_before);
    return io_failure(kWriteFieldPrefixes[field], outcome.status);
  }
  write_offset_ += record_.size();
  return offset;
}

Result<DataFile::OpenedForRead> DataFile::open_for_read(const char* open_prefix) const {
  auto file = io::File::open(*fs_, path_, O_RDONLY);
  if (!file.ok()) return io_failure(open_prefix, file.status);
  auto size = file.value.size();
  if (!size.ok()) return io_failure("metadata failed: ", size.status);
  return OpenedForRead{std::move(file.value), size.value};
}

Result<DataRecord> DataFile::read_at(std::uint64_t offset) const {
  auto opened = open_for_read("open for read failed: ");
  if (!opened.ok()) return std::move(opened).error();
  io::BufferedReader reader(opened->file, offset, opened->size);
  RecordRead read = read_record(reader);
  if (!read.record) return std::move(*read.error);
  return std::move(*read.record);
}

Status DataFile::write_out_if_buffered(std::uint64_t offset) {
  if (offset < writer_.file_size() || offset >= write_offset_) return {};
  if (io::IoStatus s = writer_.flush(); !s.ok()) return io_failure("flush failed: ", s);
  return {};
}

Status DataFile::mark_deleted(std::uint64_t offset) {
  TV_RETURN_IF_ERROR(write_out_if_buffered(offset));
  // A handle of its own, never creating: a file removed from under us is an
  // error, not a fresh file with one stray byte.
  auto file = io::File::open(*fs_, path_, O_WRONLY);
  if (!file.ok()) return io_failure("open for delete failed: ", file.status);
  auto size = file.value.size();
  if (!size.ok()) return io_failure("metadata failed: ", size.status);
  // Writing past the end would grow the file by a hole and a stray byte that
  // every later record would be misaligned behind.
  if (offset >= size.value) {
    return Error::io_error("seek failed: offset " + std::to_string(offset) +
                           " is past the end of the file (" + std::to_string(size.value) +
                           " bytes)");
  }
  const char marker = static_cast<char>(kDeletedMarker);
  if (io::WriteAllOutcome w = file.value.pwrite_all({&marker, 1}, offset); !w.status.ok()) {
    return io_failure("write delete marker failed: ", w.status);
  }
  // A failed close can be the first report of a failed write (NFS).
  if (io::IoStatus s = file.value.close(); !s.ok()) return io_failure("flush failed: ", s);
  return {};
}

Result<std::vector<DataRecord>> DataFile::iter_active() const {
  auto opened = open_for_read("open for iter failed: ");
  if (!opened.ok()) return std::move(opened).error();
  std::vector<DataRecord> live;
  // Whatever stopped the scan, the records before it are the answer.
  (void)scan_records(opened->file, opened->size, live);
  return live;
}

Result<DataFileScan> DataFile::scan() const {
  auto opened = open_for_read("open for iter failed: ");
  if (!opened.ok()) return std::move(opened).error();
  DataFileScan result;
  result.file_length = opened->size;
  const ScanStop stop = scan_records(opened->file, opened->size, result.records);
  result.valid_length = stop.valid_length;
  if (stop.failure) {
    if (stop.failure->problem == ReadProblem::ReadError) return *stop.failure->error;
    result.tail = tail_of(stop.failure->problem);
    result.tail_error = stop.failure->error;
  }
  return result;
}

Status DataFile::flush() {
  if (io::IoStatus s = writer_.flush(); !s.ok()) return io_failure("flush failed: ", s);
  if (io::IoStatus s = writer_.file().sync(); !s.ok()) return io_failure("sync failed: ", s);
  return {};
}

Status DataFile::truncate_to(std::uint64_t length) {
  if (io::IoStatus s = writer_.truncate(length); !s.ok()) return io_failure("truncate failed: ", s);
  write_offset_ = length;
  return {};
}

}  // namespace tarnvault_core::storage::data_file
