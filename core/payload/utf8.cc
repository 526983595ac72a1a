#include "core/payload/utf8.h"

namespace tarnvault_core::payload {
namespace {

bool is_continuation(unsigned char c) { return (c & 0xC0) == 0x80; }

// Length of the well-formed sequence starting at text[i], or 0.
std::size_t sequence_length(std::string_view text, std::size_t i) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[i + k]); };
  const unsigned char lead = byte(0);
  if (lead < 0x80) return 1;
  std::size_t length = 0;
  unsigned char second_min = 0x80;
  unsigned char second_max = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) second_min = 0xA0;  // overlong
    if (lead == 0xED) second_max = 0x9F;  // surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) second_min = 0x90;  // overlong
    if (lead == 0xF4) second_max = 0x8F;  // above U+10FFFF
  } else {
    return 0;
  }
  if (text.size() - i < length) return 0;
  if (byte(1) < second_min || byte(1) > second_max) return 0;
  for (std::size_t k = 2; k < length; ++k) {
    if (!is_continuation(byte(k))) return 0;
  }
  return length;
}

}  // namespace

std::size_t valid_utf8_prefix(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    // ASCII runs are the common case.
    if (static_cast<unsigned char>(text[i]) < 0x80) {
      ++i;
      continue;
    }
    const std::size_t length = sequence_length(text, i);
    if (length == 0) return i;
    i += length;
  }
  return i;
}

}  // namespace tarnvault_core::payload
