#include "core/storage/wal/crc32.h"

#include <zlib.h>

#include <cstddef>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace tarnvault_core::storage::wal {
namespace {

// Below this many bytes the folding's set-up costs more than it saves; it
// also needs four whole 16-byte blocks to start from.
constexpr std::size_t kFoldMinimum = 64;

std::uint32_t zlib_crc(std::uint32_t crc, const char* bytes, std::size_t size) {
  return static_cast<std::uint32_t>(
      crc32_z(crc, reinterpret_cast<const Bytef*>(bytes), static_cast<z_size_t>(size)));
}

#if defined(__x86_64__)

#define TV_CLMUL_TARGET __attribute__((target("pclmul,sse4.1")))

// One 16-byte block folded onto the next: its two 64-bit halves multiplied
// by constants that move them the folding distance ahead, modulo P.
TV_CLMUL_TARGET __m128i fold_16(__m128i folded, __m128i next, __m128i constants) {
  const __m128i low = _mm_clmulepi64_si128(folded, constants, 0x00);
  const __m128i high = _mm_clmulepi64_si128(folded, constants, 0x11);
  return _mm_xor_si128(_mm_xor_si128(low, high), next);
}

TV_CLMUL_TARGET __m128i load_16(const char* at) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
}

// The CRC register after the size bytes (a multiple of 16, at least 64),
// starting from register state (not inverted).
TV_CLMUL_TARGET std::uint32_t fold_blocks(std::uint32_t state, const char* at, std::size_t size) {
  // Powers of x modulo the bit-reflected polynomial P = 0xEDB88320 that
  // move a block 64 bytes or 16 bytes ahead, the one that reduces 64 bits
  // to 32, and P with its Barrett quotient for the final reduction.
  const __m128i across_64 = _mm_set_epi64x(0x00000001c6e41596, 0x0000000154442bd4);
  const __m128i across_16 = _mm_set_epi64x(0x00000000ccaa009e, 0x00000001751997d0);
  const __m128i x64 = _mm_set_epi64x(0, 0x0000000163cd6124);
  const __m128i barrett = _mm_set_epi64x(0x00000001f7011641, 0x00000001db710641);
  const __m128i low_32 = _mm_set_epi32(0, 0, 0, -1);

  __m128i x0 = _mm_xor_si128(load_16(at), _mm_cvtsi32_si128(static_cast<int>(state)));
  __m128i x1 = load_16(at + 16);
  __m128i x2 = load_16(at + 32);
  __m128i x3 = load_16(at + 48);
  at += 64;
  size -= 64;
  // Four independent chains, so the multiplications overlap.
  for (; size >= 64; at += 64, size -= 64) {
    x0 = fold_16(x0, load_16(at), across_64);
    x1 = fold_16(x1, load_16(at + 16), across_64);
    x2 = fold_16(x2, load_16(at + 32), across_64);
    x3 = fold_16(x3, load_16(at + 48), across_64);
  }
  x0 = fold_16(x0, x1, across_16);
  x0 = fold_16(x0, x2, across_16);
  x0 = fold_16(x0, x3, across_16);
  for (; size >= 16; at += 16, size -= 16) x0 = fold_16(x0, load_16(at), across_16);

  // 128 bits to 64, 64 to 32, then the Barrett reduction modulo P.
  __m128i rest = _mm_srli_si128(x0, 8);
  x0 = _mm_xor_si128(_mm_clmulepi64_si128(x0, across_16, 0x10), rest);
  rest = _mm_srli_si128(x0, 4);
  x0 = _mm_xor_si128(_mm_clmulepi64_si128(_mm_and_si128(x0, low_32), x64, 0x00), rest);
  rest = x0;
  x0 = _mm_clmulepi64_si128(_mm_and_si128(x0, low_32), barrett, 0x10);
  x0 = _mm_clmulepi64_si128(_mm_and_si128(x0, low_32), barrett, 0x00);
  x0 = _mm_xor_si128(x0, rest);
  return static_cast<std::uint32_t>(_mm_extract_epi32(x0, 1));
}

bool can_fold() {
  static const bool supported =
      __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
  return supported;
}

#endif

}  // namespace

std::uint32_t crc32_ieee(std::string_view bytes) {
  const char* at = bytes.data();
  std::size_t size = bytes.size();
  std::uint32_t crc = 0;
#if defined(__x86_64__)
  if (size >= kFoldMinimum && can_fold()) {
    const std::size_t blocks = size & ~std::size_t{15};
    // zlib's value is the register inverted, before and after.
    crc = ~fold_blocks(0xFFFFFFFFu, at, blocks);
    at += blocks;
    size -= blocks;
  }
#endif
  return zlib_crc(crc, at, size);
}

std::uint32_t crc32_ieee_reference(std::string_view bytes) {
  return zlib_crc(0, bytes.data(), bytes.size());
}

}  // namespace tarnvault_core::storage::wal
