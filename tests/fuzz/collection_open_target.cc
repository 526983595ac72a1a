// Collection::open_or_create over a directory assembled from the input.
//
// Input layout: one flags byte, then up to three parts separated by "@@@@":
// meta.json, wal.log, data.qvf. Flags: bit 0 fixes the log's checksums
// (see fix_wal_checksums); bits 1, 2, 3 write meta.json, wal.log, data.qvf
// (an unwritten file is absent); bits 4-5 are the dimension minus one;
// bits 6-7 the metric.
//
// When the open succeeds: a search over everything finds exactly len()
// distinct ids; an insert and a flush succeed; and a reopen after closing
// finds the same vectors again.
#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/collection/collection.h"
#include "core/collection/collection_files.h"
#include "tests/fuzz/fuzz_support.h"

namespace tarnvault_fuzz {
namespace {

namespace tc = tarnvault_core;

constexpr std::string_view kPartSeparator = "@@@@";

std::array<std::string, 3> split_parts(std::string_view rest) {
  std::array<std::string, 3> parts;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    const std::size_t end = i + 1 < parts.size() ? rest.find(kPartSeparator) : rest.npos;
    parts[i] = std::string(rest.substr(0, end));
    if (end == rest.npos) break;
    rest.remove_prefix(end + kPartSeparator.size());
  }
  return parts;
}

// Every (id, distance bits) a search over everything returns, sorted.
using Contents = std::vector<std::pair<std::uint64_t, std::uint32_t>>;

Contents contents_of(const tc::Collection& collection) {
  const std::vector<float> query(collection.config().dimension, 0.0f);
  const std::size_t len = collection.len();
  Contents contents;
  for (const tc::SearchResult& result : collection.search(query, len + 1)) {
    contents.emplace_back(result.id, std::bit_cast<std::uint32_t>(result.distance));
  }
  std::sort(contents.begin(), contents.end());
  FUZZ_CHECK(contents.size() == len, "a search over everything returned " +
                                         std::to_string(contents.size()) + " of " +
                                         std::to_string(len) + " vectors");
  FUZZ_CHECK(std::adjacent_find(contents.begin(), contents.end(),
                                [](const auto& a, const auto& b) { return a.first == b.first; }) ==
                 contents.end(),
             "a search returned one id twice");
  return contents;
}

// A refused meta.json is refused before the log or the data file is opened,
// so such an open creates neither.
void check_failed_open(const tc::Error& error, const tc::collection::CollectionFiles& files,
                       std::uint8_t flags) {
  const std::string& text = error.text();
  if (!text.starts_with("dimension mismatch: ") && !text.starts_with("parse meta failed: ") &&
      !text.starts_with("read meta failed: ")) {
    return;
  }
  FUZZ_CHECK(std::filesystem::exists(files.wal) == ((flags & 4) != 0) &&
                 std::filesystem::exists(files.data) == ((flags & 8) != 0),
             "an open refused over meta.json created files: " + error.message());
}

}  // namespace

void collection_open(FuzzInput input) {
  if (input.empty()) return;
  const std::uint8_t flags = input[0];
  std::array<std::string, 3> parts = split_parts(as_text(input.subspan(1)));
  if (flags & 1) fix_wal_checksums(parts[1]);

  const std::filesystem::path dir = fresh_directory();
  const auto files = tc::collection::CollectionFiles::in(dir);
  if (flags & 2) write_file(files.meta, parts[0]);
  if (flags & 4) write_file(files.wal, parts[1]);
  if (flags & 8) write_file(files.data, parts[2]);

  tc::CollectionConfig config;
  config.dimension = 1 + ((flags >> 4) & 3);
  config.metric = static_cast<tc::DistanceMetric::Value>((flags >> 6) & 3);
  config.sync_mode = tc::SyncMode::Batched;

  Contents before;
  {
    auto opened = tc::Collection::open_or_create(dir, config);
    if (!opened.ok()) {
      check_failed_open(opened.error(), files, flags);
      return;
    }
    tc::Collection& collection = **opened;
    before = contents_of(collection);

    const std::uint64_t id = collection.next_id();
    const std::vector<float> vector(config.dimension, 1.0f);
    auto inserted = collection.insert(id, vector, {});
    FUZZ_CHECK(inserted.ok(), "insert into an opened collection failed: " +
                                  inserted.error().message());
    auto flushed = collection.flush();
    FUZZ_CHECK(flushed.ok(), "flush failed: " + flushed.error().message());
    before = contents_of(collection);
    FUZZ_CHECK(std::any_of(before.begin(), before.end(),
                           [&](const auto& entry) { return entry.first == id; }),
               "the inserted id is not found");
  }

  auto reopened = tc::Collection::open_or_create(dir, config);
  FUZZ_CHECK(reopened.ok(), "a flushed collection does not reopen: " +
                                reopened.error().message());
  FUZZ_CHECK(contents_of(**reopened) == before, "a reopen after a flush changed the contents");
}

}  // namespace tarnvault_fuzz
