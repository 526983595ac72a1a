#include "tests/fuzz/fuzz_support.h"

#include <unistd.h>

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
