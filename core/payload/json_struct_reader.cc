#include "core/payload/json_struct_reader.h"

#include <cassert>

namespace tarnvault_core::payload {

StructReader::StructReader(std::string_view struct_name,
                           std::span<const std::string_view> field_names)
    : struct_name_(struct_name), field_names_(field_names) {
  assert(field_names.size() <= 64);
}

std::string StructReader::expected() const { return "struct " + std::string(struct_name_); }

ReadStep StructReader::on_null(ReadContext& ctx) {
  return in_array() ? start_element(ctx) : ValueReader::on_null(ctx);
}

ReadStep StructReader::on_bool(ReadContext& ctx, bool value) {
  return in_array() ? start_element(ctx) : ValueReader::on_bool(ctx, value);
}

ReadStep StructReader::on_number(ReadContext& ctx, std::string_view text) {
  return in_array() ? start_element(ctx) : ValueReader::on_number(ctx, text);
}

ReadStep StructReader::on_string(ReadContext& ctx, std::string_view value) {
  return in_array() ? start_element(ctx) : ValueReader::on_string(ctx, value);
}

ReadStep StructReader::on_start_object(ReadContext& ctx) {
  if (in_array()) return start_element(ctx);
  form_ = Form::kObject;
  return ReadStep::kContinue;
}

ReadStep StructReader::on_start_array(ReadContext& ctx) {
  if (in_array()) return start_element(ctx);
  form_ = Form::kArray;
  return ReadStep::kContinue;
}

ReadStep StructReader::on_key(ReadContext& ctx, std::string_view key) {
  for (std::size_t i = 0; i < field_names_.size(); ++i) {
    if (field_names_[i] != key) continue;
    const std::uint64_t bit = std::uint64_t{1} << i;
    if (seen_fields_ & bit) return ctx.fail("duplicate field `" + std::string(key) + "`");
    seen_fields_ |= bit;
    ctx.push(field_reader(i));
    return ReadStep::kContinue;
  }
  ctx.push(skip_);
  return ReadStep::kContinue;
}

ReadStep StructReader::on_end_object(ReadContext& ctx) {
  for (std::size_t i = 0; i < field_names_.size(); ++i) {
    if (!(seen_fields_ & (std::uint64_t{1} << i))) {
      return ctx.fail("missing field `" + std::string(field_names_[i]) + "`");
    }
  }
  return ReadStep::kDone;
}

ReadStep StructReader::start_element(ReadContext& ctx) {
  const std::size_t index = element_count_++;
  // Surplus elements are skipped so that the message can give their count.
  ctx.push(index < field_names_.size() ? field_reader(index) : skip_);
  return ReadStep::kRedeliver;
}

ReadStep StructReader::on_end_array(ReadContext& ctx) {
  if (element_count_ == field_names_.size()) return ReadStep::kDone;
  const std::size_t fields = field_names_.size();
  return ctx.fail("invalid length " + std::to_string(element_count_) + ", expected struct " +
                  std::string(struct_name_) + " with " + std::to_string(fields) +
                  (fields == 1 ? " element" : " elements"));
}

}  // namespace tarnvault_core::payload
