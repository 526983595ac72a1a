// The production distance kernels: one entry point per metric for a single
// stored vector, and one that scores a block of stored vectors laid out back
// to back. Faster instruction-set variants replace these behind the same
// signatures and must give the same bits as distance::reference.
#pragma once

#include <cstddef>

namespace tarnvault_core::distance::kernels {

// `count` stored vectors of `dimension` floats each, contiguous from `data`.
struct VectorBlock {
  const float* data;
  std::size_t count;
  std::size_t dimension;

  const float* vector(std::size_t i) const { return data + i * dimension; }
};

float dot_product(const float* a, const float* b, std::size_t n);

// `query_norm` is sqrt(dot_product(q, q)): a search computes it once, not per
// stored vector.
float euclidean(const float* q, const float* s, std::size_t n);
float cosine(const float* q, float query_norm, const float* s, std::size_t n);
float negated_dot_product(const float* q, const float* s, std::size_t n);
float hamming(const float* q, const float* s, std::size_t n);

// Score every vector of `block` against q (of block.dimension floats) into
// out[0 .. block.count).
void euclidean_block(const float* q, VectorBlock block, float* out);
void cosine_block(const float* q, float query_norm, VectorBlock block, float* out);
void negated_dot_product_block(const float* q, VectorBlock block, float* out);
void hamming_block(const float* q, VectorBlock block, float* out);

}  // namespace tarnvault_core::distance::kernels
