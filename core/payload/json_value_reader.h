// Readers that accept any JSON value: one that builds it, one that skips it.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "core/payload/json_reader.h"
#include "core/payload/json_value.h"

namespace tarnvault_core::payload {

// Builds the value into a target. Within objects a repeated key replaces the
// earlier value. A float beyond the double range fails ("number out of
// range"). Reusable: reset() aims it at the next target.
class JsonValueReader : public ValueReader {
 public:
  JsonValueReader() = default;
  explicit JsonValueReader(JsonValue* target) : target_(target) {}

  void reset(JsonValue* target);

  std::string expected() const override { return "any value"; }
  ReadStep on_null(ReadContext& ctx) override;
  ReadStep on_bool(ReadContext& ctx, bool value) override;
  ReadStep on_number(ReadContext& ctx, std::string_view text) override;
  ReadStep on_string(ReadContext& ctx, std::string_view value) override;
  ReadStep on_start_object(ReadContext& ctx) override;
  ReadStep on_key(ReadContext& ctx, std::string_view key) override;
  ReadStep on_end_object(ReadContext& ctx) override;
  ReadStep on_start_array(ReadContext& ctx) override;
  ReadStep on_end_array(ReadContext& ctx) override;

 private:
  // An open array or object, and for an object the key of the value to come.
  struct Frame {
    JsonValue container;
    std::string key;
  };

  // Puts a finished value into the open container, or into the target when
  // it is the whole value.
  ReadStep complete(JsonValue value);
  ReadStep close_container();

  JsonValue* target_ = nullptr;
  std::vector<Frame> frames_;
};

// Skips one value of any kind (the parser still checks its syntax, and the
// driver its depth). Reusable once the skipped value is complete.
class SkipValueReader : public ValueReader {
 public:
  std::string expected() const override { return "any value"; }
  ReadStep on_null(ReadContext&) override { return scalar(); }
  ReadStep on_bool(ReadContext&, bool) override { return scalar(); }
  ReadStep on_number(ReadContext&, std::string_view) override { return scalar(); }
  ReadStep on_string(ReadContext&, std::string_view) override { return scalar(); }
  ReadStep on_start_object(ReadContext&) override { return open(); }
  ReadStep on_key(ReadContext&, std::string_view) override { return ReadStep::kContinue; }
  ReadStep on_end_object(ReadContext&) override { return close(); }
  ReadStep on_start_array(ReadContext&) override { return open(); }
  ReadStep on_end_array(ReadContext&) override { return close(); }

 private:
  ReadStep scalar() const { return depth_ == 0 ? ReadStep::kDone : ReadStep::kContinue; }
  ReadStep open() {
    ++depth_;
    return ReadStep::kContinue;
  }
  ReadStep close() { return --depth_ == 0 ? ReadStep::kDone : ReadStep::kContinue; }

  std::size_t depth_ = 0;
};

}  // namespace tarnvault_core::payload
