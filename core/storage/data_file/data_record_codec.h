// The binary form of one data-file record:
//   deleted u8 | id u64 | dim u32 | dim × f32 | payload_len u32 | payload
// all little-endian, the payload as compact JSON.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "core/error/result.h"
#include "core/payload/payload.h"
#include "core/storage/data_file/data_record.h"
#include "core/storage/io/file.h"

namespace tarnvault_core::storage::data_file {

inline constexpr std::uint8_t kLiveMarker = 0;
inline constexpr std::uint8_t kDeletedMarker = 1;

// Bytes of a record before its vector, and between vector and payload.
inline constexpr std::size_t kHeaderSize = 1 + 8 + 4;
inline constexpr std::size_t kPayloadLengthSize = 4;
// The payload of nearly every record, written and read without a JSON
// writer or parser.
inline constexpr std::string_view kEmptyPayloadText = R"({"data":{}})";

// Replaces out with the whole record. Fails (out empty) when the payload
// cannot be encoded or a count does not fit its 32-bit field.
Status encode_record(std::uint64_t id, std::span<const float> vector,
                     const payload::Payload& payload, std::string& out);

// End offsets of the six fields within an encoded record of dim components
// and payload_size payload bytes: deleted, id, dim, vector, payload_len,
// payload.
std::array<std::size_t, 6> record_field_ends(std::size_t dim, std::size_t payload_size);

// Why a record could not be read.
enum class ReadProblem : std::uint8_t {
  CutShort,    // the file ends inside the record
  ReadError,   // the operating system failed a read
  BadPayload,  // the record is complete but its payload does not parse
};

struct RecordRead {
  std::optional<DataRecord> record;  // set on success
  std::uint64_t stored_size = 0;     // bytes the record occupies, on success
  ReadProblem problem = ReadProblem::CutShort;
  std::optional<Error> error;  // set on failure, with its field's prefix
};

// Reads the record at the reader's position. Every count read from the file
// is checked against the bytes that remain before anything is allocated.
RecordRead read_record(io::SequentialFile& reader);

}  // namespace tarnvault_core::storage::data_file
