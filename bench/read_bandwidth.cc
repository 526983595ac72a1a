// One core's sequential read bandwidth from memory: the ceiling of a
// single-query scan, which reads every stored byte once.
//
//   read_bandwidth [MiB] [passes]   (defaults 2048 and 5)
//
// Fills a buffer much larger than the caches, then sums it as 64-bit words
// with eight independent accumulators, so the adds never wait on each other
// and only memory limits the pass. Prints the best pass in GB/s (10^9 bytes
// per second) on one line, timed twice: by the wall clock and by the
// thread's CPU time, which on a shared machine leaves out the time the
// thread waited for a core.

#include <time.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

double thread_cpu_seconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// Compiled for each instruction-set level and picked at load time: on these
// machines the widest loads keep the most cache-line fills in flight, and a
// baseline build measured a third less than a scan with 64-byte loads.
__attribute__((target_clones("avx512f", "avx2", "default")))
std::uint64_t sum_words(const std::uint64_t* words, std::size_t count) {
  std::uint64_t lanes[8] = {};
  const std::size_t whole = count - count % 8;
  for (std::size_t i = 0; i < whole; i += 8) {
    for (int lane = 0; lane < 8; ++lane) lanes[lane] += words[i + lane];
  }
  std::uint64_t total = 0;
  for (std::uint64_t lane : lanes) total += lane;
  for (std::size_t i = whole; i < count; ++i) total += words[i];
  return total;
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t mebibytes = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 2048;
  const int passes = argc > 2 ? std::atoi(argv[2]) : 5;
  const std::size_t bytes = mebibytes << 20;
  const std::size_t count = bytes / sizeof(std::uint64_t);
  if (count == 0 || passes <= 0) {
    std::fprintf(stderr, "usage: read_bandwidth [MiB > 0] [passes > 0]\n");
    return 2;
  }
  auto words = std::make_unique_for_overwrite<std::uint64_t[]>(count);
  std::memset(words.get(), 1, bytes);  // first touch outside the timed passes

  double best_wall = 1e300;
  double best_cpu = 1e300;
  std::uint64_t checksum = 0;
  for (int pass = 0; pass < passes; ++pass) {
    const auto start = std::chrono::steady_clock::now();
    const double cpu_start = thread_cpu_seconds();
    checksum += sum_words(words.get(), count);
    const double cpu = thread_cpu_seconds() - cpu_start;
    const std::chrono::duration<double> wall = std::chrono::steady_clock::now() - start;
    if (wall.count() < best_wall) best_wall = wall.count();
    if (cpu < best_cpu) best_cpu = cpu;
  }
  // The checksum keeps the reads from being optimised away.
  std::printf("wall %.2f GB/s cpu %.2f GB/s checksum %llu\n",
              static_cast<double>(bytes) / best_wall / 1e9,
              static_cast<double>(bytes) / best_cpu / 1e9,
              static_cast<unsigned long long>(checksum));
  return 0;
}
