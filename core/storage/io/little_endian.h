// Fixed-width little-endian integers, the byte order of every file format.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <string>

namespace tarnvault_core::storage::io {

static_assert(std::endian::native == std::endian::little,
              "the file formats are written by memcpy on little-endian hosts only");

template <typename T>
inline void append_le(std::string& out, T value) {
  char bytes[sizeof(T)];
  std::memcpy(bytes, &value, sizeof(T));
  out.append(bytes, sizeof(T));
}

template <typename T>
inline void store_le(char* bytes, T value) {
  std::memcpy(bytes, &value, sizeof(T));
}

template <typename T>
inline T load_le(const char* bytes) {
  T value;
  std::memcpy(&value, bytes, sizeof(T));
  return value;
}

}  // namespace tarnvault_core::storage::io
