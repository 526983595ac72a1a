#include "core/storage/wal/compact_entry_parser.h"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <system_error>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

// ---- The components, sixteen bytes at a time --------------------------------
//
// The components are most of a body. Walking each number byte by byte, each
// digit waits for the last and the end of each fraction is a branch that
// goes either way. Instead, the commas are found 64 bytes at a time, and
// then the numbers of a block are read each from the 16 bytes that end at
// its comma, in a loop without branches, so that their work overlaps.
// Numbers of another form (an exponent, more than 16 characters) are left
// to the byte walk above, which also judges whatever the quick reading
// refuses: the quick reading takes nothing the byte walk would refuse, and
// reads what it takes to the same decimal. Without SSE2 it refuses all.

// Bit i set where byte i of the 64 at `at` is a comma.
std::uint64_t commas_in_64(const char* at) {
#if defined(__SSE2__)
  const __m128i comma = _mm_set1_epi8(',');
  std::uint64_t bits = 0;
  for (int i = 0; i < 4; ++i) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at + 16 * i));
    const auto found = static_cast<std::uint16_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, comma)));
    bits |= std::uint64_t{found} << (16 * i);
  }
  return bits;
#else
  std::uint64_t bits = 0;
  for (int i = 0; i < 64; ++i) bits |= std::uint64_t{at[i] == ','} << i;
  return bits;
#endif
}

// Reads the numbers of texts[0, count) into decimals; returns a mask whose
// bit i is set where number i is not of the quick form (decimals[i] is then
// unspecified). The 16 bytes that end where each text ends must lie in the
// body.
std::uint64_t quick_numbers(const Text* texts, std::size_t count,
                            payload::ShortDecimal* decimals) {
#if defined(__SSE2__)
  // Bytes from `first` on set, for first in [0, 16]: the 16 at 16 - first.
  static constexpr unsigned char kOnesFrom[32] = {
      0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,
      0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
      0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff};
  auto ones_from = [](std::size_t first) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(kOnesFrom + 16 - first));
  };
  std::uint64_t refused = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const Text& text = texts[i];
    // The number fills the last `size` of the 16 bytes before its end.
    const char* const window = text.begin + text.size - 16;
    const std::size_t size = std::min<std::size_t>(text.size, 16);
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(window));
    const __m128i values = _mm_sub_epi8(bytes, _mm_set1_epi8('0'));
    // A digit's value is below 10: compared signed, both moved down by 128.
    const __m128i digit_bytes =
        _mm_cmplt_epi8(_mm_xor_si128(values, _mm_set1_epi8(static_cast<char>(0x80))),
                       _mm_set1_epi8(static_cast<char>(0x80 + 10)));
    const auto digits = static_cast<std::uint32_t>(_mm_movemask_epi8(digit_bytes));
    const auto points =
        static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, _mm_set1_epi8('.'))));

    const bool negative = *text.begin == '-';
    const std::size_t first_digit = 16 - size + negative;
    const std::uint32_t odd = ~digits & (std::uint32_t{0xffff} << first_digit) & 0xffff;
    // The one byte that is not a digit, if any, is a point between digits;
    // a leading zero stands alone.
    const auto point = static_cast<std::size_t>(std::countr_zero(odd | 0x10000));
    const bool has_point = point < 16;
    const std::size_t whole_digits = point - first_digit;
    const bool ok = text.size - 1 < 16 && first_digit < 16 && (odd & (odd - 1)) == 0 &&
                    (odd & ~points) == 0 && (!has_point || (point > first_digit && point < 15)) &&
                    !(whole_digits > 1 && window[first_digit] == '0');
    refused |= std::uint64_t{!ok} << i;

    // The point taken out (the bytes before it move one place on), then
    // the count digits left at the end of the 16, zeros before them.
    const __m128i after_point = ones_from(has_point ? point + 1 : 0);
    __m128i d = _mm_or_si128(_mm_and_si128(after_point, values),
                             _mm_andnot_si128(after_point, _mm_slli_si128(values, 1)));
    const std::size_t count_digits = 16 - first_digit - has_point;
    d = _mm_and_si128(d, ones_from(count_digits > 16 ? 0 : 16 - count_digits));
    // Combined pairwise: 2 digits per 16 bits (the first byte the higher),
    // 4 per 32, then 8 per 32.
    const __m128i pairs =
        _mm_add_epi16(_mm_mullo_epi16(_mm_and_si128(d, _mm_set1_epi16(0xff)), _mm_set1_epi16(10)),
                      _mm_srli_epi16(d, 8));
    const __m128i fours = _mm_madd_epi16(pairs, _mm_set1_epi32((1 << 16) | 100));
    const __m128i eights =
        _mm_madd_epi16(_mm_packs_epi32(fours, fours), _mm_set1_epi32((1 << 16) | 10000));
    const auto both = static_cast<std::uint64_t>(_mm_cvtsi128_si64(eights));
    decimals[i].mantissa = (both & 0xffffffff) * 100000000 + (both >> 32);
    decimals[i].exponent = has_point ? static_cast<std::int32_t>(point) - 15 : 0;
    decimals[i].negative = negative;
  }
  return refused;
#else
  (void)texts;
  (void)decimals;
  return count == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << count) - 1;
#endif
}

// The components into vector, or only checked when vector is null: the
// text from `begin` up to the ']' at `last`, numbers separated by commas;
// `close` is where the body's closing text begins, just after `last`.
// A number's 16 bytes end at its comma or at `last`, and the opening text
// before the first number is longer than that: they lie in the body.
bool take_components(const char* begin, const char* last, const char* close,
                     std::vector<float>* vector) {
  static_assert(std::min({kOpenings[0].text.size(), kOpenings[1].text.size(),
                          kOpenings[2].text.size(), kOpenings[3].text.size()}) +
                    kVectorKey.size() >= 16);
  if (vector) vector->clear();
  if (begin == last) return true;
  payload::ShortDecimal decimals[payload::kDecimalBlock];
  Text texts[payload::kDecimalBlock];
  // The ends of the numbers, 64 bytes at a time from `block`: its commas,
  // and `last` once the block reaches it; nothing past `last` is read.
  const char* block = begin;
  auto ends_in_block = [&] {
    if (last - block >= 64) return commas_in_64(block);
    char rest[64] = {};
    std::memcpy(rest, block, static_cast<std::size_t>(last - block));
    return commas_in_64(rest) | std::uint64_t{1} << (last - block);
  };
  std::uint64_t ends = ends_in_block();
  const char* start = begin;
  bool more = true;
  while (more) {
    std::size_t count = 0;
    while (more && count < payload::kDecimalBlock) {
      while (ends == 0) {
        block += 64;
        ends = ends_in_block();
      }
      const char* const end = block + std::countr_zero(ends);
      ends &= ends - 1;
      texts[count++] = {start, static_cast<std::size_t>(end - start)};
      more = end != last;
      start = end + 1;
    }
    std::uint64_t refused = quick_numbers(texts, count, decimals);
    while (refused != 0) {
      const auto i = static_cast<std::size_t>(std::countr_zero(refused));
      Scan scan(texts[i].begin, close);
      if (!scan.number(decimals[i]) || !scan.at(texts[i].begin + texts[i].size)) return false;
      refused &= refused - 1;
    }
    if (vector) append_block(decimals, texts, count, *vector);
  }
  return true;
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
  // The components run up to the ']' just before the closing text.
  const char* const last = close - 1;
  if (scan.position() > last || *last != ']') return false;
  if (!take_components(scan.position(), last, close, out ? &out->vector : nullptr)) return false;
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
