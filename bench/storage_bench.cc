// Throughput of the storage layer: Wal::append (Batched), DataFile::append
// and DataFile::iter_active over 100,000 records of dimension 128.
//
// Build from the repository root after configuring a release build in
// build-release (cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release
// -DTARNVAULT_PYTHON=OFF && ninja -C build-release tarnvault_core):
//   g++ -std=c++20 -O2 -ffp-contract=off -I. bench/storage_bench.cc \
//       build-release/core/libtarnvault_core.a -lz -o build-release/storage_bench
// Run: build-release/storage_bench [records] [dimension]

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "core/storage/data_file/data_file.h"
#include "core/storage/wal/wal.h"

namespace {

using Clock = std::chrono::steady_clock;
using tarnvault_core::DataFile;
using tarnvault_core::SyncMode;
using tarnvault_core::Wal;
using tarnvault_core::WalEntry;
using tarnvault_core::WalEntryKind;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

void report(const char* what, std::size_t records, std::uintmax_t bytes, double seconds) {
  std::printf("%-28s %8zu records  %8.3f s  %10.0f records/s  %8.1f MiB/s\n", what, records,
              seconds, records / seconds, bytes / seconds / (1024.0 * 1024.0));
}

std::vector<float> vector_of(std::size_t i, std::size_t dimension) {
  std::vector<float> v(dimension);
  for (std::size_t j = 0; j < dimension; ++j) v[j] = static_cast<float>((i * 31 + j * 7) % 1000) / 997.0f;
  return v;
}

[[noreturn]] void die(const std::string& what) {
  std::fprintf(stderr, "%s\n", what.c_str());
  std::exit(1);
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t records = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 100000;
  const std::size_t dimension = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 128;

  std::string pattern = (std::filesystem::temp_directory_path() / "tarnvault-bench-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) die("mkdtemp failed");
  const std::filesystem::path dir(pattern);

  std::vector<std::vector<float>> vectors;
  vectors.reserve(records);
  for (std::size_t i = 0; i < records; ++i) vectors.push_back(vector_of(i, dimension));

  {
    auto wal = Wal::open(dir / "wal.log", SyncMode::Batched);
    if (!wal.ok()) die(wal.error().message());
    WalEntry entry;
    entry.kind = WalEntryKind::Insert;
    const auto start = Clock::now();
    for (std::size_t i = 0; i < records; ++i) {
      entry.id = i;
      entry.vector = vectors[i];
      if (auto s = wal->append(entry); !s.ok()) die(s.error().message());
    }
    if (auto s = wal->sync(); !s.ok()) die(s.error().message());
    report("Wal::append (Batched)", records, std::filesystem::file_size(dir / "wal.log"),
           seconds_since(start));
  }
  {
    const auto start = Clock::now();
    auto entries = Wal::read_all(dir / "wal.log");
    if (!entries.ok()) die(entries.error().message());
    report("Wal::read_all", entries->size(), std::filesystem::file_size(dir / "wal.log"),
           seconds_since(start));
  }
  {
    auto file = DataFile::open(dir / "data.qvf");
    if (!file.ok()) die(file.error().message());
    const tarnvault_core::Payload empty;
    const auto start = Clock::now();
    for (std::size_t i = 0; i < records; ++i) {
      auto offset = file->append(i, vectors[i], empty);
      if (!offset.ok()) die(offset.error().message());
    }
    if (auto s = file->flush(); !s.ok()) die(s.error().message());
    report("DataFile::append + flush", records, std::filesystem::file_size(dir / "data.qvf"),
           seconds_since(start));

    const auto scan_start = Clock::now();
    auto active = file->iter_active();
    if (!active.ok()) die(active.error().message());
    report("DataFile::iter_active", active->size(), std::filesystem::file_size(dir / "data.qvf"),
           seconds_since(scan_start));
  }
  std::filesystem::remove_all(dir);
  return 0;
}
