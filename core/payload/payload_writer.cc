#include "core/payload/json_writer.h"
#include "core/payload/payload.h"

namespace tarnvault_core::payload {
namespace {

// The payload's own two levels: the outer object and the data map.
constexpr int kPayloadLevels = 2;

}  // namespace

Status write_payload(CompactJsonWriter& writer, const Payload& payload, int enclosing_levels) {
  const int levels_left = kMaxJsonNesting - enclosing_levels - kPayloadLevels;
  if (levels_left < 0) {
    return Error::payload_error("nesting deeper than " + std::to_string(kMaxJsonNesting) +
                                " levels");
  }
  writer.StartObject();
  writer.string("data");
  writer.StartObject();
  for (const auto& [key, value] : payload.data) {
    TV_RETURN_IF_ERROR(writer.checked_string(key));
    TV_RETURN_IF_ERROR(writer.value(value, levels_left));
  }
  writer.EndObject();
  writer.EndObject();
  return {};
}

Status append_embedded_payload_json(const Payload& payload, int enclosing_levels,
                                    std::string& out) {
  const std::size_t original_size = out.size();
  StringOutput output(out);
  CompactJsonWriter writer(output);
  Status status = write_payload(writer, payload, enclosing_levels);
  if (!status.ok()) out.resize(original_size);
  return status;
}

Status append_payload_json(const Payload& payload, std::string& out) {
  return append_embedded_payload_json(payload, 0, out);
}

Result<std::string> payload_to_json(const Payload& payload) {
  std::string text;
  TV_RETURN_IF_ERROR(append_payload_json(payload, text));
  return text;
}

}  // namespace tarnvault_core::payload
