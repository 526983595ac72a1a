#include "core/storage/data_file/record_follows.h"

#include <fcntl.h>

#include <cerrno>

#include "core/storage/data_file/data_record_codec.h"
#include "core/storage/io/buffered_reader.h"
#include "core/storage/io/file.h"
#include "core/storage/io/little_endian.h"
#include "core/storage/io/record_search.h"

namespace tarnvault_core::storage::data_file {

Result<bool> data_record_follows(const std::filesystem::path& path, std::uint64_t from,
                                 std::uint32_t dimension, io::FileSystem& fs) {
  auto file = io::File::open(fs, path, O_RDONLY);
  if (!file.ok()) return Error::io_error("open for read failed: " + file.status.text());
  auto size = file.value.size();
  if (!size.ok()) return Error::io_error("metadata failed: " + size.status.text());
  const std::uint64_t fixed = kHeaderSize + 4ull * dimension + kPayloadLengthSize;

  io::RecordProbe probe;
  probe.header_size = kHeaderSize;
  probe.plausible = [&](const char* header, std::uint64_t offset) {
    const auto deleted = static_cast<std::uint8_t>(header[0]);
    return (deleted == kLiveMarker || deleted == kDeletedMarker) &&
           io::load_le<std::uint32_t>(header + kHeaderSize - 4) == dimension &&
           fixed + 2 <= size.value - offset;
  };
  probe.confirm = [&](std::uint64_t offset, std::uint64_t& cost) -> io::IoResult<bool> {
    io::BufferedReader reader(file.value, offset, size.value);
    RecordRead read = read_record(reader);
    cost = reader.position() - offset;
    if (!read.record && read.problem == ReadProblem::ReadError) {
      return {false, io::IoStatus::from_errno(EIO)};
    }
    return {read.record.has_value(), io::IoStatus()};
  };
  auto follows = io::record_follows(file.value, from, size.value, probe);
  if (!follows.ok()) return Error::io_error("read vector failed: " + follows.status.text());
  return follows.value;
}

}  // namespace tarnvault_core::storage::data_file
