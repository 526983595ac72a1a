#include "core/collection/torn_record.h"

#include <fcntl.h>

#include <array>

#include "core/storage/data_file/data_record_codec.h"
#include "core/storage/io/file_system.h"
#include "core/storage/io/little_endian.h"

namespace tarnvault_core::collection {

Result<std::optional<std::uint32_t>> read_torn_record_dim(storage::io::FileSystem& fs,
                                                          const std::filesystem::path& data_file,
                                                          std::uint64_t offset) {
  using storage::data_file::kHeaderSize;
  auto file = storage::io::open_file(fs, data_file, O_RDONLY);
  if (!file.ok()) return Error::io_error("open for read failed: " + file.error().text());
  std::array<char, kHeaderSize> header{};
  auto got = (*file)->pread_up_to(header, offset);
  if (!got.ok()) return Error::io_error("read dim failed: " + got.error().text());
  if (*got < header.size()) return std::optional<std::uint32_t>();
  // deleted u8, id u64, then dim u32.
  return std::optional<std::uint32_t>(
      storage::io::load_le<std::uint32_t>(header.data() + kHeaderSize - sizeof(std::uint32_t)));
}

}  // namespace tarnvault_core::collection
