#include "core/storage/wal/compact_entry_parser.h"

#include <array>
#include <charconv>
#include <cstdint>
#include <optional>
#include <system_error>

#include "core/payload/float32_from_decimal.h"
#include "core/payload/json_number.h"

namespace tarnvault_core::storage::wal {
namespace {

constexpr std::size_t kMaxIntegerDigits = 20;
constexpr std::size_t kMaxExponentDigits = 2;

struct KindText {
  WalEntryKind kind;
  std::string_view text;  // the body's opening up to the id's digits
};

constexpr std::array<KindText, 4> kOpenings = {{
    {WalEntryKind::Insert, R"({"kind":"Insert","id":)"},
    {WalEntryKind::Update, R"({"kind":"Update","id":)"},
    {WalEntryKind::Delete, R"({"kind":"Delete","id":)"},
    {WalEntryKind::Checkpoint, R"({"kind":"Checkpoint","id":)"},
}};

constexpr std::string_view kVectorKey = R"(,"vector":[)";
constexpr std::string_view kEmptyPayloadClose = R"(,"payload":{"data":{}}})";

// Digits past this many no longer fit the 64-bit mantissa exactly.
constexpr std::size_t kMaxExactDigits = 19;

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// A number's digits as one integer and the power of ten that scales it.
struct DecimalScan {
  std::uint64_t mantissa = 0;
  std::size_t digit_count = 0;
  std::int64_t exponent = 0;
  bool negative = false;
};

// A cursor over the body; every step either consumes what it expects or
// reports that the body is not of the compact shape.
class Cursor {
 public:
  explicit Cursor(std::string_view text) : text_(text) {}

  bool take(std::string_view expected) {
    if (text_.substr(at_, expected.size()) != expected) return false;
    at_ += expected.size();
    return true;
  }
  bool take(char c) {
    if (at_ >= text_.size() || text_[at_] != c) return false;
    ++at_;
    return true;
  }
  bool at_end() const { return at_ == text_.size(); }

  // 1 to max digits; a leading zero only alone, as JSON demands.
  bool digits(std::size_t max, bool leading_zero_alone) {
    DecimalScan ignored;
    return digits(max, leading_zero_alone, ignored);
  }
  // The same, appending the digits to scan's mantissa (which wraps past
  // 19 digits; digit_count tells).
  bool digits(std::size_t max, bool leading_zero_alone, DecimalScan& scan) {
    const std::size_t start = at_;
    std::uint64_t mantissa = scan.mantissa;
    while (at_ < text_.size() && is_digit(text_[at_])) {
      mantissa = mantissa * 10 + static_cast<std::uint64_t>(text_[at_] - '0');
      ++at_;
    }
    const std::size_t count = at_ - start;
    scan.mantissa = mantissa;
    scan.digit_count += count;
    if (count == 0 || count > max) return false;
    return !(leading_zero_alone && count > 1 && text_[start] == '0');
  }

  // A JSON number of the plain form. With value, also its nearest float:
  // the digits are gathered during the scan, and only a number that the
  // quick conversion cannot vouch for is converted again from its text.
  bool number(float* value) {
    const std::size_t start = at_;
    DecimalScan scan;
    scan.negative = take('-');
    if (!digits(kMaxIntegerDigits, true, scan)) return false;
    if (take('.')) {
      const std::size_t fraction_start = at_;
      if (!digits(text_.size(), false, scan)) return false;
      scan.exponent -= static_cast<std::int64_t>(at_ - fraction_start);
    }
    if (take('e') || take('E')) {
      const bool negative_exponent = !take('+') && take('-');
      DecimalScan exponent;
      if (!digits(kMaxExponentDigits, false, exponent)) return false;
      const auto written = static_cast<std::int64_t>(exponent.mantissa);
      scan.exponent += negative_exponent ? -written : written;
    }
    if (!value) return true;
    std::optional<float> quick;
    // At most 19 digits: the fraction is short, so the exponent is small.
    if (scan.digit_count <= kMaxExactDigits) {
      quick = payload::float32_from_decimal(scan.mantissa, static_cast<int>(scan.exponent),
                                            scan.negative);
    }
    // The conversion the general reader applies to the same text.
    *value = quick ? *quick
                   : payload::float32_from_json_text(text_.substr(start, at_ - start));
    return true;
  }

  bool unsigned_integer(std::uint64_t& value) {
    const std::size_t start = at_;
    if (!digits(kMaxIntegerDigits, true)) return false;
    const char* first = text_.data() + start;
    const auto [end, ec] = std::from_chars(first, text_.data() + at_, value);
    return ec == std::errc() && end == text_.data() + at_;
  }

 private:
  std::string_view text_;
  std::size_t at_ = 0;
};

bool take_opening(Cursor& cursor, WalEntryKind& kind) {
  for (const KindText& opening : kOpenings) {
    if (cursor.take(opening.text)) {
      kind = opening.kind;
      return true;
    }
  }
  return false;
}

// The components into vector, or only checked when vector is null.
bool take_components(Cursor& cursor, std::vector<float>* vector) {
  if (vector) vector->clear();
  if (cursor.take(']')) return true;
  do {
    float component = 0;
    if (!cursor.number(vector ? &component : nullptr)) return false;
    if (vector) vector->push_back(component);
  } while (cursor.take(','));
  return cursor.take(']');
}

// Parses into out, or only checks the shape when out is null.
bool parse(std::string_view body, WalEntry* out) {
  Cursor cursor(body);
  WalEntryKind kind = WalEntryKind::Checkpoint;
  std::uint64_t id = 0;
  if (!take_opening(cursor, kind)) return false;
  if (!cursor.unsigned_integer(id)) return false;
  if (!cursor.take(kVectorKey)) return false;
  if (!take_components(cursor, out ? &out->vector : nullptr)) return false;
  if (!cursor.take(kEmptyPayloadClose) || !cursor.at_end()) return false;
  if (out) {
    out->kind = kind;
    out->id = id;
    out->payload.data.clear();
  }
  return true;
}

}  // namespace

bool parse_compact_entry(std::string_view body, WalEntry& out) { return parse(body, &out); }

bool is_compact_entry(std::string_view body) { return parse(body, nullptr); }

}  // namespace tarnvault_core::storage::wal
