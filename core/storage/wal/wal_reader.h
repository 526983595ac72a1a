// Reading a log file back, record by record, from its start.
#pragma once

#include <filesystem>
#include <functional>
#include <cstdint>
#include <optional>

#include "core/error/result.h"
#include "core/storage/io/file_system.h"
#include "core/storage/wal/wal_read_result.h"

namespace tarnvault_core::storage::wal {

// Every good record of the file, and what follows them: the first record
// that is cut short or damaged ends the read and is reported as the
// result's tail. Only read errors of the operating system fail it.
// Every body is checked as thoroughly whether or not it is kept; the
// entries of the leading records are kept while their total size stays
// within keep_budget bytes (0: none; the result's kept_length says where
// they end).
Result<WalReadResult> read_wal_file(const std::filesystem::path& path, io::FileSystem& fs,
                                    std::uint64_t keep_budget);

// Reads the records in [from, limit) again, handing each entry to visit and
// stopping at the first error it returns. For a log that read_wal_file has
// found good up to limit, from a record boundary; a read or a body failing
// now is an error. The entry handed over is reused for the next record.
Status for_each_wal_entry(const std::filesystem::path& path, std::uint64_t from,
                          std::uint64_t limit, const std::function<Status(WalEntry&)>& visit,
                          io::FileSystem& fs);

// The error read_all reports for a record cut short; none for no tail, for
// the 1 to 3 stray bytes it tolerates, and for Damaged (the read's own).
std::optional<Error> torn_tail_error(WalTail tail);

// Whether a well-formed record (length, checksum and body all correct)
// starts anywhere after offset from in the log at path.
Result<bool> wal_record_follows(const std::filesystem::path& path, std::uint64_t from,
                                io::FileSystem& fs);

}  // namespace tarnvault_core::storage::wal
