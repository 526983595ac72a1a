#include "core/storage/wal/wal_entry.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <limits>
#include <optional>

#include "core/payload/json_number.h"
#include "core/payload/json_writer.h"
#include "core/payload/json_reader.h"
#include "core/payload/json_scalar_readers.h"
#include "core/payload/json_struct_reader.h"
#include "core/payload/payload_reader.h"
#include "core/storage/wal/compact_entry_parser.h"

namespace tarnvault_core::storage::wal {
namespace {

using payload::ReadContext;
using payload::ReadStep;
using payload::ValueReader;

struct KindName {
  WalEntryKind kind;
  std::string_view name;
};

constexpr std::array<KindName, 4> kKindNames = {{
    {WalEntryKind::Insert, "Insert"},
    {WalEntryKind::Update, "Update"},
    {WalEntryKind::Delete, "Delete"},
    {WalEntryKind::Checkpoint, "Checkpoint"},
}};

std::optional<std::string_view> kind_name(WalEntryKind kind) {
  for (const KindName& entry : kKindNames) {
    if (entry.kind == kind) return entry.name;
  }
  return std::nullopt;
}

// ---- Writing ---------------------------------------------------------------

Status serialization_failed(std::string text) {
  return Error::wal_corrupted("serialization failed: " + text);
}

Status non_finite_component(std::size_t index, float component) {
  return serialization_failed("vector component " + std::to_string(index) + " is not finite: " +
                              std::string(payload::non_finite_name(component)));
}

// Nearly every record has the empty payload, and for it the writer's
// bookkeeping around the fixed keys cost about as much as the checksum of
// the whole record: the same bytes, written straight.
Status append_body_of_empty_payload(const WalEntryRef& entry, std::string_view name,
                                    std::string& out) {
  out += R"({"kind":")";
  out += name;
  out += R"(","id":)";
  std::array<char, std::numeric_limits<std::uint64_t>::digits10 + 1> id{};
  out.append(id.data(), std::to_chars(id.data(), id.data() + id.size(), entry.id).ptr);
  out += R"(,"vector":)";
  if (const std::optional<std::size_t> non_finite = payload::append_float32_array(out, entry.vector)) {
    return non_finite_component(*non_finite, entry.vector[*non_finite]);
  }
  out += R"(,"payload":{"data":{}}})";
  return {};
}

Status append_body(const WalEntryRef& entry, std::string& out) {
  const std::optional<std::string_view> name = kind_name(entry.kind);
  if (!name) {
    return serialization_failed("unknown entry kind " +
                                std::to_string(static_cast<unsigned>(entry.kind)));
  }
  if (entry.payload.data.empty()) return append_body_of_empty_payload(entry, *name, out);
  payload::StringOutput output(out);
  payload::CompactJsonWriter writer(output);
  writer.StartObject();
  writer.string("kind");
  writer.string(*name);
  writer.string("id");
  writer.Uint64(entry.id);
  writer.string("vector");
  std::optional<std::size_t> non_finite;
  writer.raw(rapidjson::kArrayType, [&](std::string& text) {
    non_finite = payload::append_float32_array(text, entry.vector);
  });
  if (non_finite) return non_finite_component(*non_finite, entry.vector[*non_finite]);
  writer.string("payload");
  // The record's own object encloses the payload.
  if (Status status = payload::write_payload(writer, entry.payload, 1); !status.ok()) {
    return serialization_failed(status.error().text());
  }
  writer.EndObject();
  return {};
}

// ---- Reading ---------------------------------------------------------------

class KindReader : public ValueReader {
 public:
  explicit KindReader(WalEntryKind* out) : out_(out) {}

  std::string expected() const override { return "enum WalEntryKind"; }

  ReadStep on_string(ReadContext& ctx, std::string_view value) override {
    for (const KindName& entry : kKindNames) {
      if (entry.name == value) {
        *out_ = entry.kind;
        return ReadStep::kDone;
      }
    }
    return ctx.fail("unknown variant `" + std::string(value) +
                    "`, expected one of `Insert`, `Update`, `Delete`, `Checkpoint`");
  }

 private:
  WalEntryKind* out_;
};

// An array of JSON numbers, each converted to the nearest 32-bit float. A
// number beyond the float range becomes +-infinity, as nearest rounding
// gives; the log never writes one, since the writer refuses non-finite
// components.
class FloatVectorReader : public ValueReader {
 public:
  explicit FloatVectorReader(std::vector<float>* out) : out_(out) {}

  std::string expected() const override { return in_array_ ? "a number" : "a sequence of numbers"; }

  ReadStep on_start_array(ReadContext& ctx) override {
    if (in_array_) return ValueReader::on_start_array(ctx);
    in_array_ = true;
    out_->reserve(count_elements_ahead(ctx.unread_text()));
    return ReadStep::kContinue;
  }

  ReadStep on_number(ReadContext& ctx, std::string_view text) override {
    if (!in_array_) return ValueReader::on_number(ctx, text);
    out_->push_back(payload::float32_from_json_text(text));
    return ReadStep::kContinue;
  }

  ReadStep on_end_array(ReadContext&) override { return ReadStep::kDone; }

 private:
  // Element count of a well-formed number array from the text after its
  // '[': one more than the commas before the first ']'. A guess for other
  // text, bounded by the text's length either way.
  static std::size_t count_elements_ahead(std::string_view unread) {
    const std::string_view inside = unread.substr(0, unread.find(']'));
    const auto commas = static_cast<std::size_t>(std::count(inside.begin(), inside.end(), ','));
    return inside.find_first_not_of(" \t\r\n") == std::string_view::npos ? 0 : commas + 1;
  }

  std::vector<float>* out_;
  bool in_array_ = false;
};

class WalEntryReader : public payload::StructReader {
 public:
  explicit WalEntryReader(WalEntry* out)
      : StructReader("WalEntry", kFields),
        kind_(&out->kind),
        id_(&out->id, std::numeric_limits<std::uint64_t>::max(), "an unsigned 64-bit integer"),
        vector_(&out->vector),
        payload_(&out->payload) {}

 protected:
  ValueReader& field_reader(std::size_t index) override {
    switch (index) {
      case 0:
        return kind_;
      case 1:
        return id_;
      case 2:
        return vector_;
      default:
        return payload_;
    }
  }

 private:
  static constexpr std::array<std::string_view, 4> kFields = {"kind", "id", "vector", "payload"};

  KindReader kind_;
  payload::UnsignedReader id_;
  FloatVectorReader vector_;
  payload::PayloadReader payload_;
};

}  // namespace

Status WalEntryRef::append_json(std::string& out) const {
  const std::size_t original_size = out.size();
  Status status = append_body(*this, out);
  if (!status.ok()) out.resize(original_size);
  return status;
}

Result<WalEntry> WalEntry::from_bytes(std::string_view bytes) {
  WalEntry entry;
  // Components are separated by commas: room for all of them at once,
  // bounded by the body's length.
  entry.vector.reserve(static_cast<std::size_t>(std::count(bytes.begin(), bytes.end(), ',')));
  if (parse_compact_entry(bytes, entry)) return entry;
  return from_bytes_general(bytes);
}

Result<WalEntry> WalEntry::from_bytes_general(std::string_view bytes) {
  WalEntry entry;
  WalEntryReader reader(&entry);
  if (std::optional<std::string> failure = payload::read_json(bytes, reader)) {
    return Error::wal_corrupted("deserialization failed: " + *failure);
  }
  return entry;
}

}  // namespace tarnvault_core::storage::wal
