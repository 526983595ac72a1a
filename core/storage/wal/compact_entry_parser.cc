#include "core/storage/wal/compact_entry_parser.h"

#include <array>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <system_error>

#include "core/payload/float32_from_decimal.h"
#include "core/payload/json_number.h"

namespace tarnvault_core::storage::wal {
namespace {

constexpr std::size_t kMaxIntegerDigits = 20;
constexpr std::size_t kMaxExponentDigits = 2;
// Digits past this many no longer fit the 64-bit mantissa exactly.
constexpr std::size_t kMaxExactDigits = 19;

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

bool is_digit(char c) { return static_cast<unsigned char>(c - '0') < 10; }

// The scans below walk the body through raw pointers. The body's closing
// text is checked before anything else, and it ends in '}', a byte that no
// number, separator or bracket test accepts: every scan stops on it at the
// latest, so none needs to check where the body ends. Only the fixed texts
// are compared against the room that is left.
class Scan {
 public:
  Scan(const char* at, const char* end) : at_(at), end_(end) {}

  bool take(std::string_view expected) {
    if (end_ - at_ < static_cast<std::ptrdiff_t>(expected.size()) ||
        std::memcmp(at_, expected.data(), expected.size()) != 0) {
      return false;
    }
    at_ += expected.size();
    return true;
  }
  bool take(char c) {
    if (*at_ != c) return false;
    ++at_;
    return true;
  }
  bool at(const char* position) const { return at_ == position; }

  // 1 to max digits; a leading zero only alone, as JSON demands. The
  // digits are appended to mantissa, which wraps past 19 of them.
  bool digits(std::size_t max, bool leading_zero_alone, std::uint64_t& mantissa,
              std::size_t& count) {
    const char* const start = at_;
    std::uint64_t value = mantissa;
    while (is_digit(*at_)) {
      value = value * 10 + static_cast<std::uint64_t>(*at_ - '0');
      ++at_;
    }
    mantissa = value;
    count = static_cast<std::size_t>(at_ - start);
    if (count == 0 || count > max) return false;
    return !(leading_zero_alone && count > 1 && *start == '0');
  }

  // A JSON number of the plain form. With value, also its nearest float:
  // the digits are gathered during the scan, and only a number that the
  // quick conversion cannot vouch for is converted again from its text.
  bool number(float* value) {
    const char* const start = at_;
    const bool negative = take('-');
    std::uint64_t mantissa = 0;
    std::size_t digit_count = 0;
    if (!digits(kMaxIntegerDigits, true, mantissa, digit_count)) return false;
    std::int64_t exponent = 0;
    if (take('.')) {
      std::size_t fraction_digits = 0;
      if (!digits(static_cast<std::size_t>(end_ - at_), false, mantissa, fraction_digits)) {
        return false;
      }
      digit_count += fraction_digits;
      exponent = -static_cast<std::int64_t>(fraction_digits);
    }
    if (take('e') || take('E')) {
      const bool negative_exponent = !take('+') && take('-');
      std::uint64_t written = 0;
      std::size_t exponent_digits = 0;
      if (!digits(kMaxExponentDigits, false, written, exponent_digits)) return false;
      exponent += negative_exponent ? -static_cast<std::int64_t>(written)
                                    : static_cast<std::int64_t>(written);
    }
    if (!value) return true;
    std::optional<float> quick;
    // At most 19 digits: the fraction is short, so the exponent is small.
    if (digit_count <= kMaxExactDigits) {
      quick = payload::float32_from_decimal(mantissa, static_cast<int>(exponent), negative);
    }
    // The conversion the general reader applies to the same text.
    *value = quick ? *quick
                   : payload::float32_from_json_text(
                         std::string_view(start, static_cast<std::size_t>(at_ - start)));
    return true;
  }

  bool unsigned_integer(std::uint64_t& value) {
    const char* const start = at_;
    std::uint64_t ignored = 0;
    std::size_t count = 0;
    if (!digits(kMaxIntegerDigits, true, ignored, count)) return false;
    const auto [end, ec] = std::from_chars(start, at_, value);
    return ec == std::errc() && end == at_;
  }

 private:
  const char* at_;
  const char* end_;
};

bool take_opening(Scan& scan, WalEntryKind& kind) {
  for (const KindText& opening : kOpenings) {
    if (scan.take(opening.text)) {
      kind = opening.kind;
      return true;
    }
  }
  return false;
}

// The components into vector, or only checked when vector is null.
bool take_components(Scan& scan, std::vector<float>* vector) {
  if (vector) vector->clear();
  if (scan.take(']')) return true;
  do {
    float component = 0;
    if (!scan.number(vector ? &component : nullptr)) return false;
    if (vector) vector->push_back(component);
  } while (scan.take(','));
  return scan.take(']');
}

// Parses into out, or only checks the shape when out is null.
bool parse(std::string_view body, WalEntry* out) {
  if (!body.ends_with(kEmptyPayloadClose)) return false;
  const char* const close = body.data() + body.size() - kEmptyPayloadClose.size();
  Scan scan(body.data(), close);
  WalEntryKind kind = WalEntryKind::Checkpoint;
  std::uint64_t id = 0;
  if (!take_opening(scan, kind)) return false;
  if (!scan.unsigned_integer(id)) return false;
  if (!scan.take(kVectorKey)) return false;
  if (!take_components(scan, out ? &out->vector : nullptr)) return false;
  if (!scan.at(close)) return false;
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
