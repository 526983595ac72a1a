// A list of float vectors kept in one contiguous array, so that a batch is
// copied once and each vector is handed to the core as a span into it.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "float_buffer.h"

namespace tarnvault_py {

class VectorList {
 public:
  std::size_t size() const { return ends_.size(); }

  std::span<const float> operator[](std::size_t i) const {
    const std::size_t begin = i == 0 ? 0 : ends_[i - 1];
    return std::span<const float>(values_.data() + begin, ends_[i] - begin);
  }

  void clear() {
    values_.clear();
    ends_.clear();
  }

  // Rows are built by appending components to values() and then closing the
  // row with end_row().
  FloatBuffer& values() { return values_; }
  void end_row() { ends_.push_back(values_.size()); }
  std::vector<std::size_t>& row_ends() { return ends_; }

 private:
  FloatBuffer values_;
  std::vector<std::size_t> ends_;  // one past each row's last component
};

}  // namespace tarnvault_py
