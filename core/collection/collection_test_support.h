// Helpers shared by the collection tests: opening collections in scratch
// directories, writing log and data-file records by hand, and reading back
// what a search finds.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <utility>
#include <vector>

#include "core/collection/collection.h"
#include "core/collection/collection_files.h"
#include "core/storage/data_file/data_file.h"
#include "core/storage/io/testing/test_support.h"
#include "core/storage/wal/wal.h"

namespace tarnvault_core::collection::testing {

// Built with AddressSanitizer or ThreadSanitizer: the long reliability tests
// then cover a deterministic sample of their cases, not every one.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
inline constexpr bool kSanitized = true;
#else
inline constexpr bool kSanitized = false;
#endif
#else
inline constexpr bool kSanitized = false;
#endif

using storage::io::testing::read_bytes;
using storage::io::testing::TempDir;
using storage::io::testing::write_bytes;

inline CollectionConfig config(std::size_t dimension = 2,
                               DistanceMetric metric = DistanceMetric::Euclidean,
                               SyncMode sync_mode = SyncMode::Never) {
  return CollectionConfig{dimension, metric, sync_mode};
}

// Opens or fails the test.
inline std::unique_ptr<Collection> open(const std::filesystem::path& dir,
                                        CollectionConfig cfg = config()) {
  auto opened = Collection::open_or_create(dir, cfg);
  EXPECT_TRUE(opened.ok()) << opened.error().message();
  return opened.ok() ? std::move(opened).value() : nullptr;
}

inline CollectionFiles files(const TempDir& dir) { return CollectionFiles::in(dir.path()); }

inline WalEntry wal_entry(WalEntryKind kind, std::uint64_t id, std::vector<float> vector = {}) {
  return WalEntry{kind, id, std::move(vector), {}};
}

// Appends records to a log file, as a collection would have logged them.
inline void write_wal(const std::filesystem::path& path, const std::vector<WalEntry>& entries) {
  auto wal = Wal::open(path, SyncMode::Always);
  ASSERT_TRUE(wal.ok());
  for (const WalEntry& entry : entries) ASSERT_TRUE(wal->append(entry).ok());
}

struct Stored {
  std::uint64_t id;
  std::vector<float> vector;
};

// Appends live records to a data file and returns their offsets.
inline std::vector<std::uint64_t> write_data(const std::filesystem::path& path,
                                             const std::vector<Stored>& records) {
  std::vector<std::uint64_t> offsets;
  auto file = DataFile::open(path);
  EXPECT_TRUE(file.ok());
  if (!file.ok()) return offsets;
  for (const Stored& r : records) {
    auto offset = file->append(r.id, r.vector, {});
    EXPECT_TRUE(offset.ok());
    if (offset.ok()) offsets.push_back(*offset);
  }
  EXPECT_TRUE(file->flush().ok());
  return offsets;
}

inline bool deleted_at(const std::filesystem::path& data_path, std::uint64_t offset) {
  auto file = DataFile::open(data_path);
  auto record = file->read_at(offset);
  EXPECT_TRUE(record.ok()) << record.error().message();
  return record.ok() && record->deleted;
}

// The ids a search for query returns, nearest first.
inline std::vector<std::uint64_t> ids_near(const Collection& c, std::vector<float> query,
                                           std::size_t k = 100) {
  std::vector<std::uint64_t> ids;
  for (const SearchResult& r : c.search(query, k)) ids.push_back(r.id);
  return ids;
}

// True when the collection holds exactly this vector under id (distance 0
// to itself, and no other vector of that id).
inline bool holds(const Collection& c, std::uint64_t id, std::vector<float> vector) {
  for (const SearchResult& r : c.search(vector, c.len() + 1)) {
    if (r.id == id) return r.distance == 0.0f;
  }
  return false;
}

}  // namespace tarnvault_core::collection::testing
