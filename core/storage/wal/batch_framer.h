// Framing a batch's log records ahead of writing them, group by group.
//
// A batch goes to the log in groups (one sync each) of runs (one write
// each). BatchFramer turns the next group of a batch into framed bytes in
// memory, the same bytes append_record gives one record at a time, so the
// caller can write them and overlap the group's sync with framing the next
// one. A large group is framed on two threads, each taking one half of its
// records; the file is never touched here.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "core/error/result.h"
#include "core/storage/wal/wal_entry.h"

namespace tarnvault_core::storage::wal {

// The sizes that shape a batch's log writes. Tests shrink them to get many
// groups and two-thread framing out of a few records.
struct BatchLimits {
  // About this much per write: large enough that the system call costs
  // nothing beside the copy, small enough to stay in the cache.
  std::size_t run_bytes = std::size_t{1} << 20;
  // About this much per sync: a sync of the Batched log costs 0.04 to 4 ms
  // whatever its size, so few large groups beat one every 100 records.
  std::size_t group_bytes = std::size_t{32} << 20;
  // A group expected to frame at least this much is split over two threads;
  // below it a thread's start-up is not worth it.
  std::size_t parallel_bytes = std::size_t{4} << 20;
};

// Records framed back to back, to be written in one piece.
struct FramedRun {
  std::string bytes;
  std::size_t count = 0;
  // Size of the run's first record, for naming the field a failed write hit.
  std::size_t first_record_size = 0;
};

struct FramedGroup {
  std::size_t first = 0;  // the batch index of the group's first record
  std::size_t count = 0;  // records framed, in runs, from first on
  std::vector<FramedRun> runs;
  // When set, record first + count could not be encoded: the batch ends
  // after this group, with this error.
  Status stopped;
};

// Runs helper on a thread of its own while the calling thread runs own, and
// returns when both are done; an exception of either is rethrown here. When
// no thread can be started it runs helper, then own, on the calling thread.
void run_beside(const std::function<void()>& helper, const std::function<void()>& own);

class BatchFramer {
 public:
  using EntryAt = std::function<WalEntryRef(std::size_t)>;

  // The batch is entry_at(0) ... entry_at(count - 1). entry_at is only ever
  // called on the thread that calls frame_group; the entries it returns are
  // read (never changed) from a second thread while a group is framed.
  BatchFramer(std::size_t count, EntryAt entry_at, BatchLimits limits = {});

  // Frames the records from first on until about limits.group_bytes are
  // framed, the batch ends, or a record cannot be encoded (then the group
  // holds the records before it and says why it stopped).
  FramedGroup frame_group(std::size_t first);

 private:
  // The mean framed size of the records so far (at least 1).
  std::size_t bytes_per_record() const;

  std::size_t count_;
  EntryAt entry_at_;
  BatchLimits limits_;
  // What has been framed so far, for sizing the next group.
  std::size_t framed_records_ = 0;
  std::size_t framed_bytes_ = 0;
};

}  // namespace tarnvault_core::storage::wal
