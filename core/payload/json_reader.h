// A strict, composable JSON reader. A ValueReader consumes the events of one
// JSON value and may hand nested values to child readers; read_json runs a
// root reader over a whole text and reports the first fault with its
// position. Nesting is counted over the whole text, so a reader embedded in
// another (a payload inside a log record) shares the one depth limit.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/payload/json_value.h"

namespace tarnvault_core::payload {

class ReadContext;

// What a reader tells the driver after one event.
enum class ReadStep : std::uint8_t {
  kContinue,   // more events of this reader's value follow
  kDone,       // the value is complete; later events go to the parent reader
  kRedeliver,  // a child was pushed and receives this same event next
  kFail,       // ReadContext::fail has recorded the error
};

// Consumes the events of exactly one JSON value, nested values included
// unless it pushes children for them. Every event a reader does not
// override is refused with "invalid type: {found}, expected {expected()}".
// Strings and keys are UTF-8, valid for the duration of the call only.
class ValueReader {
 public:
  virtual ~ValueReader() = default;

  // What this reader accepts, as shown in "invalid type" messages.
  virtual std::string expected() const = 0;

  virtual ReadStep on_null(ReadContext& ctx);
  virtual ReadStep on_bool(ReadContext& ctx, bool value);
  // text is the number exactly as written (JSON number grammar).
  virtual ReadStep on_number(ReadContext& ctx, std::string_view text);
  virtual ReadStep on_string(ReadContext& ctx, std::string_view value);
  virtual ReadStep on_start_object(ReadContext& ctx);
  virtual ReadStep on_key(ReadContext& ctx, std::string_view key);
  virtual ReadStep on_end_object(ReadContext& ctx);
  virtual ReadStep on_start_array(ReadContext& ctx);
  virtual ReadStep on_end_array(ReadContext& ctx);
};

// The driver's side as readers see it: handing values to children, and
// recording an error at the position of the event being handled.
class ReadContext {
 public:
  explicit ReadContext(std::string_view text) : text_(text) {}

  // The next value goes to child: after a key, return kContinue; when the
  // current event already starts that value, return kRedeliver.
  void push(ValueReader& child);

  // Records message at the current position; returns kFail.
  ReadStep fail(std::string message);
  // "invalid type: {found}, expected {reader.expected()}"
  ReadStep invalid_type(std::string_view found, const ValueReader& reader);
  // "invalid value: {found}, expected {reader.expected()}"
  ReadStep invalid_value(std::string_view found, const ValueReader& reader);

  // The text after the current event, for readers that size storage ahead.
  std::string_view unread_text() const {
    return text_.substr(event_end_ < text_.size() ? event_end_ : text_.size());
  }

 private:
  friend class ReadDriver;
  friend std::optional<std::string> read_json(std::string_view text, ValueReader& root);

  std::string_view text_;
  std::size_t event_end_ = 0;  // bytes consumed up to the end of the current event
  // Readers nest no deeper than the values they read, plus a scalar leaf.
  std::array<ValueReader*, kMaxJsonNesting + 2> stack_{};
  std::size_t stack_size_ = 0;
  bool overflowed_ = false;
  std::optional<std::string> error_;
  std::size_t error_offset_ = 0;
};

// Reads text, which must hold exactly one JSON value with optional
// surrounding whitespace, through root. Returns nothing on success, or the
// message of the first fault followed by " at line {l} column {c}".
std::optional<std::string> read_json(std::string_view text, ValueReader& root);

// How "invalid type"/"invalid value" messages describe what was found.
std::string describe_number(std::string_view text);   // integer `5`, floating point `1.5`
std::string describe_string(std::string_view value);  // string "abc"

}  // namespace tarnvault_core::payload
