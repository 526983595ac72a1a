// A parser for the one shape nearly every log body has: exactly the compact
// text the writer produces, with an empty payload. It accepts nothing the
// general reader would refuse and reads what it accepts to the same entry;
// anything else is left to the general reader.
#pragma once

#include <string_view>

#include "core/storage/wal/wal_entry.h"

namespace tarnvault_core::storage::wal {

// True when body is {"kind":"<name>","id":<integer>,"vector":[<numbers>],
// "payload":{"data":{}}} with no whitespace, each number of a plain form
// (at most 20 integer digits and a two-digit exponent, so that no reader
// limit comes near); out then holds the entry. False otherwise, with out
// in an unspecified state.
bool parse_compact_entry(std::string_view body, WalEntry& out);

// Whether parse_compact_entry would take body, without converting anything.
bool is_compact_entry(std::string_view body);

}  // namespace tarnvault_core::storage::wal
