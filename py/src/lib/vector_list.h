// A list of float vectors. Converted rows are kept in one contiguous array,
// so that a batch is copied once and each vector is handed to the core as a
// span into it. Rows that are already float32 in memory an exporter holds
// still for us can instead be read where they are: the core copies them
// straight into its own storage, with no intermediate copy of the batch.
#pragma once

#include <cstddef>
#include <memory>
#include <span>
#include <vector>

#include "float_buffer.h"
#include "held_buffer.h"

namespace tarnvault_py {

class VectorList {
 public:
  std::size_t size() const { return borrowed_ ? borrowed_rows_ : ends_.size(); }

  std::span<const float> operator[](std::size_t i) const {
    if (borrowed_) {
      const char* row = borrowed_base_ + static_cast<std::ptrdiff_t>(i) * borrowed_stride_;
      return std::span<const float>(reinterpret_cast<const float*>(row), borrowed_columns_);
    }
    const std::size_t begin = i == 0 ? 0 : ends_[i - 1];
    return std::span<const float>(values_.data() + begin, ends_[i] - begin);
  }

  void clear() {
    values_.clear();
    ends_.clear();
    borrowed_.reset();
    borrowed_rows_ = 0;
  }

  // Rows are built by appending components to values() and then closing the
  // row with end_row().
  FloatBuffer& values() { return values_; }
  void end_row() { ends_.push_back(values_.size()); }
  std::vector<std::size_t>& row_ends() { return ends_; }

  // Reads rows in place: row i is `columns` floats at base + i * stride
  // bytes, each float suitably aligned, all inside the held buffer, which is
  // released when the list is cleared or destroyed.
  void borrow_rows(std::unique_ptr<HeldBuffer> buffer, const char* base, std::size_t rows,
                   std::size_t columns, std::ptrdiff_t stride) {
    clear();
    borrowed_ = std::move(buffer);
    borrowed_base_ = base;
    borrowed_rows_ = rows;
    borrowed_columns_ = columns;
    borrowed_stride_ = stride;
  }
  bool reads_in_place() const { return borrowed_ != nullptr; }

 private:
  FloatBuffer values_;
  std::vector<std::size_t> ends_;  // one past each row's last component

  std::unique_ptr<HeldBuffer> borrowed_;
  const char* borrowed_base_ = nullptr;
  std::size_t borrowed_rows_ = 0;
  std::size_t borrowed_columns_ = 0;
  std::ptrdiff_t borrowed_stride_ = 0;
};

// One span per row, for the core's batch calls.
inline std::vector<std::span<const float>> query_spans(const VectorList& list) {
  std::vector<std::span<const float>> spans;
  spans.reserve(list.size());
  for (std::size_t i = 0; i < list.size(); ++i) spans.push_back(list[i]);
  return spans;
}

}  // namespace tarnvault_py
