#include "tests/fuzz/fuzz_support.h"

#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "core/storage/io/little_endian.h"
#include "core/storage/wal/wal_record.h"

namespace tarnvault_fuzz {
namespace {

class ScratchDirectory {
 public:
  ScratchDirectory() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "tarnvault-fuzz-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
      std::perror("mkdtemp");
      std::abort();
    }
    path_ = pattern;
  }
  ~ScratchDirectory() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  ScratchDirectory(const ScratchDirectory&) = delete;
  ScratchDirectory& operator=(const ScratchDirectory&) = delete;

  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

}  // namespace

void invariant_failed(const char* expression, const char* file, int line,
                      const std::string& detail) {
  std::fprintf(stderr, "fuzz invariant failed at %s:%d: %s\n  %s\n", file, line, expression,
               detail.c_str());
  std::abort();
}

namespace {

// The number that starts text, if any; text is advanced past it.
bool take_number(std::string_view& text, std::size_t& value) {
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end == text.data()) return false;
  text.remove_prefix(static_cast<std::size_t>(end - text.data()));
  return true;
}

}  // namespace

void check_reader_position(const std::string& message, std::string_view text) {
  constexpr std::string_view kLine = " at line ";
  constexpr std::string_view kColumn = " column ";
  const std::size_t at = message.rfind(kLine);
  FUZZ_CHECK(at != std::string::npos, "no position in: " + message);
  std::string_view rest = std::string_view(message).substr(at + kLine.size());
  std::size_t line = 0;
  std::size_t column = 0;
  bool parsed = take_number(rest, line) && rest.starts_with(kColumn);
  if (parsed) {
    rest.remove_prefix(kColumn.size());
    parsed = take_number(rest, column) && rest.empty();
  }
  FUZZ_CHECK(parsed, "malformed position in: " + message);
  const std::size_t lines = 1 + static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
  FUZZ_CHECK(line >= 1 && line <= lines, "line out of range in: " + message);
  std::size_t line_start = 0;
  for (std::size_t l = 1; l < line; ++l) line_start = text.find('\n', line_start) + 1;
  const std::size_t line_end = std::min(text.find('\n', line_start), text.size());
  FUZZ_CHECK(column <= line_end - line_start, "column out of range in: " + message);
}

std::filesystem::path fresh_directory() {
  static ScratchDirectory scratch;
  const std::filesystem::path dir = scratch.path() / "input";
  std::error_code failure;
  std::filesystem::remove_all(dir, failure);
  std::filesystem::create_directory(dir, failure);
  FUZZ_CHECK(!failure, "cannot create " + dir.string() + ": " + failure.message());
  return dir;
}

void write_file(const std::filesystem::path& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  FUZZ_CHECK(out.good(), "cannot write " + path.string());
}

void fix_wal_checksums(std::string& image) {
  namespace wal = tarnvault_core::storage::wal;
  std::size_t at = 0;
  while (image.size() - at >= wal::kRecordHeaderSize) {
    const auto length =
        tarnvault_core::storage::io::load_le<std::uint32_t>(image.data() + at + wal::kChecksumSize);
    const std::size_t body_at = at + wal::kRecordHeaderSize;
    if (length > image.size() - body_at) return;
    const std::uint32_t crc = wal::body_checksum(std::string_view(image).substr(body_at, length));
    std::memcpy(image.data() + at, &crc, sizeof crc);
    at = body_at + length;
  }
}

}  // namespace tarnvault_fuzz
