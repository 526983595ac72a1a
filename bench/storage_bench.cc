// Throughput of the storage layer over 100,000 records of dimension 128
// (normally distributed components): the log's JSON encoding alone,
// Wal::append without syncing and with the Batched sync policy, Wal::read_all,
// DataFile::append and DataFile::iter_active.
//
// Build from the repository root after configuring a release build in
// build-release (cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release
// -DTARNVAULT_PYTHON=OFF && ninja -C build-release tarnvault_core):
//   g++ -std=c++20 -O2 -ffp-contract=off -I. bench/storage_bench.cc
//       build-release/core/libtarnvault_core.a -lz -o build-release/storage_bench
// (one command line)
// Run: build-release/storage_bench [records] [dimension]

#include <unistd.h>

#include <chrono>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
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

// Wall time, and the CPU time of this process: on a shared machine the
// second is the steadier measure of the work itself.
struct Stamp {
  Clock::time_point wall = Clock::now();
  std::clock_t cpu = std::clock();
};

Stamp now() { return Stamp{}; }

void report(const char* what, std::size_t records, std::uintmax_t bytes, const Stamp& start) {
  const double seconds = std::chrono::duration<double>(Clock::now() - start.wall).count();
  const double cpu_seconds = static_cast<double>(std::clock() - start.cpu) / CLOCKS_PER_SEC;
  std::printf("%-26s %7zu records  %7.3f s (cpu %6.3f s)  %9.0f records/s  %7.1f MiB/s\n",
              what, records, seconds, cpu_seconds, records / seconds,
              bytes / seconds / (1024.0 * 1024.0));
}

std::vector<float> vector_of(std::mt19937& random, std::size_t dimension) {
  std::normal_distribution<float> normal;
  std::vector<float> v(dimension);
  for (float& component : v) component = normal(random);
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
  std::mt19937 random(1);
  for (std::size_t i = 0; i < records; ++i) vectors.push_back(vector_of(random, dimension));

  {
    WalEntry entry;
    entry.kind = WalEntryKind::Insert;
    std::string body;
    std::uintmax_t bytes = 0;
    const Stamp start = now();
    for (std::size_t i = 0; i < records; ++i) {
      entry.id = i;
      entry.vector = vectors[i];
      body.clear();
      if (auto s = entry.append_json(body); !s.ok()) die(s.error().message());
      bytes += body.size();
    }
    report("WalEntry JSON encoding", records, bytes, start);
  }
  for (SyncMode mode : {SyncMode::Never, SyncMode::Batched}) {
    std::filesystem::remove(dir / "wal.log");
    auto wal = Wal::open(dir / "wal.log", mode);
    if (!wal.ok()) die(wal.error().message());
    WalEntry entry;
    entry.kind = WalEntryKind::Insert;
    const Stamp start = now();
    for (std::size_t i = 0; i < records; ++i) {
      entry.id = i;
      entry.vector = vectors[i];
      if (auto s = wal->append(entry); !s.ok()) die(s.error().message());
    }
    if (auto s = wal->sync(); !s.ok()) die(s.error().message());
    report(mode == SyncMode::Never ? "Wal::append (Never)" : "Wal::append (Batched)", records,
           std::filesystem::file_size(dir / "wal.log"), start);
  }
  {
    const Stamp start = now();
    auto entries = Wal::read_all(dir / "wal.log");
    if (!entries.ok()) die(entries.error().message());
    report("Wal::read_all", entries->size(), std::filesystem::file_size(dir / "wal.log"),
           start);
  }
  {
    auto file = DataFile::open(dir / "data.qvf");
    if (!file.ok()) die(file.error().message());
    const tarnvault_core::Payload empty;
    const Stamp start = now();
    for (std::size_t i = 0; i < records; ++i) {
      auto offset = file->append(i, vectors[i], empty);
      if (!offset.ok()) die(offset.error().message());
    }
    if (auto s = file->flush(); !s.ok()) die(s.error().message());
    report("DataFile::append + flush", records, std::filesystem::file_size(dir / "data.qvf"),
           start);

    const Stamp scan_start = now();
    auto active = file->iter_active();
    if (!active.ok()) die(active.error().message());
    report("DataFile::iter_active", active->size(), std::filesystem::file_size(dir / "data.qvf"),
           scan_start);
  }
  std::filesystem::remove_all(dir);
  return 0;
}
