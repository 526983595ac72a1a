// Helpers shared by the fuzz targets.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "tests/fuzz/fuzz_targets.h"

namespace tarnvault_fuzz {

// Aborts with the message when an invariant does not hold: the one way a
// target reports a finding besides what the sanitizers catch.
[[noreturn]] void invariant_failed(const char* expression, const char* file, int line,
                                   const std::string& detail);

#define FUZZ_CHECK(condition, detail)                                                 \
  do {                                                                                \
    if (!(condition)) ::tarnvault_fuzz::invariant_failed(#condition, __FILE__, __LINE__, \
                                                         (detail));                   \
  } while (false)

inline std::string_view as_text(FuzzInput input) {
  return {reinterpret_cast<const char*>(input.data()), input.size()};
}

// A reader's message must end in " at line {l} column {c}" naming a place
// inside text: a line that exists and a column within it.
void check_reader_position(const std::string& message, std::string_view text);

// A fresh, empty directory for one input, inside a scratch directory that
// belongs to this process and is removed when it exits normally. Honours
// TMPDIR.
std::filesystem::path fresh_directory();

void write_file(const std::filesystem::path& path, std::string_view bytes);

// Rewrites the checksum of every complete record of a log image with the
// CRC-32 of its body, so that mutated bodies reach the record parser.
void fix_wal_checksums(std::string& image);

}  // namespace tarnvault_fuzz
