// An exporter's buffer held for as long as its memory is read. While held,
// the exporter may not resize or free that memory (a NumPy array refuses to
// resize with a BufferError), so a pointer into it stays valid.
#pragma once

#include "py_api.h"

namespace tarnvault_py {

class HeldBuffer {
 public:
  explicit HeldBuffer(PyObject* value) {
    held_ = PyObject_GetBuffer(value, &view_, PyBUF_RECORDS_RO) == 0;
    if (!held_) PyErr_Clear();  // not readable as a buffer: the sequence path decides
  }
  HeldBuffer(const HeldBuffer&) = delete;
  HeldBuffer& operator=(const HeldBuffer&) = delete;
  ~HeldBuffer() {
    if (held_) PyBuffer_Release(&view_);
  }

  bool held() const { return held_; }
  const Py_buffer& view() const { return view_; }
  const char* data() const { return static_cast<const char*>(view_.buf); }
  Py_ssize_t extent(int dimension) const { return view_.shape[dimension]; }
  Py_ssize_t stride(int dimension) const {
    return view_.strides != nullptr ? view_.strides[dimension] : view_.itemsize;
  }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

}  // namespace tarnvault_py
