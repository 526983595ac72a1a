#include "core/payload/json_writer.h"
#include "core/payload/payload.h"

namespace tarnvault_core::payload {
namespace {

// The payload's own two levels: the outer object and the data map.
constexpr int kPayloadLevels = 2;

Status append_data_members(const Payload& payload, int levels_left, std::string& out) {
  bool first = true;
  for (const auto& [key, value] : payload.data) {
    if (!first) out += ',';
    first = false;
    TV_RETURN_IF_ERROR(append_checked_json_string(out, key));
    out += ':';
    TV_RETURN_IF_ERROR(append_json_value(out, value, levels_left));
  }
  return {};
}

}  // namespace

Status append_embedded_payload_json(const Payload& payload, int enclosing_levels,
                                    std::string& out) {
  const int levels_left = kMaxJsonNesting - enclosing_levels - kPayloadLevels;
  if (levels_left < 0) {
    return Error::payload_error("nesting deeper than " + std::to_string(kMaxJsonNesting) +
                                " levels");
  }
  const std::size_t original_size = out.size();
  out += "{\"data\":{";
  Status status = append_data_members(payload, levels_left, out);
  if (!status.ok()) {
    out.resize(original_size);
    return status;
  }
  out += "}}";
  return {};
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
