// Writers killed with SIGKILL at random moments, round after round on one
// directory. Each round a forked child opens the collection (recovering
// what the last child left), inserts, deletes, flushes and compacts until it
// is killed, and reports through a pipe which writes are durable: those
// before a flush or compaction that returned, or before the 100th write
// since the log's last sync. The parent then opens the directory and checks that every durable
// insert is there with its exact bits (or a later write of its id), that a
// durable delete holds (unless a later insert of its id undid it), and that
// nothing is there that was never written; then it writes and flushes one
// more.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <map>
#include <random>
#include <thread>
#include <unordered_map>
#include <vector>

#include "core/collection/collection.h"
#include "core/collection/collection_test_support.h"
#include "core/storage/io/testing/test_support.h"

namespace tarnvault_core::collection {
namespace {

using storage::io::testing::TempDir;

constexpr int kRounds = testing::kSanitized ? 60 : 300;
constexpr std::uint64_t kWritesPerRound = 1000;  // then the child waits
constexpr std::uint64_t kIds = 400;              // so ids are written again
constexpr std::uint64_t kFlushEvery = 120;
// Every other flush is a compaction.
constexpr std::uint64_t kCompactEvery = 2 * kFlushEvery;
// The child's first report: it has opened the collection.
constexpr std::uint64_t kOpened = ~std::uint64_t{0};
// Reported when a compaction begins.
constexpr std::uint64_t kCompacting = kOpened - 1;

CollectionConfig config() {
  // As from Python: the log syncs on every 100th insert.
  return CollectionConfig{2, DistanceMetric::DotProduct, SyncMode::Batched};
}

std::uint64_t id_of(std::uint64_t write) { return (write * 7919) % kIds; }

// Every ninth write of a child deletes its id instead of inserting it; the
// parent's write that ends each round (see below) always inserts.
bool deletes(std::uint64_t write) {
  return write % 9 == 4 && write % (kWritesPerRound + 1) != kWritesPerRound;
}

// The write number rides in the second component; both read back exactly.
std::vector<float> vector_of(std::uint64_t write) {
  return {static_cast<float>(id_of(write)) + 0.5f, static_cast<float>(write) + 0.25f};
}

[[noreturn]] void run_child(const std::filesystem::path& dir, std::uint64_t first_write,
                            int report_fd) {
  auto opened = Collection::open_or_create(dir, config());
  if (!opened.ok()) _exit(2);
  Collection& c = *opened.value();
  auto report_durable_below = [report_fd](std::uint64_t end) {
    if (write(report_fd, &end, sizeof end) != sizeof end) _exit(3);
  };
  report_durable_below(kOpened);
  std::size_t since_sync = 0;
  for (std::uint64_t w = first_write; w < first_write + kWritesPerRound; ++w) {
    const bool done =
        deletes(w) ? c.remove(id_of(w)).ok() : c.insert(id_of(w), vector_of(w), {}).ok();
    if (!done) _exit(4);
    if (++since_sync == Wal::kSyncInterval) {
      report_durable_below(w + 1);
      since_sync = 0;
    }
    if ((w + 1) % kCompactEvery == 0) {
      report_durable_below(kCompacting);
      if (!c.compact().ok()) _exit(6);
      report_durable_below(w + 1);
      since_sync = 0;
    } else if ((w + 1) % kFlushEvery == 0) {
      if (!c.flush().ok()) _exit(5);
      report_durable_below(w + 1);
      since_sync = 0;
    }
  }
  for (;;) pause();
}

TEST(KilledWriters, NeverLoseDurableWritesAcrossHundredsOfKills) {
  TempDir root;
  const auto dir = root.path() / "c";
  std::mt19937_64 random(20261208);
  std::uniform_int_distribution<int> delay_us(0, 20000);
  // When to start the random wait before the kill: at once (the child may
  // still be starting or recovering), once it has opened the collection, or
  // once it has made its first writes durable.
  std::discrete_distribution<int> wait_for({1, 2, 3});
  std::unordered_map<std::uint64_t, std::uint64_t> newest_durable;  // id -> write
  std::vector<std::pair<std::uint64_t, std::uint64_t>> rounds;      // [first, end) written
  int killed_while_writing = 0;
  int killed_while_compacting = 0;

  for (int round = 0; round < kRounds; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    // The child's writes, then one of the parent's.
    const std::uint64_t first = static_cast<std::uint64_t>(round) * (kWritesPerRound + 1);
    const std::uint64_t parents_write = first + kWritesPerRound;
    int pipe_fds[2];
    ASSERT_EQ(pipe(pipe_fds), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      close(pipe_fds[0]);
      run_child(dir, first, pipe_fds[1]);
    }
    close(pipe_fds[1]);
    std::uint64_t durable_end = first;
    bool compacting = false;
    auto take_report = [&](std::uint64_t report) {
      compacting = report == kCompacting;
      if (report != kOpened && report != kCompacting) durable_end = report;
    };
    const int reports_to_await = wait_for(random);
    for (int i = 0; i < reports_to_await; ++i) {
      std::uint64_t report = 0;
      ASSERT_EQ(read(pipe_fds[0], &report, sizeof report), sizeof report);
      take_report(report);
    }
    std::this_thread::sleep_for(std::chrono::microseconds(delay_us(random)));
    kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the child exited by itself with " << WEXITSTATUS(status);
    for (std::uint64_t end; read(pipe_fds[0], &end, sizeof end) == sizeof end;) take_report(end);
    close(pipe_fds[0]);
    killed_while_writing += durable_end > first;
    killed_while_compacting += compacting;
    for (std::uint64_t w = first; w < durable_end; ++w) newest_durable[id_of(w)] = w;
    rounds.emplace_back(first, parents_write + 1);

    auto opened = Collection::open_or_create(dir, config());
    ASSERT_TRUE(opened.ok()) << opened.error().message();
    Collection& c = *opened.value();
    std::map<std::uint64_t, std::pair<float, float>> held;
    for (const SearchResult& r : c.search(std::vector<float>{1, 0}, c.len() + 1)) {
      held[r.id].first = -r.distance;
    }
    for (const SearchResult& r : c.search(std::vector<float>{0, 1}, c.len() + 1)) {
      held[r.id].second = -r.distance;
    }
    for (const auto& [id, values] : held) {
      const auto w = static_cast<std::uint64_t>(values.second);
      const bool written = std::any_of(rounds.begin(), rounds.end(), [w](const auto& r) {
        return w >= r.first && w < r.second;
      });
      const std::vector<float> vector = {values.first, values.second};
      ASSERT_TRUE(written && id_of(w) == id && !deletes(w) && vector_of(w) == vector)
          << "id " << id << " holds a vector that was never written to it";
      auto durable = newest_durable.find(id);
      ASSERT_TRUE(durable == newest_durable.end() || w >= durable->second)
          << "id " << id << " went back from durable write " << durable->second << " to " << w;
    }
    for (const auto& [id, w] : newest_durable) {
      if (deletes(w) || held.count(id) == 1) continue;
      // Missing is right only when a delete of it may have run since.
      const bool deleted_since = std::any_of(rounds.begin(), rounds.end(), [&](const auto& r) {
        for (std::uint64_t later = std::max(r.first, w + 1); later < r.second; ++later) {
          if (id_of(later) == id && deletes(later)) return true;
        }
        return false;
      });
      ASSERT_TRUE(deleted_since) << "durable write " << w << " of id " << id << " is lost";
    }
    // The collection takes new writes; the flush also keeps the log short.
    ASSERT_TRUE(c.insert(id_of(parents_write), vector_of(parents_write), {}).ok());
    // Now and then a compaction of what the killed children left.
    ASSERT_TRUE(round % 10 == 9 ? c.compact().ok() : c.flush().ok());
    newest_durable[id_of(parents_write)] = parents_write;
  }
  RecordProperty("rounds", kRounds);
  RecordProperty("killed_while_writing", killed_while_writing);
  RecordProperty("killed_while_compacting", killed_while_compacting);
}

}  // namespace
}  // namespace tarnvault_core::collection
