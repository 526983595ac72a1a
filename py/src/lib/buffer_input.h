// Reading vectors and ids straight from an object's buffer instead of element
// by element. Only exporters whose iteration is known to yield exactly the
// buffer's elements qualify (a NumPy array, array.array, a one-dimensional
// memoryview, never their subclasses), and only with element formats whose
// conversion reproduces the element rule bit for bit; everything else is left
// to the sequence path, so the fast path never changes a result or an error.
#pragma once

#include <cstdint>
#include <vector>

#include "py_api.h"
#include "float_buffer.h"
#include "vector_list.h"

namespace tarnvault_py {

enum class BufferRead {
  NotApplicable,  // use the sequence path; no exception set
  Done,
  Failed,  // exception set, exactly as the sequence path would have raised it
};

// A one-dimensional float32/float64 buffer, appended to out.
BufferRead append_float_buffer(PyObject* value, FloatBuffer& out);

enum class RowReading {
  Copy,
  // Rows already float32 may be read where they are; allowed only when no
  // Python code can run between the conversion and the last read of a row.
  InPlaceAllowed,
};

// A two-dimensional float32/float64 NumPy array; out receives one row per
// vector.
BufferRead read_vector_list_buffer(PyObject* value, VectorList& out, RowReading reading);

// A one-dimensional integer buffer, appended to out. A negative element fails
// with the id conversion's own OverflowError.
BufferRead append_id_buffer(PyObject* value, std::vector<std::uint64_t>& out);

}  // namespace tarnvault_py
