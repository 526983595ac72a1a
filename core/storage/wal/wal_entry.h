// One write-ahead log record and its compact JSON body.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/error/result.h"
#include "core/payload/payload.h"

namespace tarnvault_core::storage::wal {

// Numbered from 1 in memory; the file carries only the text names.
enum class WalEntryKind : std::uint8_t { Insert = 1, Update = 2, Delete = 3, Checkpoint = 4 };

// The fields of a record to be written, borrowed rather than owned, so that
// logging a change copies neither its vector nor its payload.
struct WalEntryRef {
  WalEntryKind kind;
  std::uint64_t id;
  std::span<const float> vector;
  const payload::Payload& payload;

  // Appends the compact body {"kind":..,"id":..,"vector":[..],"payload":{..}}
  // to out. Fails with WalCorrupted "serialization failed: ..." (out unchanged)
  // for a component or payload value JSON cannot represent.
  Status append_json(std::string& out) const;
};

struct WalEntry {
  WalEntryKind kind = WalEntryKind::Checkpoint;
  std::uint64_t id = 0;
  std::vector<float> vector;
  payload::Payload payload;

  WalEntryRef ref() const { return {kind, id, vector, payload}; }
  // As WalEntryRef::append_json.
  Status append_json(std::string& out) const { return ref().append_json(out); }

  // Parses one record body. Fails with WalCorrupted
  // "deserialization failed: {reader message} at line {l} column {c}".
  static Result<WalEntry> from_bytes(std::string_view bytes);
  // from_bytes without the fast path for the writer's own compact shape:
  // the general reader alone, which decides every case.
  static Result<WalEntry> from_bytes_general(std::string_view bytes);

  friend bool operator==(const WalEntry&, const WalEntry&) = default;
};

}  // namespace tarnvault_core::storage::wal

namespace tarnvault_core {
using storage::wal::WalEntry;
using storage::wal::WalEntryKind;
}  // namespace tarnvault_core
