// Hashing of uint64 ids for the open-addressing tables keyed by id.
#pragma once

#include <chrono>
#include <cstdint>

namespace tarnvault_core::index::brute_force {

// A bijective mix whose every output bit depends on every input bit, so
// that sequential ids spread over the whole table.
inline std::uint64_t mix_id(std::uint64_t x) {
  x ^= x >> 30;
  x *= 0xbf58476d1ce4e5b9u;
  x ^= x >> 27;
  x *= 0x94d049bb133111ebu;
  return x ^ (x >> 31);
}

// A seed per table, XORed into ids before mixing: ids chosen to collide in
// one table's probe runs do not collide in another's.
inline std::uint64_t table_seed(const void* table) {
  const auto now = std::chrono::steady_clock::now().time_since_epoch().count();
  return mix_id(reinterpret_cast<std::uintptr_t>(table) ^ static_cast<std::uint64_t>(now));
}

}  // namespace tarnvault_core::index::brute_force
