#include "core/payload/json_value_reader.h"

#include <utility>

#include "core/payload/json_number.h"

namespace tarnvault_core::payload {

void JsonValueReader::reset(JsonValue* target) {
  target_ = target;
  frames_.clear();
}

ReadStep JsonValueReader::on_null(ReadContext&) { return complete(JsonValue::null()); }

ReadStep JsonValueReader::on_bool(ReadContext&, bool value) {
  return complete(JsonValue::boolean(value));
}

ReadStep JsonValueReader::on_number(ReadContext& ctx, std::string_view text) {
  std::optional<JsonValue> number = number_from_json_text(text);
  if (!number) return ctx.fail("number out of range");
  return complete(std::move(*number));
}

ReadStep JsonValueReader::on_string(ReadContext&, std::string_view value) {
  return complete(JsonValue::string(std::string(value)));
}

ReadStep JsonValueReader::on_start_object(ReadContext&) {
  frames_.push_back(Frame{JsonValue::object({}), {}});
  return ReadStep::kContinue;
}

ReadStep JsonValueReader::on_key(ReadContext&, std::string_view key) {
  frames_.back().key.assign(key);
  return ReadStep::kContinue;
}

ReadStep JsonValueReader::on_end_object(ReadContext&) { return close_container(); }

ReadStep JsonValueReader::on_start_array(ReadContext&) {
  frames_.push_back(Frame{JsonValue::array({}), {}});
  return ReadStep::kContinue;
}

ReadStep JsonValueReader::on_end_array(ReadContext&) { return close_container(); }

ReadStep JsonValueReader::close_container() {
  JsonValue finished = std::move(frames_.back().container);
  frames_.pop_back();
  return complete(std::move(finished));
}

ReadStep JsonValueReader::complete(JsonValue value) {
  if (frames_.empty()) {
    *target_ = std::move(value);
    return ReadStep::kDone;
  }
  Frame& open = frames_.back();
  if (open.container.kind() == JsonValue::Kind::Array) {
    open.container.as_array().push_back(std::move(value));
  } else {
    open.container.as_object().insert_or_assign(std::move(open.key), std::move(value));
    open.key.clear();
  }
  return ReadStep::kContinue;
}

}  // namespace tarnvault_core::payload
