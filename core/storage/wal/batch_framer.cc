#include "core/storage/wal/batch_framer.h"

#include <algorithm>
#include <exception>
#include <system_error>
#include <thread>
#include <utility>

#include "core/storage/wal/wal_record.h"

namespace tarnvault_core::storage::wal {
namespace {

// Records framed into runs, as one thread frames them.
struct Part {
  std::vector<FramedRun> runs;
  std::size_t count = 0;
  std::size_t bytes = 0;
  Status stopped;
};

// Frames entry_of(0) ... entry_of(n - 1) into runs of about run_bytes,
// until n records or `cap` bytes are framed, or one fails to encode.
template <typename EntryOf>
Part frame_part(std::size_t n, const EntryOf& entry_of, std::size_t run_bytes, std::size_t cap) {
  Part part;
  while (part.count < n && part.bytes < cap) {
    if (part.runs.empty() || part.runs.back().bytes.size() >= run_bytes) {
      part.runs.emplace_back();
      // Room for the run and its last record: growing by doubling past
      // run_bytes would copy the run and waste as much again.
      part.runs.back().bytes.reserve(run_bytes + run_bytes / 4);
    }
    FramedRun& run = part.runs.back();
    const std::size_t before = run.bytes.size();
    if (Status encoded = append_record(entry_of(part.count), run.bytes); !encoded.ok()) {
      part.stopped = std::move(encoded);
      break;
    }
    if (run.count == 0) run.first_record_size = run.bytes.size();
    ++run.count;
    ++part.count;
    part.bytes += run.bytes.size() - before;
  }
  if (!part.runs.empty() && part.runs.back().count == 0) part.runs.pop_back();
  return part;
}

}  // namespace

void run_beside(const std::function<void()>& helper, const std::function<void()>& own) {
  // An exception (an allocation that failed) reaches the caller, from
  // either side, and only once the helper is done with what it shares.
  std::exception_ptr helper_failed;
  std::thread thread;
  try {
    thread = std::thread([&] {
      try {
        helper();
      } catch (...) {
        helper_failed = std::current_exception();
      }
    });
  } catch (const std::system_error&) {
    helper();
  }
  try {
    own();
  } catch (...) {
    if (thread.joinable()) thread.join();
    throw;
  }
  if (thread.joinable()) thread.join();
  if (helper_failed) std::rethrow_exception(helper_failed);
}

BatchFramer::BatchFramer(std::size_t count, EntryAt entry_at, BatchLimits limits)
    : count_(count), entry_at_(std::move(entry_at)), limits_(limits) {}

std::size_t BatchFramer::bytes_per_record() const {
  return std::max<std::size_t>(1, framed_bytes_ / std::max<std::size_t>(1, framed_records_));
}

FramedGroup BatchFramer::frame_group(std::size_t first) {
  FramedGroup group;
  group.first = first;
  if (first >= count_) return group;
  std::size_t budget = limits_.group_bytes;
  auto add = [&](Part& part) {
    framed_records_ += part.count;
    framed_bytes_ += part.bytes;
    budget -= std::min(budget, part.bytes);
    group.count += part.count;
    for (FramedRun& run : part.runs) group.runs.push_back(std::move(run));
    group.stopped = std::move(part.stopped);
  };
  auto entries_from = [this](std::size_t start) {
    return [this, start](std::size_t k) { return entry_at_(start + k); };
  };
  if (framed_records_ == 0) {
    // Nothing tells the size of a record yet: one run, framed on this
    // thread, measures it (and is the whole of a small batch).
    Part probe = frame_part(count_ - first, entries_from(first), limits_.run_bytes,
                            std::min(limits_.run_bytes, budget));
    add(probe);
    if (!group.stopped.ok() || budget == 0) return group;
  }
  const std::size_t next = first + group.count;
  const std::size_t n = std::min(count_ - next, std::max<std::size_t>(1, budget / bytes_per_record()));
  if (n == 0) return group;
  if (n < 2 || n * bytes_per_record() < limits_.parallel_bytes) {
    Part part = frame_part(n, entries_from(next), limits_.run_bytes, budget);
    add(part);
    return group;
  }
  // Two halves, each capped at the whole budget so that a wrong guess of
  // the record size cannot make the group grow without bound. The entries
  // are gathered first, so that only this thread calls entry_at.
  std::vector<WalEntryRef> entries;
  entries.reserve(n);
  for (std::size_t k = 0; k < n; ++k) entries.push_back(entry_at_(next + k));
  const std::size_t half = n / 2;
  Part front;
  Part back;
  run_beside(
      [&] {
        back = frame_part(n - half, [&](std::size_t k) { return entries[half + k]; },
                          limits_.run_bytes, budget);
      },
      [&] {
        front = frame_part(half, [&](std::size_t k) { return entries[k]; }, limits_.run_bytes,
                           budget);
      });
  // A front half that ended early (a record it could not encode, or its
  // cap) ends the group: the back half would not follow on from it.
  const bool front_whole = front.count == half;
  add(front);
  if (front_whole) add(back);
  return group;
}

}  // namespace tarnvault_core::storage::wal
