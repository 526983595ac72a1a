// Framing of one log record: checksum u32, length u32, body.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/error/result.h"
#include "core/storage/wal/wal_entry.h"

namespace tarnvault_core::storage::wal {

inline constexpr std::size_t kChecksumSize = 4;
inline constexpr std::size_t kLengthSize = 4;
inline constexpr std::size_t kRecordHeaderSize = kChecksumSize + kLengthSize;

// CRC-32 (zlib's) of the body alone.
std::uint32_t body_checksum(std::string_view body);

// Replaces out with the whole framed record of entry. On failure (the
// entry's JSON encoding, or a body too long for the length field) out is
// left empty and nothing should be written.
Status encode_record(const WalEntryRef& entry, std::string& out);
// Appends the framed record of entry to out; on failure out is as it was.
Status append_record(const WalEntryRef& entry, std::string& out);

// End offsets of checksum, length and body within a framed record.
std::array<std::size_t, 3> record_field_ends(std::size_t record_size);

}  // namespace tarnvault_core::storage::wal
