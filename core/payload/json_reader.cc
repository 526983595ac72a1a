#include "core/payload/json_reader.h"

#include <rapidjson/error/error.h>
#include <rapidjson/memorystream.h>
#include <rapidjson/reader.h>

#include <cstring>
#include <limits>
#include <utility>

#include "core/payload/json_number.h"
#include "core/payload/json_position.h"
#include "core/payload/json_writer.h"

namespace tarnvault_core::payload {

// ---- ValueReader: everything not overridden is the wrong type -------------

ReadStep ValueReader::on_null(ReadContext& ctx) { return ctx.invalid_type("null", *this); }

ReadStep ValueReader::on_bool(ReadContext& ctx, bool value) {
  return ctx.invalid_type(value ? "boolean `true`" : "boolean `false`", *this);
}

ReadStep ValueReader::on_number(ReadContext& ctx, std::string_view text) {
  return ctx.invalid_type(describe_number(text), *this);
}

ReadStep ValueReader::on_string(ReadContext& ctx, std::string_view value) {
  return ctx.invalid_type(describe_string(value), *this);
}

ReadStep ValueReader::on_start_object(ReadContext& ctx) { return ctx.invalid_type("map", *this); }

ReadStep ValueReader::on_start_array(ReadContext& ctx) {
  return ctx.invalid_type("sequence", *this);
}

// Keys and ends reach only readers that accepted the start of a container;
// a reader that does so overrides them.
ReadStep ValueReader::on_key(ReadContext& ctx, std::string_view) {
  return ctx.fail("unexpected object key");
}

ReadStep ValueReader::on_end_object(ReadContext& ctx) {
  return ctx.fail("unexpected end of object");
}

ReadStep ValueReader::on_end_array(ReadContext& ctx) { return ctx.fail("unexpected end of array"); }

// ---- ReadContext -----------------------------------------------------------

void ReadContext::push(ValueReader& child) {
  if (stack_size_ == stack_.size()) {
    overflowed_ = true;
    return;
  }
  stack_[stack_size_++] = &child;
}

ReadStep ReadContext::fail(std::string message) {
  if (!error_) {
    error_ = std::move(message);
    error_offset_ = event_end_;
  }
  return ReadStep::kFail;
}

ReadStep ReadContext::invalid_type(std::string_view found, const ValueReader& reader) {
  return fail("invalid type: " + std::string(found) + ", expected " + reader.expected());
}

ReadStep ReadContext::invalid_value(std::string_view found, const ValueReader& reader) {
  return fail("invalid value: " + std::string(found) + ", expected " + reader.expected());
}

// ---- Descriptions ----------------------------------------------------------

std::string describe_number(std::string_view text) {
  const std::optional<JsonValue> number = number_from_json_text(text);
  if (!number) return "floating point `" + std::string(text) + "`";
  if (number->kind() != JsonValue::Kind::Float) return "integer `" + std::string(text) + "`";
  std::string description = "floating point `";
  append_float(description, number->as_float());
  description += '`';
  return description;
}

std::string describe_string(std::string_view value) {
  std::string description = "string ";
  append_json_string(description, value);
  return description;
}

// ---- The driver: RapidJSON events to the reader on top of the stack --------

namespace {

constexpr unsigned kParseFlags = rapidjson::kParseNumbersAsStringsFlag |
                                 rapidjson::kParseValidateEncodingFlag |
                                 rapidjson::kParseIterativeFlag;

// The input is validated UTF-8, so an encoded surrogate (ED A0..BF) can only
// come from a \u escape of a lone low surrogate, which the parser lets pass.
bool has_escaped_surrogate(std::string_view text) {
  for (std::size_t i = text.find('\xED'); i != std::string_view::npos && i + 1 < text.size();
       i = text.find('\xED', i + 1)) {
    if (static_cast<unsigned char>(text[i + 1]) >= 0xA0) return true;
  }
  return false;
}

const char* syntax_message(rapidjson::ParseErrorCode code) {
  switch (code) {
    case rapidjson::kParseErrorDocumentEmpty:
      return "expected a value";
    case rapidjson::kParseErrorDocumentRootNotSingular:
      return "trailing characters";
    case rapidjson::kParseErrorValueInvalid:
      return "expected a value";
    case rapidjson::kParseErrorObjectMissName:
      return "expected a quoted key";
    case rapidjson::kParseErrorObjectMissColon:
      return "expected ':' after an object key";
    case rapidjson::kParseErrorObjectMissCommaOrCurlyBracket:
      return "expected ',' or '}' after an object member";
    case rapidjson::kParseErrorArrayMissCommaOrSquareBracket:
      return "expected ',' or ']' after an array element";
    case rapidjson::kParseErrorStringUnicodeEscapeInvalidHex:
      return "invalid \\u escape";
    case rapidjson::kParseErrorStringUnicodeSurrogateInvalid:
      return "invalid surrogate pair in \\u escape";
    case rapidjson::kParseErrorStringEscapeInvalid:
      return "invalid escape or control character in string";
    case rapidjson::kParseErrorStringMissQuotationMark:
      return "unterminated string";
    case rapidjson::kParseErrorStringInvalidEncoding:
      return "invalid UTF-8 in string";
    case rapidjson::kParseErrorNumberTooBig:
      return "number out of range";
    case rapidjson::kParseErrorNumberMissFraction:
      return "expected a digit after the decimal point";
    case rapidjson::kParseErrorNumberMissExponent:
      return "expected a digit in the exponent";
    default:
      return "syntax error";
  }
}

}  // namespace

class ReadDriver : public rapidjson::BaseReaderHandler<rapidjson::UTF8<>, ReadDriver> {
 public:
  ReadDriver(ReadContext& ctx, const rapidjson::MemoryStream& stream)
      : ctx_(ctx), stream_(stream) {}

  bool Null() {
    return deliver(after_token(), [](ValueReader& r, ReadContext& c) { return r.on_null(c); });
  }
  bool Bool(bool value) {
    return deliver(after_token(),
                   [value](ValueReader& r, ReadContext& c) { return r.on_bool(c, value); });
  }
  bool RawNumber(const char* text, rapidjson::SizeType length, bool) {
    const std::string_view number(text, length);
    return deliver(after_token(),
                   [number](ValueReader& r, ReadContext& c) { return r.on_number(c, number); });
  }
  bool String(const char* text, rapidjson::SizeType length, bool) {
    const std::string_view value(text, length);
    if (!checked_string(value)) return false;
    return deliver(after_token(),
                   [value](ValueReader& r, ReadContext& c) { return r.on_string(c, value); });
  }
  bool Key(const char* text, rapidjson::SizeType length, bool) {
    const std::string_view key(text, length);
    if (!checked_string(key)) return false;
    return deliver(after_token(),
                   [key](ValueReader& r, ReadContext& c) { return r.on_key(c, key); });
  }
  bool StartObject() {
    if (!enter_level()) return false;
    return deliver(after_bracket(),
                   [](ValueReader& r, ReadContext& c) { return r.on_start_object(c); });
  }
  bool EndObject(rapidjson::SizeType) {
    --depth_;
    return deliver(after_bracket(),
                   [](ValueReader& r, ReadContext& c) { return r.on_end_object(c); });
  }
  bool StartArray() {
    if (!enter_level()) return false;
    return deliver(after_bracket(),
                   [](ValueReader& r, ReadContext& c) { return r.on_start_array(c); });
  }
  bool EndArray(rapidjson::SizeType) {
    --depth_;
    return deliver(after_bracket(),
                   [](ValueReader& r, ReadContext& c) { return r.on_end_array(c); });
  }
  // With numbers read as text, RapidJSON never sends typed numbers.
  bool Default() { return false; }

 private:
  // Scalars and keys arrive fully consumed; the iterative parser reports a
  // bracket before consuming it.
  std::size_t after_token() const { return stream_.Tell(); }
  std::size_t after_bracket() const { return stream_.Tell() + 1; }

  bool enter_level() {
    if (++depth_ <= kMaxJsonNesting) return true;
    ctx_.event_end_ = after_bracket();
    ctx_.fail("recursion limit exceeded");
    return false;
  }

  bool checked_string(std::string_view text) {
    if (!has_escaped_surrogate(text)) return true;
    ctx_.event_end_ = after_token();
    ctx_.fail("unpaired surrogate in \\u escape");
    return false;
  }

  template <typename Send>
  bool deliver(std::size_t event_end, Send send) {
    ctx_.event_end_ = event_end;
    for (;;) {
      if (ctx_.stack_size_ == 0) {
        ctx_.fail("unexpected value");
        return false;
      }
      ValueReader& top = *ctx_.stack_[ctx_.stack_size_ - 1];
      const ReadStep step = send(top, ctx_);
      if (ctx_.overflowed_) {
        ctx_.fail("recursion limit exceeded");
        return false;
      }
      switch (step) {
        case ReadStep::kContinue:
          return true;
        case ReadStep::kDone:
          --ctx_.stack_size_;
          return true;
        case ReadStep::kRedeliver:
          continue;
        case ReadStep::kFail:
          ctx_.fail("invalid input");  // keeps the reader's own message
          return false;
      }
    }
  }

  ReadContext& ctx_;
  const rapidjson::MemoryStream& stream_;
  int depth_ = 0;
};

std::optional<std::string> read_json(std::string_view text, ValueReader& root) {
  if (text.size() > std::numeric_limits<rapidjson::SizeType>::max()) {
    return "input too large" + position_suffix(text, 0);
  }
  ReadContext ctx(text);
  ctx.push(root);
  rapidjson::MemoryStream stream(text.data(), text.size());
  ReadDriver driver(ctx, stream);
  rapidjson::Reader reader;
  const rapidjson::ParseResult result = reader.Parse<kParseFlags>(stream, driver);
  if (result.IsError()) {
    if (ctx.error_) return *ctx.error_ + position_suffix(text, ctx.error_offset_);
    const std::string message =
        result.Offset() >= text.size() ? "unexpected end of input" : syntax_message(result.Code());
    return message + position_suffix(text, result.Offset());
  }
  if (ctx.stack_size_ != 0) return "unexpected end of input" + position_suffix(text, stream.Tell());
  // A NUL byte looks like the end of input to the parser.
  if (stream.Tell() != text.size())
    return "trailing characters" + position_suffix(text, stream.Tell());
  return std::nullopt;
}

}  // namespace tarnvault_core::payload
