#include "core/collection/index_loader.h"

#include <utility>

namespace tarnvault_core::collection {
namespace {

// Enough rows that the bulk insert fills whole groups and prefetches far
// ahead; few enough that the staged vectors stay in the L1 or L2 cache.
constexpr std::size_t kStagedRows = 64;

}  // namespace

IndexLoader::IndexLoader(BruteForceIndex& index) : index_(index) {
  staged_ids_.reserve(kStagedRows);
  staged_vectors_.reserve(kStagedRows * index.dimension());
}

void IndexLoader::load(std::uint64_t id, std::span<const float> vector,
                       payload::Payload&& payload) {
  if (!payload.data.empty() || vector.size() != index_.dimension()) {
    // Order matters (a removal moves the last entry): what is staged goes first.
    finish();
    replace(id, vector, std::move(payload));
    return;
  }
  staged_ids_.push_back(id);
  staged_vectors_.insert(staged_vectors_.end(), vector.begin(), vector.end());
  if (staged_ids_.size() == kStagedRows) finish();
}

void IndexLoader::finish() {
  // The bulk insert stops at a row whose id the index holds (a record that
  // replaces an earlier one, or a second record of an id within the run),
  // with the rows before it inserted; that row is replaced on its own and
  // the run goes on after it.
  std::size_t next = 0;
  while (next < staged_ids_.size()) {
    const std::size_t before = index_.len();
    const Status status = index_.insert_batch(
        std::span(staged_ids_).subspan(next),
        [this, next](std::size_t i) { return staged_row(next + i); });
    next += index_.len() - before;
    if (status.ok()) break;
    replace(staged_ids_[next], staged_row(next), {});
    ++next;
  }
  staged_ids_.clear();
  staged_vectors_.clear();
}

void IndexLoader::replace(std::uint64_t id, std::span<const float> vector,
                          payload::Payload&& payload) {
  index_.remove(id);
  (void)index_.insert(id, vector, std::move(payload));
}

std::span<const float> IndexLoader::staged_row(std::size_t i) const {
  const std::size_t dimension = index_.dimension();
  return std::span(staged_vectors_).subspan(i * dimension, dimension);
}

}  // namespace tarnvault_core::collection
