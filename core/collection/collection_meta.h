// meta.json: the dimension, metric name, vector count and next id of a
// collection, as indented JSON. Only the dimension is ever acted upon, as a
// guard against reopening a collection with another dimension.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "core/error/result.h"
#include "core/storage/io/file_system.h"

namespace tarnvault_core::collection {

struct CollectionMeta {
  std::size_t dimension = 0;
  std::string metric;  // the metric's name as spelled ("Cosine"); not validated on reading
  std::uint64_t vector_count = 0;
  std::uint64_t next_id = 0;

  friend bool operator==(const CollectionMeta&, const CollectionMeta&) = default;
};

// The file's text: "{", one line per field in declaration order indented by
// two spaces ("  \"key\": value"), "}", with no final line feed. Fails
// (CollectionError "serialize meta failed: ...") only for a metric that is
// not UTF-8.
Result<std::string> serialize_meta(const CollectionMeta& meta);

// Reads the four fields from an object (any order, other keys skipped) or an
// array in field order. Fails with CollectionError "parse meta failed: "
// followed by the reader's message and " at line {l} column {c}".
Result<CollectionMeta> parse_meta(std::string_view text);

// Replaces dir/meta.json atomically: writes and syncs meta.json.tmp beside
// it, renames it over meta.json and syncs the directory, so a crash leaves
// the old file or the new one, never a torn one. CollectionError "write meta
// failed: " + the operating system's text, or a serialisation error.
Status write_meta_file(const std::filesystem::path& dir, const CollectionMeta& meta,
                       storage::io::FileSystem& fs = storage::io::default_file_system());

// Reads and parses a meta file. CollectionError "read meta failed: ..." when
// it cannot be read, is larger than kMaxMetaFileSize or is not UTF-8;
// otherwise parse_meta's errors.
Result<CollectionMeta> read_meta_file(
    const std::filesystem::path& file,
    storage::io::FileSystem& fs = storage::io::default_file_system());

// A written meta.json is under 200 bytes; this leaves room for anything a
// person might add while refusing to load an unrelated huge file.
inline constexpr std::uint64_t kMaxMetaFileSize = 1 << 20;

}  // namespace tarnvault_core::collection
