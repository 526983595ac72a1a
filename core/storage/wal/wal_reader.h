// Reading a log file back, record by record, from its start.
#pragma once

#include <filesystem>
#include <optional>

#include "core/error/result.h"
#include "core/storage/io/file_system.h"
#include "core/storage/wal/wal_read_result.h"

namespace tarnvault_core::storage::wal {

// Every complete record of the file, and what follows them. A record cut
// short by the end of the file is reported as the result's tail; read
// errors, checksum mismatches and unparsable bodies fail the whole read.
Result<WalReadResult> read_wal_file(const std::filesystem::path& path, io::FileSystem& fs);

// The error read_all reports for a torn tail; none for no tail or for the
// 1 to 3 stray bytes it tolerates.
std::optional<Error> torn_tail_error(WalTail tail);

}  // namespace tarnvault_core::storage::wal
