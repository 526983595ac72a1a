#include "core/storage/data_file/data_file.h"

#include <fcntl.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <optional>
#include <string_view>
#include <utility>

#include "core/storage/data_file/data_record_codec.h"
#include "core/storage/io/failed_field.h"
#include "core/storage/io/file.h"
#include "core/storage/io/little_endian.h"
#include "core/storage/io/record_search.h"

namespace tarnvault_core::storage::data_file {
namespace {

Error io_failure(const char* prefix, const Error& cause) {
  return Error::io_error(prefix + cause.text());
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

// A read error met by the chunk parser, named like read_record names it.
RecordRead read_failure(const char* prefix, const Error& cause) {
  RecordRead read;
  read.problem = ReadProblem::ReadError;
  read.error = io_failure(prefix, cause);
  return read;
}

// Makes n bytes of the record readable; false when the file cannot supply
// them. A read error is kept in failure; the end of the file is left to the
// record-by-record reader to describe.
bool ensure_record_bytes(io::SequentialFile& chunks, std::uint64_t n, const char* prefix,
                         std::optional<RecordRead>& failure) {
  if (n > chunks.remaining()) return false;
  const Status status = chunks.ensure(static_cast<std::size_t>(n));
  if (!status.ok() && !status.error().is_end_of_file()) {
    failure = read_failure(prefix, status.error());
  }
  return status.ok();
}

// Parses the record at the cursor where it lies in the chunk: its stored
// size, with id, deleted flag, vector (copied to an aligned array, unless
// deleted) and payload filled in. Nothing when the record-by-record reader
// has to decide (a record cut short, a payload that does not parse), or
// when a read failed (then failure is set).
std::optional<std::uint64_t> parse_in_chunk(io::SequentialFile& chunks, std::uint64_t& id,
                                            bool& deleted, std::vector<float>& vector,
                                            payload::Payload& payload,
                                            std::optional<RecordRead>& failure) {
  if (!ensure_record_bytes(chunks, kHeaderSize, "read deleted failed: ", failure)) {
    return std::nullopt;
  }
  const std::uint32_t dim = io::load_le<std::uint32_t>(chunks.data() + 9);
  const std::uint64_t vector_bytes = std::uint64_t{4} * dim;
  const std::uint64_t payload_at = kHeaderSize + vector_bytes + kPayloadLengthSize;
  if (!ensure_record_bytes(chunks, payload_at, "read vector failed: ", failure)) {
    return std::nullopt;
  }
  const std::uint32_t payload_len =
      io::load_le<std::uint32_t>(chunks.data() + payload_at - kPayloadLengthSize);
  const std::uint64_t size = payload_at + payload_len;
  if (!ensure_record_bytes(chunks, size, "read payload failed: ", failure)) return std::nullopt;

  const char* record = chunks.data();
  const std::string_view payload_text(record + payload_at, payload_len);
  // Nearly every payload is the empty one: a byte compare instead of a parse.
  if (payload_text == kEmptyPayloadText) {
    payload.data.clear();
  } else {
    auto parsed = payload::payload_from_json(payload_text);
    if (!parsed.ok()) return std::nullopt;
    payload = std::move(parsed).value();
  }
  deleted = static_cast<std::uint8_t>(record[0]) == kDeletedMarker;
  id = io::load_le<std::uint64_t>(record + 1);
  if (!deleted) {
    vector.resize(dim);
    // An empty vector may have no storage, and memcpy takes no null pointer
    // even for zero bytes.
    if (vector_bytes > 0) std::memcpy(vector.data(), record + kHeaderSize, vector_bytes);
  }
  return size;
}

// Reads records from offset 0 up to file_size, handing the live ones to
// visit, until the end or the first record that cannot be read. Records are
// parsed in large chunks; any record the chunk parser does not take is read
// again by read_record, which gives the same outcome as a scan that reads
// every record that way, error texts included.
ScanStop scan_records(io::RandomAccessFile& file, std::uint64_t file_size,
                      const RecordVisitor& visit) {
  io::SequentialFile chunks(file, 0, file_size, io::SequentialFile::kScanChunkSize);
  std::vector<float> vector;
  payload::Payload payload;
  ScanStop stop;
  while (stop.valid_length < file_size) {
    std::uint64_t id = 0;
    bool deleted = false;
    std::optional<RecordRead> failure;
    std::optional<std::uint64_t> size =
        parse_in_chunk(chunks, id, deleted, vector, payload, failure);
    if (failure) {
      stop.failure = std::move(failure);
      break;
    }
    if (size) {
      if (!deleted) {
        RecordVisit record{id, vector, payload, stop.valid_length, *size};
        visit(record);
      }
      chunks.advance(static_cast<std::size_t>(*size));
    } else {
      io::SequentialFile reader(file, stop.valid_length, file_size);
      RecordRead read = read_record(reader);
      if (!read.record) {
        stop.failure = std::move(read);
        break;
      }
      if (!read.record->deleted) {
        RecordVisit record{read.record->id, read.record->vector, read.record->payload,
                           stop.valid_length, read.stored_size};
        visit(record);
      }
      size = read.stored_size;
      chunks.seek(stop.valid_length + *size);
    }
    stop.valid_length += *size;
  }
  return stop;
}

// Whether a record with a deleted byte of 0 or 1, `dimension` components
// and a payload that parses starts anywhere after offset from. Only the
// dimension the collection writes counts: zeros, and the cut remains of a
// record, hardly ever pass for one.
Result<bool> record_follows(io::RandomAccessFile& file, std::uint64_t size, std::uint64_t from,
                            std::uint64_t dimension) {
  const std::uint64_t fixed = kHeaderSize + 4 * dimension + kPayloadLengthSize;
  io::RecordProbe probe;
  probe.header_size = kHeaderSize;
  probe.plausible = [&](const char* header, std::uint64_t offset) {
    const auto deleted = static_cast<std::uint8_t>(header[0]);
    return (deleted == kLiveMarker || deleted == kDeletedMarker) &&
           io::load_le<std::uint32_t>(header + kHeaderSize - 4) ==
               static_cast<std::uint32_t>(dimension) &&
           fixed + 2 <= size - offset;
  };
  probe.confirm = [&](std::uint64_t offset, std::uint64_t& cost) -> Result<bool> {
    io::SequentialFile reader(file, offset, size);
    RecordRead read = read_record(reader);
    cost = reader.position() - offset;
    if (!read.record && read.problem == ReadProblem::ReadError) {
      return Error::os_error(EIO);
    }
    return read.record.has_value();
  };
  auto follows = io::record_follows(file, from, size, probe);
  if (!follows.ok()) return Error::io_error("read vector failed: " + follows.error().text());
  return *follows;
}

// How much a copy reads, and gathers before it writes, at a time: few
// system calls per record, and a buffer that stays small.
constexpr std::size_t kCopyChunkSize = std::size_t{1} << 20;

Error copy_failure(std::uint64_t offset, const std::string& why) {
  return Error::io_error("copy record failed: offset " + std::to_string(offset) + ": " + why);
}

// The stored size of the record at the reader's position, read from its
// header and bounded by what the file holds; the reader is left where it was.
Result<std::uint64_t> stored_size_at(io::SequentialFile& reader) {
  const std::uint64_t offset = reader.position();
  auto need = [&](std::uint64_t n) -> Status {
    if (n > reader.remaining()) return copy_failure(offset, "record cut short");
    if (Status s = reader.ensure(static_cast<std::size_t>(n)); !s.ok()) {
      return io_failure("read record failed: ", s.error());
    }
    return {};
  };
  TV_RETURN_IF_ERROR(need(kHeaderSize));
  const std::uint32_t dim = io::load_le<std::uint32_t>(reader.data() + 9);
  const std::uint64_t payload_at = kHeaderSize + std::uint64_t{4} * dim + kPayloadLengthSize;
  TV_RETURN_IF_ERROR(need(payload_at));
  const std::uint64_t size =
      payload_at + io::load_le<std::uint32_t>(reader.data() + payload_at - kPayloadLengthSize);
  if (size > reader.remaining()) return copy_failure(offset, "record cut short");
  return size;
}

// The dim field of the record at offset, or nothing when the file ends
// before the field does.
Result<std::optional<std::uint32_t>> dim_field_at(io::RandomAccessFile& file,
                                                  std::uint64_t offset) {
  std::array<char, kHeaderSize> header{};
  auto got = file.pread_up_to(header, offset);
  if (!got.ok()) return Error::io_error("read dim failed: " + got.error().text());
  if (*got < header.size()) return std::optional<std::uint32_t>();
  // deleted u8, id u64, then dim u32.
  return std::optional<std::uint32_t>(
      io::load_le<std::uint32_t>(header.data() + kHeaderSize - sizeof(std::uint32_t)));
}

// The data file's strictness policy, for the record a scan stopped at. The
// file has no checksum: a bad record is a torn write (cut short by a crash,
// or left as zeros or garbage by a power failure that kept the file's new
// length but not its new bytes) only when no readable record of the
// collection's dimension follows it. Such a record was never synced, so no
// promise covers it, and recovery cuts it off. One that readable records
// follow is damage: truncating there would silently throw them away.
//
// A cut record whose dim field survives and differs from the dimension is
// described by that field: a damaged count made it run past the end.
Status judge_bad_record(io::RandomAccessFile& file, std::uint64_t dimension,
                        DataFileScan& scan) {
  auto follows = record_follows(file, scan.file_length, scan.valid_length, dimension);
  if (!follows.ok()) return std::move(follows).error();
  if (!*follows) return {};
  scan.damaged = true;
  if (scan.tail == DataFileTail::Torn) {
    auto dim = dim_field_at(file, scan.valid_length);
    if (!dim.ok()) return std::move(dim).error();
    if (*dim && **dim != dimension) {
      scan.damage = "record of dimension " + std::to_string(**dim) +
                    " runs past the end of the file";
      return {};
    }
  }
  scan.damage = scan.tail_error->message();
  return {};
}

}  // namespace

struct DataFile::OpenedForRead {
  std::unique_ptr<io::RandomAccessFile> file;
  std::uint64_t size = 0;
};

DataFile::DataFile(std::filesystem::path path, io::FileSystem& fs, io::WritableFile writer)
    : path_(std::move(path)),
      fs_(&fs),
      writer_(std::move(writer)),
      write_offset_(writer_.file_size()) {}

Result<DataFile> DataFile::open(const std::filesystem::path& path, io::FileSystem& fs,
                               std::size_t buffer_bytes) {
  return open_with(path, O_RDWR | O_APPEND | O_CREAT, buffer_bytes, fs);
}

Result<DataFile> DataFile::open_read_only(const std::filesystem::path& path, io::FileSystem& fs) {
  return open_with(path, O_RDONLY, io::kBufferSize, fs);
}

Result<DataFile> DataFile::open_with(const std::filesystem::path& path, int flags,
                                     std::size_t buffer_bytes, io::FileSystem& fs) {
  auto file = io::open_file(fs, path, flags);
  if (!file.ok()) return io_failure("failed to open data file: ", file.error());
  auto size = (*file)->size();
  if (!size.ok()) return io_failure("metadata failed: ", size.error());
  return DataFile(path, fs, io::WritableFile(std::move(file).value(), *size, buffer_bytes));
}

Result<std::uint64_t> DataFile::append(std::uint64_t id, std::span<const float> vector,
                                       const payload::Payload& payload) {
  const std::uint64_t offset = write_offset_;
  TV_RETURN_IF_ERROR(encode_record(id, vector, payload, record_));
  const std::size_t free_before = writer_.free_space();
  const io::WriteOutcome outcome = writer_.append(record_);
  if (!outcome.ok()) {
    const std::size_t payload_size = record_.size() - kHeaderSize - vector.size_bytes() -
                                     kPayloadLengthSize;
    const auto ends = record_field_ends(vector.size(), payload_size);
    const std::size_t field = io::failed_field(ends, outcome.stage, free_before, writer_.capacity());
    return io_failure(kWriteFieldPrefixes[field], outcome.status.error());
  }
  write_offset_ += record_.size();
  return offset;
}

Status DataFile::append_many(std::size_t count,
                             const std::function<RecordRef(std::size_t)>& record_at,
                             std::vector<std::uint64_t>& offsets) {
  std::string run;
  std::size_t next = 0;
  while (next < count) {
    run.clear();
    const std::size_t run_start = offsets.size();
    std::array<std::size_t, 6> first_ends{};
    Status stopped;
    while (next < count && run.size() < kRunBytes) {
      const RecordRef record = record_at(next);
      if (Status encoded = encode_record(record.id, record.vector, record.payload, record_);
          !encoded.ok()) {
        stopped = std::move(encoded);
        break;
      }
      if (run.empty()) {
        run.reserve(kRunBytes + record_.size());
        const std::size_t payload_size =
            record_.size() - kHeaderSize - record.vector.size_bytes() - kPayloadLengthSize;
        first_ends = record_field_ends(record.vector.size(), payload_size);
      }
      offsets.push_back(write_offset_ + run.size());
      run += record_;
      ++next;
    }
    if (!run.empty()) {
      const std::size_t free_before = writer_.free_space();
      const io::WriteOutcome outcome = writer_.append(run);
      if (!outcome.ok()) {
        offsets.resize(run_start);
        const std::size_t field =
            io::failed_field(first_ends, outcome.stage, free_before, writer_.capacity());
        return io_failure(kWriteFieldPrefixes[field], outcome.status.error());
      }
      write_offset_ += run.size();
    }
    TV_RETURN_IF_ERROR(stopped);
  }
  return {};
}

Result<DataFile::OpenedForRead> DataFile::open_for_read(const char* open_prefix) const {
  auto file = io::open_file(*fs_, path_, O_RDONLY);
  if (!file.ok()) return io_failure(open_prefix, file.error());
  auto size = (*file)->size();
  if (!size.ok()) return io_failure("metadata failed: ", size.error());
  return OpenedForRead{std::move(file).value(), *size};
}

Result<DataRecord> DataFile::read_at(std::uint64_t offset) const {
  auto opened = open_for_read("open for read failed: ");
  if (!opened.ok()) return std::move(opened).error();
  io::SequentialFile reader(*opened->file, offset, opened->size);
  RecordRead read = read_record(reader);
  if (!read.record) return std::move(*read.error);
  return std::move(*read.record);
}

Status DataFile::write_out_if_buffered(std::uint64_t offset) {
  if (offset < writer_.file_size() || offset >= write_offset_) return {};
  if (Status s = writer_.flush(); !s.ok()) return io_failure("flush failed: ", s.error());
  return {};
}

Status DataFile::mark_deleted(std::uint64_t offset) {
  TV_RETURN_IF_ERROR(write_out_if_buffered(offset));
  // A handle of its own, never creating: a file removed from under us is an
  // error, not a fresh file with one stray byte.
  auto file = io::open_file(*fs_, path_, O_WRONLY);
  if (!file.ok()) return io_failure("open for delete failed: ", file.error());
  auto size = (*file)->size();
  if (!size.ok()) return io_failure("metadata failed: ", size.error());
  // Writing past the end would grow the file by a hole and a stray byte that
  // every later record would be misaligned behind.
  if (offset >= *size) {
    return Error::io_error("seek failed: offset " + std::to_string(offset) +
                           " is past the end of the file (" + std::to_string(*size) +
                           " bytes)");
  }
  const char marker = static_cast<char>(kDeletedMarker);
  if (io::WriteAllOutcome w = (*file)->pwrite_all({&marker, 1}, offset); !w.status.ok()) {
    return io_failure("write delete marker failed: ", w.status.error());
  }
  // A failed close can be the first report of a failed write (NFS).
  if (Status s = (*file)->close(); !s.ok()) return io_failure("flush failed: ", s.error());
  return {};
}

Result<std::vector<DataRecord>> DataFile::iter_active() const {
  auto opened = open_for_read("open for iter failed: ");
  if (!opened.ok()) return std::move(opened).error();
  std::vector<DataRecord> live;
  // Whatever stopped the scan, the records before it are the answer.
  (void)scan_records(*opened->file, opened->size, [&live](RecordVisit& record) {
    live.push_back(DataRecord{record.id,
                              {record.vector.begin(), record.vector.end()},
                              std::move(record.payload),
                              false,
                              record.offset});
  });
  return live;
}

Result<DataFileScan> DataFile::scan_each(const RecordVisitor& visit,
                                         std::optional<std::uint64_t> dimension) const {
  auto opened = open_for_read("open for iter failed: ");
  if (!opened.ok()) return std::move(opened).error();
  DataFileScan result;
  result.file_length = opened->size;
  const ScanStop stop = scan_records(*opened->file, opened->size, visit);
  result.valid_length = stop.valid_length;
  if (!stop.failure) return result;
  if (stop.failure->problem == ReadProblem::ReadError) return *stop.failure->error;
  result.tail = stop.failure->problem == ReadProblem::BadPayload ? DataFileTail::Unreadable
                                                                 : DataFileTail::Torn;
  result.tail_error = stop.failure->error;
  if (dimension) TV_RETURN_IF_ERROR(judge_bad_record(*opened->file, *dimension, result));
  return result;
}

Result<DataFileCopy> DataFile::copy_records(const std::filesystem::path& to,
                                            std::span<KeptRecord> keep) {
  if (Status s = writer_.flush(); !s.ok()) return io_failure("flush failed: ", s.error());
  auto source = open_for_read("open for read failed: ");
  if (!source.ok()) return std::move(source).error();
  auto target = io::open_file(*fs_, to, O_RDWR | O_APPEND | O_CREAT | O_TRUNC);
  if (!target.ok()) return io_failure("failed to open data file: ", target.error());
  // The copy is appended to after it replaces this file, alike.
  io::WritableFile writer(std::move(target).value(), 0, writer_.capacity());
  io::SequentialFile reader(*source->file, 0, source->size, kCopyChunkSize);
  // Kept records gather here and go to the new file a chunk at a time.
  std::string gathered;
  gathered.reserve(kCopyChunkSize);
  auto write_gathered = [&]() -> Status {
    if (gathered.empty()) return {};
    if (io::WriteOutcome w = writer.append(gathered); !w.ok()) {
      return io_failure("write copy failed: ", w.status.error());
    }
    gathered.clear();
    return {};
  };

  std::uint64_t dropped = 0;
  std::size_t next = 0;  // the next record of keep
  // Walked record by record, dead ones too, so that a listed offset that is
  // not a record's start is caught rather than copied as garbage.
  while (reader.position() < source->size) {
    const std::uint64_t offset = reader.position();
    auto size = stored_size_at(reader);
    if (!size.ok()) return std::move(size).error();
    if (next == keep.size() || keep[next].offset != offset) {
      if (next < keep.size() && keep[next].offset < offset) {
        return copy_failure(keep[next].offset, "no record starts there");
      }
      ++dropped;
      reader.seek(offset + *size);
      continue;
    }
    if (Status s = reader.ensure(static_cast<std::size_t>(*size)); !s.ok()) {
      return io_failure("read record failed: ", s.error());
    }
    const char* record = reader.data();
    if (static_cast<std::uint8_t>(record[0]) == kDeletedMarker) {
      return copy_failure(offset, "record of id " + std::to_string(keep[next].id) +
                                      " is marked deleted");
    }
    if (const auto id = io::load_le<std::uint64_t>(record + 1); id != keep[next].id) {
      return copy_failure(offset, "record holds id " + std::to_string(id) + ", not " +
                                      std::to_string(keep[next].id));
    }
    keep[next].offset = writer.end_offset() + gathered.size();
    gathered.append(record, static_cast<std::size_t>(*size));
    // Any marker but 1 reads as live; the copy writes the one append writes.
    gathered[gathered.size() - *size] = static_cast<char>(kLiveMarker);
    reader.advance(static_cast<std::size_t>(*size));
    ++next;
    if (gathered.size() >= kCopyChunkSize) TV_RETURN_IF_ERROR(write_gathered());
  }
  if (next < keep.size()) return copy_failure(keep[next].offset, "no record starts there");
  TV_RETURN_IF_ERROR(write_gathered());
  if (Status s = writer.flush(); !s.ok()) return io_failure("flush failed: ", s.error());
  if (Status s = writer.sync(); !s.ok()) return io_failure("sync failed: ", s.error());
  return DataFileCopy{DataFile(to, *fs_, std::move(writer)), dropped};
}

Status DataFile::flush() {
  if (Status s = writer_.flush(); !s.ok()) return io_failure("flush failed: ", s.error());
  if (Status s = writer_.sync(); !s.ok()) return io_failure("sync failed: ", s.error());
  return {};
}

Status DataFile::truncate_to(std::uint64_t length) {
  if (Status s = writer_.truncate(length); !s.ok()) return io_failure("truncate failed: ", s.error());
  write_offset_ = length;
  return {};
}

}  // namespace tarnvault_core::storage::data_file
