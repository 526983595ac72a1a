// Conversion of single elements: an id (any integer through __index__) and a
// vector component (any number through the interpreter's float conversion).
// Errors are left exactly as the interpreter raised them.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>

#include "py_api.h"

namespace tarnvault_py {

// int, bool, or any object with __index__, in [0, 2^64). Otherwise the
// interpreter's TypeError or OverflowError is set and false returned.
bool extract_id(PyObject* value, std::uint64_t& out);


// Nearest float, ties to even, as IEEE-754 narrowing does: magnitudes beyond
// the float range become infinities and NaN stays NaN. Spelled out because a
// C++ cast of an out-of-range finite double is undefined behaviour.
inline float round_to_float32(double value) {
  constexpr double kLargestFloat = std::numeric_limits<float>::max();
  if (std::isnan(value) || std::fabs(value) <= kLargestFloat) return static_cast<float>(value);
  // Half an ulp (2^104 / 2) above the largest float the rounding goes up to
  // infinity; the tie goes there too, because the largest float is odd.
  constexpr double kRoundsToInfinity = kLargestFloat + 0x1p103;
  const float magnitude = std::fabs(value) < kRoundsToInfinity
                              ? std::numeric_limits<float>::max()
                              : std::numeric_limits<float>::infinity();
  return std::signbit(value) ? -magnitude : magnitude;
}

// The interpreter's float conversion, narrowed by round_to_float32. Inline:
// it runs once per component of every vector given as a list.
inline bool extract_float(PyObject* value, float& out) {
  const double number = PyFloat_AsDouble(value);
  // An exact float converts without failing; anything else may fail.
  if (number == -1.0 && !PyFloat_CheckExact(value) && PyErr_Occurred()) return false;
  out = round_to_float32(number);
  return true;
}

}  // namespace tarnvault_py
