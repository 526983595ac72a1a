// Plain, literal scalar definitions of every distance. They are the yardstick
// the fast kernels are tested against, so they favour obviousness over speed
// and must never be "optimised".
#pragma once

#include <span>

#include "core/distance/distance.h"

namespace tarnvault_core::distance::reference {

// Blocked inner product over the first min(|a|, |b|) components.
float dot_product(std::span<const float> a, std::span<const float> b);

float euclidean(std::span<const float> q, std::span<const float> s);
float cosine(std::span<const float> q, std::span<const float> s);
float negated_dot_product(std::span<const float> q, std::span<const float> s);
float hamming(std::span<const float> q, std::span<const float> s);

float distance(DistanceMetric metric, std::span<const float> q, std::span<const float> s);

}  // namespace tarnvault_core::distance::reference
