#include "convert.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <stdexcept>
#include <utility>

namespace tarnvault_py {

// ---------------------------------------------------------------------------
// Single elements

bool extract_id(PyObject* value, std::uint64_t& out) {
  PyRef integer = PyRef::steal(PyNumber_Index(value));
  if (!integer) return false;
  const unsigned long long id = PyLong_AsUnsignedLongLong(integer.get());
  if (id == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  out = id;
  return true;
}

namespace {

// ---------------------------------------------------------------------------
// Reading vectors and ids straight from an object's buffer instead of element
// by element. Only exporters whose iteration is known to yield exactly the
// buffer's elements qualify (a NumPy array, array.array, a one-dimensional
// memoryview, never their subclasses), and only with element formats whose
// conversion reproduces the element rule bit for bit; everything else is left
// to the sequence path, so the fast path never changes a result or an error.

enum class BufferRead {
  NotApplicable,  // use the sequence path; no exception set
  Done,
  Failed,  // exception set, exactly as the sequence path would have raised it
};

enum class RowReading {
  Copy,
  // Rows already float32 may be read where they are; allowed only when no
  // Python code can run between the conversion and the last read of a row.
  InPlaceAllowed,
};

enum class Exporter { Other, NumpyArray, ArrayModuleArray, MemoryView };

bool type_is_named(PyTypeObject* type, const char* module, const char* qualname) {
  PyRef type_qualname = PyRef::steal(PyType_GetQualName(type));
  if (!type_qualname) {
    PyErr_Clear();
    return false;
  }
  if (PyUnicode_CompareWithASCIIString(type_qualname.get(), qualname) != 0) return false;
  PyRef type_module =
      PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__"));
  if (!type_module) {
    PyErr_Clear();
    return false;
  }
  return PyUnicode_Check(type_module.get()) &&
         PyUnicode_CompareWithASCIIString(type_module.get(), module) == 0;
}

// Matches the exact type by name once, then by identity; the matched type is
// kept referenced so the remembered pointer stays valid.
bool is_exact_type(PyObject* value, const char* module, const char* qualname,
                   PyTypeObject*& remembered) {
  PyTypeObject* type = Py_TYPE(value);
  if (remembered != nullptr) return type == remembered;
  if (!type_is_named(type, module, qualname)) return false;
  Py_IncRef(reinterpret_cast<PyObject*>(type));
  remembered = type;
  return true;
}

Exporter classify_exporter(PyObject* value) {
  static PyTypeObject* numpy_array = nullptr;
  static PyTypeObject* array_module_array = nullptr;
  if (PyMemoryView_Check(value)) return Exporter::MemoryView;
  if (!PyObject_CheckBuffer(value)) return Exporter::Other;
  if (is_exact_type(value, "numpy", "ndarray", numpy_array)) return Exporter::NumpyArray;
  if (is_exact_type(value, "array", "array", array_module_array)) {
    return Exporter::ArrayModuleArray;
  }
  return Exporter::Other;
}

enum class ElementKind { Float32, Float64, Signed, Unsigned, Unsupported };

struct ElementFormat {
  ElementKind kind = ElementKind::Unsupported;
  std::size_t size = 0;
};

// Size of a struct-module format code with native ('@') or standard sizes;
// 0 for codes this module does not read.
std::size_t format_code_size(char code, bool native_sizes) {
  switch (code) {
    case 'b': case 'B': return 1;
    case 'h': case 'H': return 2;
    case 'i': case 'I': return 4;
    case 'l': case 'L': return native_sizes ? sizeof(long) : 4;
    case 'q': case 'Q': return 8;
    case 'n': case 'N': return native_sizes ? sizeof(Py_ssize_t) : 0;
    case 'f': return 4;
    case 'd': return 8;
    default: return 0;
  }
}

ElementKind format_code_kind(char code) {
  switch (code) {
    case 'f': return ElementKind::Float32;
    case 'd': return ElementKind::Float64;
    case 'b': case 'h': case 'i': case 'l': case 'q': case 'n': return ElementKind::Signed;
    case 'B': case 'H': case 'I': case 'L': case 'Q': case 'N': return ElementKind::Unsigned;
    default: return ElementKind::Unsupported;
  }
}

// One element in the host's byte order, or Unsupported. A memoryview
// iterates only formats without an explicit byte order, so for it only those
// qualify.
ElementFormat parse_element_format(const Py_buffer& view, Exporter exporter) {
  const char* format = view.format == nullptr ? "B" : view.format;
  bool native_sizes = true;
  switch (format[0]) {
    case '@': ++format; break;
    case '=': native_sizes = false; ++format; break;
    case '<':
      if (std::endian::native != std::endian::little) return {};
      native_sizes = false;
      ++format;
      break;
    case '>': case '!':
      if (std::endian::native != std::endian::big) return {};
      native_sizes = false;
      ++format;
      break;
    default: break;
  }
  if (!native_sizes && exporter == Exporter::MemoryView) return {};
  if (format[0] == '\0' || format[1] != '\0') return {};
  const std::size_t size = format_code_size(format[0], native_sizes);
  if (size == 0 || static_cast<Py_ssize_t>(size) != view.itemsize) return {};
  return {format_code_kind(format[0]), size};
}

struct Layout {
  ElementFormat element;
  bool usable = false;
};

Layout check_layout(const HeldBuffer& buffer, Exporter exporter, int ndim) {
  if (!buffer.held() || buffer.view().ndim != ndim || buffer.view().shape == nullptr) return {};
  if (buffer.view().suboffsets != nullptr) return {};
  return {parse_element_format(buffer.view(), exporter), true};
}

bool is_float(ElementKind kind) { return kind == ElementKind::Float32 || kind == ElementKind::Float64; }

bool is_integer(ElementKind kind) { return kind == ElementKind::Signed || kind == ElementKind::Unsigned; }

template <typename T>
T load(const char* address) {
  T value;
  std::memcpy(&value, address, sizeof value);
  return value;
}

// count components starting at source, stride bytes apart, into target.
void copy_components(const char* source, Py_ssize_t count, Py_ssize_t stride, ElementKind kind,
                     float* target) {
  if (kind == ElementKind::Float32) {
    if (stride == sizeof(float)) {
      std::memcpy(target, source, static_cast<std::size_t>(count) * sizeof(float));
      return;
    }
    for (Py_ssize_t i = 0; i < count; ++i) target[i] = load<float>(source + i * stride);
    return;
  }
  for (Py_ssize_t i = 0; i < count; ++i) {
    target[i] = round_to_float32(load<double>(source + i * stride));
  }
}

std::int64_t load_signed(const char* address, std::size_t size) {
  switch (size) {
    case 1: return load<std::int8_t>(address);
    case 2: return load<std::int16_t>(address);
    case 4: return load<std::int32_t>(address);
    default: return load<std::int64_t>(address);
  }
}

std::uint64_t load_unsigned(const char* address, std::size_t size) {
  switch (size) {
    case 1: return load<std::uint8_t>(address);
    case 2: return load<std::uint16_t>(address);
    case 4: return load<std::uint32_t>(address);
    default: return load<std::uint64_t>(address);
  }
}

// Raises exactly what the element path raises for this negative id.
BufferRead fail_negative_id(std::int64_t id) {
  PyRef element = PyRef::steal(PyLong_FromLongLong(id));
  std::uint64_t unused = 0;
  if (element && extract_id(element.get(), unused)) {
    PyErr_SetString(PyExc_OverflowError, "can't convert negative int to unsigned");
  }
  return BufferRead::Failed;
}

// Rows of float32 components, each row contiguous and every component
// aligned, can be handed out as spans into the buffer itself.
bool rows_readable_in_place(const HeldBuffer& buffer, const Layout& layout) {
  if (layout.element.kind != ElementKind::Float32) return false;
  if (buffer.extent(1) > 1 && buffer.stride(1) != static_cast<Py_ssize_t>(sizeof(float))) {
    return false;
  }
  constexpr auto kAlignment = static_cast<std::ptrdiff_t>(alignof(float));
  return reinterpret_cast<std::uintptr_t>(buffer.data()) % alignof(float) == 0 &&
         buffer.stride(0) % kAlignment == 0;
}

// A one-dimensional float32/float64 buffer, appended to out.
BufferRead append_float_buffer(PyObject* value, FloatBuffer& out) {
  const Exporter exporter = classify_exporter(value);
  if (exporter == Exporter::Other) return BufferRead::NotApplicable;
  HeldBuffer buffer(value);
  const Layout layout = check_layout(buffer, exporter, 1);
  if (!layout.usable || !is_float(layout.element.kind)) return BufferRead::NotApplicable;

  const Py_ssize_t count = buffer.extent(0);
  const std::size_t start = out.size();
  out.resize(start + static_cast<std::size_t>(count));
  copy_components(buffer.data(), count, buffer.stride(0), layout.element.kind, out.data() + start);
  return BufferRead::Done;
}

// A two-dimensional float32/float64 NumPy array; out receives one row per
// vector.
BufferRead read_vector_list_buffer(PyObject* value, VectorList& out, RowReading reading) {
  // Only a NumPy array iterates a two-dimensional buffer row by row; a
  // memoryview refuses to.
  if (classify_exporter(value) != Exporter::NumpyArray) return BufferRead::NotApplicable;
  auto buffer = std::make_unique<HeldBuffer>(value);
  const Layout layout = check_layout(*buffer, Exporter::NumpyArray, 2);
  if (!layout.usable || !is_float(layout.element.kind)) return BufferRead::NotApplicable;

  const Py_ssize_t rows = buffer->extent(0);
  const Py_ssize_t columns = buffer->extent(1);
  if (reading == RowReading::InPlaceAllowed && rows_readable_in_place(*buffer, layout)) {
    const char* base = buffer->data();
    const std::ptrdiff_t stride = buffer->stride(0);
    out.borrow_rows(std::move(buffer), base, static_cast<std::size_t>(rows),
                    static_cast<std::size_t>(columns), stride);
    return BufferRead::Done;
  }
  out.clear();
  out.values().resize(static_cast<std::size_t>(rows) * static_cast<std::size_t>(columns));
  out.row_ends().resize(static_cast<std::size_t>(rows));
  for (Py_ssize_t row = 0; row < rows; ++row) {
    float* target = out.values().data() + row * columns;
    copy_components(buffer->data() + row * buffer->stride(0), columns, buffer->stride(1),
                    layout.element.kind, target);
    out.row_ends()[static_cast<std::size_t>(row)] = static_cast<std::size_t>((row + 1) * columns);
  }
  return BufferRead::Done;
}

// A one-dimensional integer buffer, appended to out. A negative element fails
// with the id conversion's own OverflowError.
BufferRead append_id_buffer(PyObject* value, std::vector<std::uint64_t>& out) {
  const Exporter exporter = classify_exporter(value);
  if (exporter == Exporter::Other) return BufferRead::NotApplicable;
  HeldBuffer buffer(value);
  const Layout layout = check_layout(buffer, exporter, 1);
  if (!layout.usable || !is_integer(layout.element.kind)) return BufferRead::NotApplicable;

  const Py_ssize_t count = buffer.extent(0);
  const Py_ssize_t stride = buffer.stride(0);
  const std::size_t size = layout.element.size;
  out.reserve(out.size() + static_cast<std::size_t>(count));
  for (Py_ssize_t i = 0; i < count; ++i) {
    const char* address = buffer.data() + i * stride;
    if (layout.element.kind == ElementKind::Unsigned) {
      out.push_back(load_unsigned(address, size));
      continue;
    }
    const std::int64_t id = load_signed(address, size);
    if (id < 0) return fail_negative_id(id);
    out.push_back(static_cast<std::uint64_t>(id));
  }
  return BufferRead::Done;
}

// ---------------------------------------------------------------------------
// Sequences, element by element

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

// ---------------------------------------------------------------------------
// Method arguments

bool convert_insert_arguments(const TwoArguments& arguments, std::uint64_t& id,
                              FloatBuffer& vector) {
  return convert_id(arguments[0], "id", id) &&
         convert_float_vector(arguments[1], "vector", vector);
}

bool convert_search_arguments(const TwoArguments& arguments, FloatBuffer& query, std::size_t& k) {
  return convert_float_vector(arguments[0], "query", query) &&
         convert_size(arguments[1], "k", k);
}

bool convert_insert_batch_arguments(const TwoArguments& arguments, std::vector<std::uint64_t>& ids,
                                    VectorList& vectors) {
  if (!convert_id_list(arguments[0], "ids", ids)) return false;
  if (!convert_vector_list_in_place(arguments[1], "vectors", vectors)) return false;
  if (ids.size() != vectors.size()) {
    PyErr_SetString(PyExc_ValueError, "ids and vectors must have the same length");
    return false;
  }
  return true;
}

bool convert_search_batch_arguments(const TwoArguments& arguments, VectorList& queries,
                                    std::size_t& k) {
  return convert_vector_list(arguments[0], "queries", queries) &&
         convert_size(arguments[1], "k", k);
}

// ---------------------------------------------------------------------------
// Metric names

std::optional<tarnvault_core::DistanceMetric> parse_metric(std::string_view name) {
  using tarnvault_core::DistanceMetric;
  if (name == "euclidean") return DistanceMetric::Euclidean;
  if (name == "cosine") return DistanceMetric::Cosine;
  if (name == "dot") return DistanceMetric::DotProduct;
  PyErr_SetString(PyExc_ValueError, "Invalid metric");
  return std::nullopt;
}

// ---------------------------------------------------------------------------
// Results

namespace {

// (id, distance): the id as an unsigned int, the distance widened exactly.
PyObject* new_result_tuple(const tarnvault_core::SearchResult& result) {
  PyRef id = PyRef::steal(PyLong_FromUnsignedLongLong(result.id));
  if (!id) return nullptr;
  PyRef distance = PyRef::steal(PyFloat_FromDouble(static_cast<double>(result.distance)));
  if (!distance) return nullptr;
  PyRef tuple = PyRef::steal(PyTuple_New(2));
  if (!tuple) return nullptr;
  PyTuple_SetItem(tuple.get(), 0, id.release());  // steals
  PyTuple_SetItem(tuple.get(), 1, distance.release());
  return tuple.release();
}

}  // namespace

PyObject* new_result_list(std::span<const tarnvault_core::SearchResult> results) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(results.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < results.size(); ++i) {
    PyObject* tuple = new_result_tuple(results[i]);
    if (tuple == nullptr) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), tuple);  // steals
  }
  return list.release();
}

}  // namespace tarnvault_py
