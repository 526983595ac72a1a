// The 32-bit float nearest to a short decimal, computed with one double
// operation where that gives the correctly rounded result, which is the
// case for nearly every number a shortest-float writer produces.
#pragma once

#include <cstdint>
#include <optional>

namespace tarnvault_core::payload {

// The float nearest to (-1 if negative) * mantissa * 10^exponent, rounded
// once; empty when the fast computation cannot vouch for that rounding
// (a mantissa above 2^53, an exponent outside [-22, 22], a value outside
// the normal float range, or one that lies on a midpoint between two floats
// after the double operation). Callers fall back to a full conversion of
// the text.
std::optional<float> float32_from_decimal(std::uint64_t mantissa, int exponent, bool negative);

}  // namespace tarnvault_core::payload
