#include "convert.h"

#include <algorithm>
#include <new>
#include <stdexcept>
#include <utility>

#include "binding.h"
#include "buffer_input.h"
#include "elements.h"

namespace tarnvault_py {
namespace {

// The container rule shared by every sequence kind.
bool check_sequence(PyObject* value) {
  if (PyUnicode_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return false;
  }
  if (!PySequence_Check(value)) {
    raise_type_mismatch(value, "Sequence");
    return false;
  }
  return true;
}

// The length the object reports, or 0 when asking fails (that failure is not
// the caller's concern: iteration decides).
std::size_t reported_length(PyObject* value) {
  const Py_ssize_t length = PyObject_Size(value);
  if (length < 0) {
    PyErr_Clear();
    return 0;
  }
  return static_cast<std::size_t>(length);
}

// Reservation is only a hint, and a __len__ may overstate wildly: it is
// capped, and a failure to reserve is not the call's failure. Beyond the cap
// the array grows as it fills.
template <typename Vector>
void reserve_more(Vector& vector, std::size_t extra) {
  constexpr std::size_t kLargestReservation = std::size_t{1} << 26;
  try {
    vector.reserve(vector.size() + std::min(extra, kLargestReservation));
  } catch (const std::length_error&) {
  } catch (const std::bad_alloc&) {
  }
}

// Converting an exact float or int runs no Python code, so such an element
// cannot be freed under the conversion and needs no reference of its own.
bool converts_without_python_code(PyObject* item) {
  return PyFloat_CheckExact(item) || PyLong_CheckExact(item);
}

// Calls convert_one on every element the object's iterator yields, in order,
// stopping at the first failure. A list is walked by index, which is what its
// iterator does, re-reading the length after every element whose conversion
// may have run Python code that changed the list.
template <typename ConvertOne>
bool for_each_element(PyObject* sequence, ConvertOne&& convert_one) {
  if (PyList_CheckExact(sequence)) {
    Py_ssize_t size = PyList_Size(sequence);
    for (Py_ssize_t i = 0; i < size; ++i) {
      PyObject* item = PyList_GetItem(sequence, i);
      if (converts_without_python_code(item)) {
        if (!convert_one(item)) return false;
        continue;
      }
      PyRef held = PyRef::borrow(item);
      if (!convert_one(held.get())) return false;
      size = PyList_Size(sequence);
    }
    return true;
  }
  if (PyTuple_CheckExact(sequence)) {
    // Immutable, and the caller's reference keeps it and its items alive.
    const Py_ssize_t size = PyTuple_Size(sequence);
    for (Py_ssize_t i = 0; i < size; ++i) {
      if (!convert_one(PyTuple_GetItem(sequence, i))) return false;
    }
    return true;
  }
  PyRef iterator = PyRef::steal(PyObject_GetIter(sequence));
  if (!iterator) return false;
  while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
    if (!convert_one(item.get())) return false;
  }
  return PyErr_Occurred() == nullptr;
}

bool append_float_vector(PyObject* value, FloatBuffer& out) {
  if (!check_sequence(value)) return false;
  switch (append_float_buffer(value, out)) {
    case BufferRead::Done: return true;
    case BufferRead::Failed: return false;
    case BufferRead::NotApplicable: break;
  }
  reserve_more(out, reported_length(value));
  return for_each_element(value, [&out](PyObject* item) {
    float component = 0.0f;
    if (!extract_float(item, component)) return false;
    out.push_back(component);
    return true;
  });
}

bool append_ids(PyObject* value, std::vector<std::uint64_t>& out) {
  if (!check_sequence(value)) return false;
  switch (append_id_buffer(value, out)) {
    case BufferRead::Done: return true;
    case BufferRead::Failed: return false;
    case BufferRead::NotApplicable: break;
  }
  reserve_more(out, reported_length(value));
  return for_each_element(value, [&out](PyObject* item) {
    std::uint64_t id = 0;
    if (!extract_id(item, id)) return false;
    out.push_back(id);
    return true;
  });
}

bool read_vector_list(PyObject* value, VectorList& out, RowReading reading) {
  if (!check_sequence(value)) return false;
  switch (read_vector_list_buffer(value, out, reading)) {
    case BufferRead::Done: return true;
    case BufferRead::Failed: return false;
    case BufferRead::NotApplicable: break;
  }
  const std::size_t rows = reported_length(value);
  reserve_more(out.row_ends(), rows);
  return for_each_element(value, [&out, rows](PyObject* row) {
    if (!append_float_vector(row, out.values())) return false;
    // Most lists are rectangular: size the whole array after the first row.
    if (out.size() == 0 && rows > 1) {
      reserve_more(out.values(), out.values().size() * (rows - 1));
    }
    out.end_row();
    return true;
  });
}

template <typename Convert>
bool with_parameter_prefix(const char* parameter, Convert&& convert) {
  if (convert()) return true;
  prefix_type_error(parameter);
  return false;
}

}  // namespace

void prefix_type_error(const char* parameter) {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (type != PyExc_TypeError) {
    PyErr_Restore(type, value, traceback);
    return;
  }
  PyErr_NormalizeException(&type, &value, &traceback);
  PyRef original_type = PyRef::steal(type);
  PyRef original = PyRef::steal(value);
  PyRef original_traceback = PyRef::steal(traceback);

  PyRef text = PyRef::steal(PyObject_Str(original.get()));
  PyRef message = text ? PyRef::steal(PyUnicode_FromFormat("argument '%s': %U", parameter,
                                                           text.get()))
                       : PyRef();
  PyRef replacement =
      message ? PyRef::steal(PyObject_CallFunctionObjArgs(PyExc_TypeError, message.get(), nullptr))
              : PyRef();
  if (!replacement) return;  // the failure to build it is the exception now
  if (PyObject* cause = PyException_GetCause(original.get())) {
    PyException_SetCause(replacement.get(), cause);  // steals cause
  }
  PyErr_SetObject(PyExc_TypeError, replacement.get());
}

bool convert_id(PyObject* value, const char* parameter, std::uint64_t& out) {
  return with_parameter_prefix(parameter, [&] { return extract_id(value, out); });
}

bool convert_size(PyObject* value, const char* parameter, std::size_t& out) {
  std::uint64_t wide = 0;
  if (!convert_id(value, parameter, wide)) return false;
  if (!std::in_range<std::size_t>(wide)) {
    PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
    return false;
  }
  out = static_cast<std::size_t>(wide);
  return true;
}

bool convert_text(PyObject* value, const char* parameter, std::string& out) {
  return with_parameter_prefix(parameter, [&] {
    if (!PyUnicode_Check(value)) {
      raise_type_mismatch(value, "PyString");
      return false;
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(value, &size);
    if (utf8 == nullptr) return false;
    out.assign(utf8, static_cast<std::size_t>(size));
    return true;
  });
}

bool convert_float_vector(PyObject* value, const char* parameter, FloatBuffer& out) {
  out.clear();
  return with_parameter_prefix(parameter, [&] { return append_float_vector(value, out); });
}

bool convert_id_list(PyObject* value, const char* parameter, std::vector<std::uint64_t>& out) {
  out.clear();
  return with_parameter_prefix(parameter, [&] { return append_ids(value, out); });
}

bool convert_vector_list(PyObject* value, const char* parameter, VectorList& out) {
  out.clear();
  return with_parameter_prefix(parameter,
                               [&] { return read_vector_list(value, out, RowReading::Copy); });
}

bool convert_vector_list_in_place(PyObject* value, const char* parameter, VectorList& out) {
  out.clear();
  return with_parameter_prefix(
      parameter, [&] { return read_vector_list(value, out, RowReading::InPlaceAllowed); });
}

}  // namespace tarnvault_py
