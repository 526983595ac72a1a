#include "core/storage/data_file/record_follows.h"

#include <fcntl.h>

#include <cerrno>

#include "core/storage/data_file/data_record_codec.h"
#include "core/storage/io/file.h"
#include "core/storage/io/little_endian.h"
#include "core/storage/io/record_search.h"

namespace tarnvault_core::storage::data_file {

Result<bool> data_record_follows(const std::filesystem::path& path, std::uint64_t from,
                                 std::uint32_t dimension, io::FileSystem& fs) {
  auto file = io::open_file(fs, path, O_RDONLY);
  if (!file.ok()) return Error::io_error("open for read failed: " + file.error().text());
  auto size = (*file)->size();
  if (!size.ok()) return Error::io_error("metadata failed: " + size.error().text());
  const std::uint64_t fixed = kHeaderSize + 4ull * dimension + kPayloadLengthSize;

  io::RecordProbe probe;
  probe.header_size = kHeaderSize;
  probe.plausible = [&](const char* header, std::uint64_t offset) {
    const auto deleted = static_cast<std::uint8_t>(header[0]);
    return (deleted == kLiveMarker || deleted == kDeletedMarker) &&
           io::load_le<std::uint32_t>(header + kHeaderSize - 4) == dimension &&
           fixed + 2 <= *size - offset;
  };
  probe.confirm = [&](std::uint64_t offset, std::uint64_t& cost) -> Result<bool> {
    io::SequentialFile reader(**file, offset, *size);
    RecordRead read = read_record(reader);
    cost = reader.position() - offset;
    if (!read.record && read.problem == ReadProblem::ReadError) {
      return Error::os_error(EIO);
    }
    return read.record.has_value();
  };
  auto follows = io::record_follows(**file, from, *size, probe);
  if (!follows.ok()) return Error::io_error("read vector failed: " + follows.error().text());
  return *follows;
}

}  // namespace tarnvault_core::storage::data_file
