#include "core/storage/wal/wal_record.h"

#include <zlib.h>

#include <limits>

#include "core/storage/io/little_endian.h"

namespace tarnvault_core::storage::wal {

std::uint32_t body_checksum(std::string_view body) {
  const auto* bytes = reinterpret_cast<const Bytef*>(body.data());
  return static_cast<std::uint32_t>(crc32_z(crc32_z(0, nullptr, 0), bytes, body.size()));
}

Status encode_record(const WalEntryRef& entry, std::string& out) {
  out.clear();
  return append_record(entry, out);
}

Status append_record(const WalEntryRef& entry, std::string& out) {
  const std::size_t start = out.size();
  out.append(kRecordHeaderSize, '\0');
  if (Status encoded = entry.append_json(out); !encoded.ok()) {
    out.resize(start);
    return encoded;
  }
  const std::size_t body_size = out.size() - start - kRecordHeaderSize;
  if (body_size > std::numeric_limits<std::uint32_t>::max()) {
    out.resize(start);
    return Error::wal_corrupted("serialization failed: body of " + std::to_string(body_size) +
                                " bytes does not fit the 32-bit length field");
  }
  char* header = out.data() + start;
  io::store_le<std::uint32_t>(
      header, body_checksum(std::string_view(out).substr(start + kRecordHeaderSize)));
  io::store_le<std::uint32_t>(header + kChecksumSize, static_cast<std::uint32_t>(body_size));
  return {};
}

std::array<std::size_t, 3> record_field_ends(std::size_t record_size) {
  return {kChecksumSize, kRecordHeaderSize, record_size};
}

}  // namespace tarnvault_core::storage::wal
