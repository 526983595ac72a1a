#include "core/payload/json_scalar_readers.h"

#include "core/payload/json_number.h"

namespace tarnvault_core::payload {

ReadStep UnsignedReader::on_number(ReadContext& ctx, std::string_view text) {
  const std::optional<JsonValue> number = number_from_json_text(text);
  if (!number) return ctx.fail("number out of range");
  switch (number->kind()) {
    case JsonValue::Kind::UInt:
      if (number->as_uint() > max_) return ctx.invalid_value(describe_number(text), *this);
      *out_ = number->as_uint();
      return ReadStep::kDone;
    case JsonValue::Kind::NegInt:
      return ctx.invalid_value(describe_number(text), *this);
    default:
      return ctx.invalid_type(describe_number(text), *this);
  }
}

ReadStep StringReader::on_string(ReadContext&, std::string_view value) {
  out_->assign(value);
  return ReadStep::kDone;
}

}  // namespace tarnvault_core::payload
