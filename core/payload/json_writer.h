// JSON text out. The structure (separators, nesting, the indented layout of
// meta.json) goes through RapidJSON's Writer and PrettyWriter, writing into
// a std::string. Two things are this system's own, fixed by its files:
// floats are written as the shortest text of json_number.h ("1.0", "1e-04"),
// handed to the writer as raw number text; and strings are escaped with
// lower-case \u00xx, as they always have been (the library writes upper
// case). The log's vector body has a dedicated writer here as well.
#pragma once

#include <rapidjson/prettywriter.h>
#include <rapidjson/writer.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "core/error/result.h"
#include "core/payload/json_value.h"

namespace tarnvault_core::payload {

// RapidJSON output stream that appends to a std::string, unbuffered, so
// that text appended to the string directly lands where the writer stands.
class StringOutput {
 public:
  using Ch = char;
  explicit StringOutput(std::string& text) : text_(&text) {}
  void Put(char c) { text_->push_back(c); }
  void Flush() {}
  std::string& text() { return *text_; }

 private:
  std::string* text_;
};

template <class Base>
class JsonTextWriter : public Base {
 public:
  explicit JsonTextWriter(StringOutput& output) : Base(output), output_(&output) {}

  // A key or a string value known to be UTF-8 (a name of the format).
  void string(std::string_view text);
  // A key or a string value from a caller: PayloadError unless UTF-8.
  Status checked_string(std::string_view text);
  // The shortest text of a finite float: PayloadError otherwise.
  Status floating(double value);
  // Any value, which may open at most levels_left nested arrays or objects
  // (so that whatever is written can be read back under the reader's
  // nesting limit). Fails with PayloadError for a non-finite float, a
  // string or key that is not UTF-8, or deeper nesting; the text then holds
  // part of the value and the writer is spent.
  Status value(const JsonValue& value, int levels_left);
  // A value that write(text) appends to the text itself, at the writer's
  // place: the writer puts the separator before it.
  template <class Write>
  void raw(rapidjson::Type type, Write write) {
    this->RawValue("", 0, type);
    write(output_->text());
  }

 private:
  StringOutput* output_;
};

// Compact text: log bodies and payloads.
using CompactJsonWriter = JsonTextWriter<rapidjson::Writer<StringOutput>>;
// meta.json's layout: members on their own lines, indented by two spaces,
// "key": value. Call SetIndent(' ', 2).
using IndentedJsonWriter = JsonTextWriter<rapidjson::PrettyWriter<StringOutput>>;

struct Payload;
// Writes the payload's compact form {"data":{...}} as the writer's next
// value, inside enclosing_levels arrays or objects (1 inside a log record),
// so that the nesting limit holds for the whole text. Fails as value().
Status write_payload(CompactJsonWriter& writer, const Payload& payload, int enclosing_levels);

// Appends text as a JSON string literal: quotation mark, backslash and
// control characters escaped (\n \t \r \b \f, others as \u00xx), everything
// else, non-ASCII included, as it is. The text must be valid UTF-8.
void append_json_string(std::string& out, std::string_view text);

// The log's vector body, [c,c,...], each component's shortest float32 text
// formatted straight into out: the bulk of every log record, and about 2.5
// times faster than handing the components to the Writer one at a time
// (3.4 against 8.6 us for 128 components).
// Returns the index of the first non-finite component, which JSON cannot
// hold; out then holds part of the array.
std::optional<std::size_t> append_float32_array(std::string& out, std::span<const float> values);

}  // namespace tarnvault_core::payload
