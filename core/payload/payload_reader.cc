#include "core/payload/payload_reader.h"

#include "core/payload/json_reader.h"

namespace tarnvault_core::payload {

ReadStep PayloadDataReader::on_start_object(ReadContext&) { return ReadStep::kContinue; }

ReadStep PayloadDataReader::on_key(ReadContext& ctx, std::string_view key) {
  JsonValue& slot = out_->data[std::string(key)];
  slot = JsonValue::null();  // a repeated key starts over
  value_reader_.reset(&slot);
  ctx.push(value_reader_);
  return ReadStep::kContinue;
}

ReadStep PayloadDataReader::on_end_object(ReadContext&) { return ReadStep::kDone; }

PayloadReader::PayloadReader(Payload* out) : StructReader("Payload", kFields), data_reader_(out) {}

ValueReader& PayloadReader::field_reader(std::size_t) { return data_reader_; }

Result<Payload> payload_from_json(std::string_view text) {
  Payload payload;
  PayloadReader reader(&payload);
  if (std::optional<std::string> failure = read_json(text, reader)) {
    return Error::payload_error(std::move(*failure));
  }
  return payload;
}

}  // namespace tarnvault_core::payload
