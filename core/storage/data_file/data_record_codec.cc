#include "core/storage/data_file/data_record_codec.h"

#include <cstring>
#include <limits>

#include "core/storage/io/little_endian.h"

namespace tarnvault_core::storage::data_file {
namespace {

constexpr std::uint64_t kMaxField = std::numeric_limits<std::uint32_t>::max();

RecordRead failed(ReadProblem problem, const char* prefix, const Status& status) {
  RecordRead read;
  read.problem = status.error().is_end_of_file() ? problem : ReadProblem::ReadError;
  read.error = Error::io_error(prefix + status.error().text());
  return read;
}

RecordRead cut_short(const char* prefix) {
  return failed(ReadProblem::CutShort, prefix, Error::end_of_file());
}

}  // namespace

Status encode_record(std::uint64_t id, std::span<const float> vector,
                     const payload::Payload& payload, std::string& out) {
  out.clear();
  if (vector.size() > kMaxField) {
    return Error::io_error("write dim failed: " + std::to_string(vector.size()) +
                           " components do not fit the 32-bit dim field");
  }
  out.reserve(kHeaderSize + vector.size_bytes() + kPayloadLengthSize + 16);
  io::append_le<std::uint8_t>(out, kLiveMarker);
  io::append_le<std::uint64_t>(out, id);
  io::append_le<std::uint32_t>(out, static_cast<std::uint32_t>(vector.size()));
  // Raw bytes: NaN payloads and infinities are kept bit for bit.
  out.append(reinterpret_cast<const char*>(vector.data()), vector.size_bytes());
  const std::size_t payload_len_at = out.size();
  out.append(kPayloadLengthSize, '\0');
  if (payload.data.empty()) {
    out.append(kEmptyPayloadText);
  } else if (Status encoded = payload::append_payload_json(payload, out); !encoded.ok()) {
    out.clear();
    return Error::io_error("payload serialization failed: " + encoded.error().text());
  }
  const std::size_t payload_size = out.size() - payload_len_at - kPayloadLengthSize;
  if (payload_size > kMaxField) {
    out.clear();
    return Error::io_error("payload serialization failed: payload of " +
                           std::to_string(payload_size) +
                           " bytes does not fit the 32-bit payload_len field");
  }
  const auto payload_len = static_cast<std::uint32_t>(payload_size);
  std::memcpy(out.data() + payload_len_at, &payload_len, sizeof payload_len);
  return {};
}

std::array<std::size_t, 6> record_field_ends(std::size_t dim, std::size_t payload_size) {
  const std::size_t vector_end = kHeaderSize + 4 * dim;
  return {1, 9, kHeaderSize, vector_end, vector_end + kPayloadLengthSize,
          vector_end + kPayloadLengthSize + payload_size};
}

RecordRead read_record(io::SequentialFile& reader) {
  const std::uint64_t offset = reader.position();
  std::uint8_t marker = 0;
  if (auto s = reader.read_u8(marker); !s.ok()) {
    return failed(ReadProblem::CutShort, "read deleted failed: ", s);
  }
  std::uint64_t id = 0;
  if (auto s = reader.read_u64(id); !s.ok()) {
    return failed(ReadProblem::CutShort, "read id failed: ", s);
  }
  std::uint32_t dim = 0;
  if (auto s = reader.read_u32(dim); !s.ok()) {
    return failed(ReadProblem::CutShort, "read dim failed: ", s);
  }
  const std::uint64_t vector_bytes = std::uint64_t{4} * dim;
  if (vector_bytes > reader.remaining()) return cut_short("read vector failed: ");
  std::vector<float> vector(dim);
  if (auto s = reader.read_exact({reinterpret_cast<char*>(vector.data()), vector_bytes}); !s.ok()) {
    return failed(ReadProblem::CutShort, "read vector failed: ", s);
  }
  std::uint32_t payload_len = 0;
  if (auto s = reader.read_u32(payload_len); !s.ok()) {
    return failed(ReadProblem::CutShort, "read payload_len failed: ", s);
  }
  if (payload_len > reader.remaining()) return cut_short("read payload failed: ");
  std::string payload_text(payload_len, '\0');
  if (auto s = reader.read_exact(payload_text); !s.ok()) {
    return failed(ReadProblem::CutShort, "read payload failed: ", s);
  }
  auto payload = payload::payload_from_json(payload_text);
  if (!payload.ok()) {
    RecordRead read;
    read.problem = ReadProblem::BadPayload;
    read.error = Error::io_error("payload deserialize failed: " + payload.error().text());
    return read;
  }
  RecordRead read;
  read.record = DataRecord{id, std::move(vector), std::move(payload).value(),
                           marker == kDeletedMarker, offset};
  read.stored_size = reader.position() - offset;
  return read;
}

}  // namespace tarnvault_core::storage::data_file
