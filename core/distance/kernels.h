// The production distance kernels for a single pair of vectors (the index
// scans with the group kernels of group_kernels.h). They must give the same
// bits as distance::reference.
#pragma once

#include <cstddef>

namespace tarnvault_core::distance::kernels {

float dot_product(const float* a, const float* b, std::size_t n);

// `query_norm` is sqrt(dot_product(q, q)): a search computes it once, not per
// stored vector.
float euclidean(const float* q, const float* s, std::size_t n);
float cosine(const float* q, float query_norm, const float* s, std::size_t n);
float negated_dot_product(const float* q, const float* s, std::size_t n);
float hamming(const float* q, const float* s, std::size_t n);

}  // namespace tarnvault_core::distance::kernels
