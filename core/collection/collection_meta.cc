#include "core/collection/collection_meta.h"

#include <fcntl.h>

#include <array>
#include <limits>
#include <span>

#include "core/collection/collection_files.h"
#include "core/payload/json_number.h"
#include "core/payload/json_reader.h"
#include "core/payload/json_scalar_readers.h"
#include "core/payload/json_struct_reader.h"
#include "core/payload/json_writer.h"
#include "core/payload/utf8.h"
#include "core/storage/io/directory.h"
#include "core/storage/io/file_system.h"

namespace tarnvault_core::collection {
namespace {

using payload::ValueReader;

class MetaReader : public payload::StructReader {
 public:
  explicit MetaReader(CollectionMeta* out)
      : StructReader("CollectionMeta", kFields),
        dimension_(&dimension_value_, std::numeric_limits<std::size_t>::max(),
                   "an unsigned machine-word integer"),
        metric_(&out->metric),
        vector_count_(&out->vector_count, std::numeric_limits<std::uint64_t>::max(),
                      "an unsigned 64-bit integer"),
        next_id_(&out->next_id, std::numeric_limits<std::uint64_t>::max(),
                 "an unsigned 64-bit integer") {}

  // Read through a 64-bit value; the reader's bound keeps it within size_t.
  std::size_t dimension() const { return static_cast<std::size_t>(dimension_value_); }

 protected:
  ValueReader& field_reader(std::size_t index) override {
    switch (index) {
      case 0:
        return dimension_;
      case 1:
        return metric_;
      case 2:
        return vector_count_;
      default:
        return next_id_;
    }
  }

 private:
  static constexpr std::array<std::string_view, 4> kFields = {"dimension", "metric", "vector_count",
                                                              "next_id"};

  std::uint64_t dimension_value_ = 0;
  payload::UnsignedReader dimension_;
  payload::StringReader metric_;
  payload::UnsignedReader vector_count_;
  payload::UnsignedReader next_id_;
};

// ---- Files -----------------------------------------------------------------

Error write_failed(const Status& status) {
  return Error::collection_error("write meta failed: " + status.error().text());
}

Error read_failed(const std::string& text) {
  return Error::collection_error("read meta failed: " + text);
}

Status write_synced_file(storage::io::FileSystem& fs, const std::filesystem::path& path,
                         std::string_view text) {
  auto opened = storage::io::open_file(fs, path, O_WRONLY | O_CREAT | O_TRUNC);
  if (!opened.ok()) return std::move(opened).error();
  storage::io::RandomAccessFile& file = **opened;
  if (auto written = file.pwrite_all(std::span(text.data(), text.size()), 0);
      !written.status.ok()) {
    return written.status;
  }
  TV_RETURN_IF_ERROR(file.sync());
  return file.close();
}

}  // namespace

Result<std::string> serialize_meta(const CollectionMeta& meta) {
  std::string text;
  text.reserve(128);
  payload::StringOutput output(text);
  payload::IndentedJsonWriter writer(output);
  writer.SetIndent(' ', 2);
  writer.StartObject();
  writer.string("dimension");
  writer.Uint64(meta.dimension);
  writer.string("metric");
  if (Status written = writer.checked_string(meta.metric); !written.ok()) {
    return Error::collection_error("serialize meta failed: " + written.error().text());
  }
  writer.string("vector_count");
  writer.Uint64(meta.vector_count);
  writer.string("next_id");
  writer.Uint64(meta.next_id);
  writer.EndObject();
  return text;
}

Result<CollectionMeta> parse_meta(std::string_view text) {
  CollectionMeta meta;
  MetaReader reader(&meta);
  if (std::optional<std::string> failure = payload::read_json(text, reader)) {
    return Error::collection_error("parse meta failed: " + *failure);
  }
  meta.dimension = reader.dimension();
  return meta;
}

Status write_meta_file(const std::filesystem::path& dir, const CollectionMeta& meta,
                       storage::io::FileSystem& fs) {
  auto text = serialize_meta(meta);
  if (!text.ok()) return std::move(text).error();
  const std::filesystem::path final_path = dir / kMetaFileName;
  const std::filesystem::path temporary_path = dir / (std::string(kMetaFileName) + ".tmp");
  Status status = write_synced_file(fs, temporary_path, *text);
  if (status.ok()) status = fs.rename(temporary_path, final_path);
  if (!status.ok()) {
    // The old meta.json is intact; the leftover is only clutter.
    (void)fs.unlink(temporary_path);
    return write_failed(status);
  }
  // The rename survives a power failure only once the directory is synced.
  if (status = storage::io::sync_directory(fs, dir); !status.ok()) return write_failed(status);
  return {};
}

Result<CollectionMeta> read_meta_file(const std::filesystem::path& file,
                                      storage::io::FileSystem& fs) {
  auto opened = storage::io::open_file(fs, file, O_RDONLY);
  if (!opened.ok()) return read_failed(opened.error().text());
  auto size = (*opened)->size();
  if (!size.ok()) return read_failed(size.error().text());
  if (*size > kMaxMetaFileSize) {
    return read_failed("file is too large: " + std::to_string(*size) + " bytes, at most " +
                       std::to_string(kMaxMetaFileSize) + " expected");
  }
  std::string text(static_cast<std::size_t>(*size), '\0');
  auto got = (*opened)->pread_up_to(std::span(text.data(), text.size()), 0);
  if (!got.ok()) return read_failed(got.error().text());
  text.resize(*got);
  if (const std::size_t valid = payload::valid_utf8_prefix(text); valid != text.size()) {
    return read_failed("invalid UTF-8 at byte " + std::to_string(valid));
  }
  return parse_meta(text);
}

}  // namespace tarnvault_core::collection
