#include "core/storage/wal/compact_entry_parser.h"

#include <array>
#include <charconv>
#include <cstdint>
#include <system_error>

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

bool is_digit(char c) { return c >= '0' && c <= '9'; }

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
    const std::size_t start = at_;
    while (at_ < text_.size() && is_digit(text_[at_])) ++at_;
    const std::size_t count = at_ - start;
    if (count == 0 || count > max) return false;
    return !(leading_zero_alone && count > 1 && text_[start] == '0');
  }

  // A JSON number of the plain form; returns its text.
  bool number(std::string_view& token) {
    const std::size_t start = at_;
    take('-');
    if (!digits(kMaxIntegerDigits, true)) return false;
    if (take('.') && !digits(text_.size(), false)) return false;
    if (take('e') || take('E')) {
      if (!take('+')) take('-');
      if (!digits(kMaxExponentDigits, false)) return false;
    }
    token = text_.substr(start, at_ - start);
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
    std::string_view token;
    if (!cursor.number(token)) return false;
    // The conversion the general reader applies to the same text.
    if (vector) vector->push_back(payload::float32_from_json_text(token));
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
