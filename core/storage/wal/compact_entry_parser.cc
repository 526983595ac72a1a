#include "core/storage/wal/compact_entry_parser.h"

#include <array>
#include <bit>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
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

  // A JSON number of the plain form; its digits go to decimal (a mantissa
  // beyond 2^64 - 1 as the largest, which no quick conversion takes).
  bool number(payload::ShortDecimal& decimal) {
    // Without a branch: the signs of the components are a coin toss.
    decimal.negative = *at_ == '-';
    at_ += decimal.negative;
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
    // At most 19 digits: the fraction is short, so the exponent is small.
    const bool exact = digit_count <= kMaxExactDigits;
    decimal.mantissa = exact ? mantissa : std::numeric_limits<std::uint64_t>::max();
    decimal.exponent = exact ? static_cast<std::int32_t>(exponent) : 0;
    return true;
  }

  const char* position() const { return at_; }

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

// Where a number's text lies in the body.
struct Text {
  const char* begin;
  std::size_t size;
};

// Appends the floats of a block of scanned numbers to vector. The few that
// the quick conversion refuses get the conversion the general reader
// applies to the same text.
void append_block(const payload::ShortDecimal* decimals, const Text* texts, std::size_t count,
                  std::vector<float>& vector) {
  const std::size_t start = vector.size();
  vector.resize(start + count);
  float* out = vector.data() + start;
  std::uint64_t refused = payload::floats_from_decimals(decimals, count, out);
  while (refused != 0) {
    const auto i = static_cast<std::size_t>(std::countr_zero(refused));
    out[i] = payload::float32_from_json_text(std::string_view(texts[i].begin, texts[i].size));
    refused &= refused - 1;
  }
}

// The components into vector, or only checked when vector is null. The
// numbers are scanned a block at a time and then converted together, in a
// loop without branches on the data, so that their divisions overlap.
bool take_components(Scan& scan, std::vector<float>* vector) {
  if (vector) vector->clear();
  if (scan.take(']')) return true;
  payload::ShortDecimal decimals[payload::kDecimalBlock];
  Text texts[payload::kDecimalBlock];
  std::size_t count = 0;
  do {
    const char* const start = scan.position();
    if (!scan.number(decimals[count])) return false;
    texts[count] = {start, static_cast<std::size_t>(scan.position() - start)};
    if (++count == payload::kDecimalBlock) {
      if (vector) append_block(decimals, texts, count, *vector);
      count = 0;
    }
  } while (scan.take(','));
  if (vector) append_block(decimals, texts, count, *vector);
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
