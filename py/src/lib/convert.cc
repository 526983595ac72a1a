#include "convert.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <string>
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

// A one-dimensional float32 buffer whose components lie side by side,
// borrowed as out's one row; anything else is left to the copying path.
BufferRead borrow_float_buffer(PyObject* value, VectorList& out) {
  const Exporter exporter = classify_exporter(value);
  if (exporter == Exporter::Other) return BufferRead::NotApplicable;
  auto buffer = std::make_unique<HeldBuffer>(value);
  const Layout layout = check_layout(*buffer, exporter, 1);
  if (!layout.usable || layout.element.kind != ElementKind::Float32) return BufferRead::NotApplicable;
  const Py_ssize_t count = buffer->extent(0);
  const bool contiguous = count <= 1 || buffer->stride(0) == static_cast<Py_ssize_t>(sizeof(float));
  if (!contiguous || reinterpret_cast<std::uintptr_t>(buffer->data()) % alignof(float) != 0) {
    return BufferRead::NotApplicable;
  }
  const char* base = buffer->data();
  out.borrow_rows(std::move(buffer), base, 1, static_cast<std::size_t>(count), 0);
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

bool convert_float_vector_in_place(PyObject* value, const char* parameter, VectorList& out) {
  out.clear();
  return with_parameter_prefix(parameter, [&] {
    if (borrow_float_buffer(value, out) == BufferRead::Done) return true;
    if (!append_float_vector(value, out.values())) return false;
    out.end_row();
    return true;
  });
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

bool convert_flag(PyObject* value, const char* parameter, bool& out) {
  return with_parameter_prefix(parameter, [&] {
    if (!PyBool_Check(value)) {
      raise_type_mismatch(value, "bool");
      return false;
    }
    out = value == Py_True;
    return true;
  });
}

bool convert_path(PyObject* value, const char* parameter, std::string& out) {
  if (PyUnicode_Check(value) || PyBytes_Check(value)) return convert_text(value, parameter, out);
  PyRef path = PyRef::steal(PyOS_FSPath(value));
  if (!path) {
    // Neither str nor path-like: refused as any other non-str.
    PyErr_Clear();
    return convert_text(value, parameter, out);
  }
  if (PyBytes_Check(path.get())) {
    char* bytes = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(path.get(), &bytes, &size) < 0) return false;
    out.assign(bytes, static_cast<std::size_t>(size));
    return true;
  }
  return convert_text(path.get(), parameter, out);
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

const char* metric_python_name(tarnvault_core::DistanceMetric metric) {
  using tarnvault_core::DistanceMetric;
  if (metric == DistanceMetric::Cosine) return "cosine";
  if (metric == DistanceMetric::DotProduct) return "dot";
  if (metric == DistanceMetric::Hamming) return "hamming";
  return "euclidean";
}

std::optional<tarnvault_core::SyncMode> parse_sync_mode(std::string_view name) {
  using tarnvault_core::SyncMode;
  if (name == "always") return SyncMode::Always;
  if (name == "batched") return SyncMode::Batched;
  if (name == "never") return SyncMode::Never;
  PyErr_SetString(PyExc_ValueError, "Invalid sync mode");
  return std::nullopt;
}

// ---------------------------------------------------------------------------
// JSON values, payloads and filters

namespace {

using tarnvault_core::Filter;
using tarnvault_core::FilterCondition;
using tarnvault_core::JsonValue;
using tarnvault_core::Payload;
using tarnvault_core::payload::JsonArray;
using tarnvault_core::payload::JsonObject;

// Why a value is not a JSON value. Without a Python exception pending, the
// caller raises its own exception from kind and text; with one pending (a
// str that cannot be encoded), that exception is the failure.
struct JsonFault {
  enum class Kind { Type, Value, Python };
  Kind kind = Kind::Type;
  std::string text;
};

std::string type_name_of(PyObject* value) {
  PyRef name = PyRef::steal(PyType_GetQualName(Py_TYPE(value)));
  const char* utf8 = name ? PyUnicode_AsUTF8AndSize(name.get(), nullptr) : nullptr;
  if (utf8 == nullptr) {
    PyErr_Clear();
    return "?";
  }
  return utf8;
}

// repr() of a key or value for a message; never fails.
std::string repr_of(PyObject* value) {
  PyRef text = PyRef::steal(PyObject_Repr(value));
  const char* utf8 = text ? PyUnicode_AsUTF8AndSize(text.get(), nullptr) : nullptr;
  if (utf8 == nullptr) {
    PyErr_Clear();
    return "<" + type_name_of(value) + ">";
  }
  return utf8;
}

bool utf8_of(PyObject* text, std::string& out) {
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size);
  if (utf8 == nullptr) return false;
  out.assign(utf8, static_cast<std::size_t>(size));
  return true;
}

// Converts value, which `level` containers enclose, into out. Only the
// interpreter's own types are read, through calls that run no Python code,
// so nothing can change the value meanwhile.
class JsonReader {
 public:
  explicit JsonReader(int max_level) : max_level_(max_level) {}

  bool read(PyObject* value, int level, JsonValue& out) {
    if (value == Py_None) {
      out = JsonValue::null();
    } else if (PyBool_Check(value)) {
      out = JsonValue::boolean(value == Py_True);
    } else if (PyLong_Check(value)) {
      return read_int(value, out);
    } else if (PyFloat_Check(value)) {
      const double number = PyFloat_AsDouble(value);
      if (!std::isfinite(number)) return fail(JsonFault::Kind::Value, "float " + repr_of(value) + " is not finite");
      out = JsonValue::floating(number);
    } else if (PyUnicode_Check(value)) {
      std::string text;
      if (!utf8_of(value, text)) return fail(JsonFault::Kind::Python, {});
      out = JsonValue::string(std::move(text));
    } else if (PyList_Check(value) || PyTuple_Check(value)) {
      return read_sequence(value, level, out);
    } else if (PyDict_Check(value)) {
      return read_dict(value, level, out);
    } else {
      return fail(JsonFault::Kind::Type, "'" + type_name_of(value) + "' object is not a JSON value");
    }
    return true;
  }

  // The object's entries, in the dict's order, to each(key text, key,
  // value); a key that is not a str is a Type fault naming it.
  template <typename Each>
  bool for_each_entry(PyObject* dict, Each&& each) {
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(dict, &position, &key, &value)) {
      if (!PyUnicode_Check(key)) return fail(JsonFault::Kind::Type, "key " + repr_of(key) + " is not a str");
      std::string text;
      if (!utf8_of(key, text)) return fail(JsonFault::Kind::Python, {});
      if (!each(std::move(text), key, value)) return false;
    }
    return true;
  }

  bool fail(JsonFault::Kind kind, std::string text) {
    fault.kind = kind;
    fault.text = std::move(text);
    return false;
  }

  // Raises the fault as TypeError or ValueError, prefixing its text with
  // context; a pending Python exception stays as it is.
  void raise(const std::string& context) const {
    if (fault.kind == JsonFault::Kind::Python) return;
    const std::string message = context + fault.text;
    PyErr_SetString(fault.kind == JsonFault::Kind::Type ? PyExc_TypeError : PyExc_ValueError,
                    message.c_str());
  }

  JsonFault fault;

 private:
  bool read_int(PyObject* value, JsonValue& out) {
    int overflow = 0;
    const long long number = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (overflow == 0) {
      if (number == -1 && PyErr_Occurred()) return fail(JsonFault::Kind::Python, {});
      out = number < 0 ? JsonValue::signed_integer(number)
                       : JsonValue::unsigned_integer(static_cast<std::uint64_t>(number));
      return true;
    }
    if (overflow > 0) {
      const unsigned long long large = PyLong_AsUnsignedLongLong(value);
      if (!(large == static_cast<unsigned long long>(-1) && PyErr_Occurred())) {
        out = JsonValue::unsigned_integer(large);
        return true;
      }
      PyErr_Clear();
    }
    return fail(JsonFault::Kind::Value, "int " + repr_of(value) + " is outside -2**63 .. 2**64-1");
  }

  bool enter(int level) {
    if (level + 1 <= max_level_) return true;
    return fail(JsonFault::Kind::Value, "nests deeper than " + std::to_string(max_level_) + " levels");
  }

  bool read_sequence(PyObject* value, int level, JsonValue& out) {
    if (!enter(level)) return false;
    const bool list = PyList_Check(value);
    const Py_ssize_t size = list ? PyList_Size(value) : PyTuple_Size(value);
    JsonArray elements(static_cast<std::size_t>(size));
    for (Py_ssize_t i = 0; i < size; ++i) {
      PyObject* item = list ? PyList_GetItem(value, i) : PyTuple_GetItem(value, i);
      if (!read(item, level + 1, elements[static_cast<std::size_t>(i)])) return false;
    }
    out = JsonValue::array(std::move(elements));
    return true;
  }

  bool read_dict(PyObject* value, int level, JsonValue& out) {
    if (!enter(level)) return false;
    JsonObject members;
    const bool read_all = for_each_entry(value, [&](std::string key, PyObject*, PyObject* item) {
      JsonValue converted;
      if (!read(item, level + 1, converted)) return false;
      members.insert_or_assign(std::move(key), std::move(converted));
      return true;
    });
    if (!read_all) return false;
    out = JsonValue::object(std::move(members));
    return true;
  }

  int max_level_;
};

// One payload; context names it in messages ("payload", "payloads[3]").
bool read_payload(PyObject* value, const std::string& context, Payload& out) {
  out.data.clear();
  if (value == Py_None) return true;
  if (!PyDict_Check(value)) {
    raise_type_mismatch(value, "dict");
    return false;
  }
  JsonReader reader(kMaxPayloadNesting);
  PyObject* failed_key = nullptr;  // borrowed from the dict
  const bool read = reader.for_each_entry(value, [&](std::string key, PyObject* key_object,
                                                     PyObject* item) {
    JsonValue converted;
    // The payload dict is level 1, so its values sit inside one container.
    if (!reader.read(item, 1, converted)) {
      failed_key = key_object;
      return false;
    }
    out.data.insert_or_assign(std::move(key), std::move(converted));
    return true;
  });
  if (read) return true;
  // A key that is not a str names itself; a bad value is named by its key.
  reader.raise(failed_key == nullptr ? context + " " : context + " key " + repr_of(failed_key) + ": ");
  return false;
}

// ---- filters

constexpr int kMaxFilterNesting = kMaxPayloadNesting;

// A condition, or nothing for one that every payload matches ({}).
using Condition = std::optional<FilterCondition>;

Condition both(Condition left, Condition right) {
  if (!left) return right;
  if (!right) return left;
  return FilterCondition::and_(std::move(*left), std::move(*right));
}

// No payload matches: In with no values never does.
FilterCondition no_payload() { return FilterCondition::in(std::string(), {}); }

bool invalid_filter(const std::string& text) {
  const std::string message = "invalid filter: " + text;
  PyErr_SetString(PyExc_ValueError, message.c_str());
  return false;
}

bool starts_with_dollar(PyObject* key) {
  if (!PyUnicode_Check(key)) return false;
  PyRef dollar = PyRef::steal(PyUnicode_FromString("$"));
  return dollar && PyUnicode_Tailmatch(key, dollar.get(), 0, 1, -1) == 1;
}

enum class DictKind { Operators, Literal, Mixed };

DictKind kind_of(PyObject* dict) {
  Py_ssize_t position = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  std::size_t operators = 0;
  std::size_t others = 0;
  while (PyDict_Next(dict, &position, &key, &value)) {
    ++(starts_with_dollar(key) ? operators : others);
  }
  if (operators == 0) return DictKind::Literal;
  return others == 0 ? DictKind::Operators : DictKind::Mixed;
}

class FilterReader {
 public:
  // A where-dict: its entries joined with And.
  bool read_where(PyObject* where, int depth, Condition& out) {
    if (!PyDict_Check(where)) {
      return invalid_filter("expected a dict, not '" + type_name_of(where) + "'");
    }
    if (depth > kMaxFilterNesting) {
      return invalid_filter("nests deeper than " + std::to_string(kMaxFilterNesting) + " levels");
    }
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    out.reset();
    while (PyDict_Next(where, &position, &key, &value)) {
      if (!PyUnicode_Check(key)) return invalid_filter("field " + repr_of(key) + " is not a str");
      std::string name;
      if (!utf8_of(key, name)) return false;
      Condition entry;
      const bool read = name.starts_with('$') ? read_combinator(name, value, depth, entry)
                                              : read_field(name, value, entry);
      if (!read) return false;
      out = both(std::move(out), std::move(entry));
    }
    return true;
  }

 private:
  bool read_combinator(const std::string& op, PyObject* operand, int depth, Condition& out) {
    if (op == "$not") {
      if (!PyDict_Check(operand)) return wrong_operand(op, "a dict", operand);
      Condition inner;
      if (!read_where(operand, depth + 1, inner)) return false;
      out = FilterCondition::not_(inner ? std::move(*inner) : FilterCondition::not_(no_payload()));
      return true;
    }
    if (op != "$and" && op != "$or") return invalid_filter("unknown operator '" + op + "'");
    const char* wanted = "a non-empty list or tuple of dicts";
    if (!PyList_Check(operand) && !PyTuple_Check(operand)) return wrong_operand(op, wanted, operand);
    PyRef items = PyRef::steal(PySequence_Tuple(operand));
    if (!items) return false;
    const Py_ssize_t size = PyTuple_Size(items.get());
    if (size == 0) return invalid_filter(op + " needs " + wanted + ", not an empty one");
    const bool is_and = op == "$and";
    std::optional<Condition> folded;  // empty until the first part
    for (Py_ssize_t i = 0; i < size; ++i) {
      PyObject* item = PyTuple_GetItem(items.get(), i);
      if (!PyDict_Check(item)) return wrong_operand(op, wanted, item);
      Condition part;
      if (!read_where(item, depth + 1, part)) return false;
      if (!folded) {
        folded = std::move(part);
      } else if (is_and) {
        *folded = both(std::move(*folded), std::move(part));
      } else if (*folded && part) {
        *folded = FilterCondition::or_(std::move(**folded), std::move(*part));
      } else {
        folded->reset();  // one side matches everything
      }
    }
    out = std::move(*folded);
    return true;
  }

  bool read_field(const std::string& field, PyObject* value, Condition& out) {
    if (!PyDict_Check(value) || PyDict_Size(value) == 0) {
      return read_eq(field, value, out);
    }
    switch (kind_of(value)) {
      case DictKind::Literal: return read_eq(field, value, out);
      case DictKind::Mixed:
        return invalid_filter("field '" + field + "' mixes operators with other keys");
      case DictKind::Operators: break;
    }
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* operand = nullptr;
    out.reset();
    while (PyDict_Next(value, &position, &key, &operand)) {
      std::string op;
      if (!utf8_of(key, op)) return false;
      Condition condition;
      if (!read_operator(field, op, operand, condition)) return false;
      out = both(std::move(out), std::move(condition));
    }
    return true;
  }

  bool read_eq(const std::string& field, PyObject* value, Condition& out) {
    JsonValue operand;
    if (!read_value(field, value, operand)) return false;
    out = FilterCondition::eq(field, std::move(operand));
    return true;
  }

  bool read_operator(const std::string& field, const std::string& op, PyObject* operand,
                     Condition& out) {
    using Make = FilterCondition (*)(std::string, JsonValue);
    static const std::pair<const char*, Make> kComparisons[] = {
        {"$eq", &FilterCondition::eq}, {"$ne", &FilterCondition::ne},
        {"$gt", &FilterCondition::gt}, {"$gte", &FilterCondition::gte},
        {"$lt", &FilterCondition::lt}, {"$lte", &FilterCondition::lte},
    };
    for (const auto& [name, make] : kComparisons) {
      if (op != name) continue;
      JsonValue value;
      if (!read_value(field, operand, value)) return false;
      out = make(field, std::move(value));
      return true;
    }
    if (op == "$in" || op == "$nin") {
      if (!PyList_Check(operand) && !PyTuple_Check(operand)) {
        return wrong_operand(op, "a list or tuple", operand);
      }
      JsonValue values;
      if (!read_value(field, operand, values)) return false;
      FilterCondition in = FilterCondition::in(field, std::move(values.as_array()));
      out = op == "$in" ? std::move(in) : FilterCondition::not_(std::move(in));
      return true;
    }
    if (op == "$contains") {
      if (!PyUnicode_Check(operand)) return wrong_operand(op, "a str", operand);
      std::string substring;
      if (!utf8_of(operand, substring)) return false;
      out = FilterCondition::contains(field, std::move(substring));
      return true;
    }
    if (op == "$exists") {
      if (!PyBool_Check(operand)) return wrong_operand(op, "a bool", operand);
      FilterCondition exists = FilterCondition::exists(field);
      out = operand == Py_True ? std::move(exists) : FilterCondition::not_(std::move(exists));
      return true;
    }
    return invalid_filter("unknown operator '" + op + "'");
  }

  // An operand by the payload value rules; every fault is an invalid filter.
  bool read_value(const std::string& field, PyObject* value, JsonValue& out) {
    JsonReader reader(kMaxPayloadNesting);
    if (reader.read(value, 0, out)) return true;
    if (reader.fault.kind == JsonFault::Kind::Python) PyErr_Clear();
    return invalid_filter("field '" + field + "': " +
                          (reader.fault.kind == JsonFault::Kind::Python ? "a str is not UTF-8"
                                                                       : reader.fault.text));
  }

  bool wrong_operand(const std::string& op, const char* wanted, PyObject* operand) {
    return invalid_filter(op + " needs " + wanted + ", not '" + type_name_of(operand) + "'");
  }
};

}  // namespace

bool convert_payload(PyObject* value, const char* parameter, Payload& out) {
  return with_parameter_prefix(parameter, [&] { return read_payload(value, "payload", out); });
}

bool convert_payload_list(PyObject* value, const char* parameter, std::vector<Payload>& out) {
  out.clear();
  if (value == Py_None) return true;
  return with_parameter_prefix(parameter, [&] {
    if (!check_sequence(value)) return false;
    reserve_more(out, reported_length(value));
    return for_each_element(value, [&out](PyObject* item) {
      out.emplace_back();
      return read_payload(item, "payloads[" + std::to_string(out.size() - 1) + "]", out.back());
    });
  });
}

bool convert_where(PyObject* value, std::optional<Filter>& out) {
  out.reset();
  if (value == Py_None) return true;
  Condition condition;
  if (!FilterReader().read_where(value, 1, condition)) return false;
  if (condition) out = Filter{std::move(*condition)};
  return true;
}

namespace {

PyObject* new_json_object(const JsonValue& value) {
  switch (value.kind()) {
    case JsonValue::Kind::Null: return new_none();
    case JsonValue::Kind::Bool: return PyBool_FromLong(value.as_bool() ? 1 : 0);
    case JsonValue::Kind::UInt: return PyLong_FromUnsignedLongLong(value.as_uint());
    case JsonValue::Kind::NegInt: return PyLong_FromLongLong(value.as_neg_int());
    case JsonValue::Kind::Float: return PyFloat_FromDouble(value.as_float());
    case JsonValue::Kind::String: {
      const std::string& text = value.as_string();
      return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
    }
    case JsonValue::Kind::Array: {
      const JsonArray& elements = value.as_array();
      PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(elements.size())));
      if (!list) return nullptr;
      for (std::size_t i = 0; i < elements.size(); ++i) {
        PyObject* item = new_json_object(elements[i]);
        if (item == nullptr) return nullptr;
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);  // steals
      }
      return list.release();
    }
    case JsonValue::Kind::Object: {
      PyRef dict = PyRef::steal(PyDict_New());
      if (!dict) return nullptr;
      for (const auto& [key, member] : value.as_object()) {
        PyRef item = PyRef::steal(new_json_object(member));
        PyRef name = PyRef::steal(
            PyUnicode_DecodeUTF8(key.data(), static_cast<Py_ssize_t>(key.size()), "replace"));
        if (!item || !name || PyDict_SetItem(dict.get(), name.get(), item.get()) < 0) {
          return nullptr;
        }
      }
      return dict.release();
    }
  }
  return new_none();
}

}  // namespace

PyObject* new_payload_dict(const Payload& payload) {
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return nullptr;
  for (const auto& [key, value] : payload.data) {
    PyRef item = PyRef::steal(new_json_object(value));
    PyRef name = PyRef::steal(
        PyUnicode_DecodeUTF8(key.data(), static_cast<Py_ssize_t>(key.size()), "replace"));
    if (!item || !name || PyDict_SetItem(dict.get(), name.get(), item.get()) < 0) return nullptr;
  }
  return dict.release();
}

// ---------------------------------------------------------------------------
// Results

namespace {

// (id, distance) or (id, distance, payload): the id as an unsigned int, the
// distance widened exactly.
PyObject* new_result_tuple(const tarnvault_core::SearchResult& result, bool with_payload) {
  PyRef id = PyRef::steal(PyLong_FromUnsignedLongLong(result.id));
  if (!id) return nullptr;
  PyRef distance = PyRef::steal(PyFloat_FromDouble(static_cast<double>(result.distance)));
  if (!distance) return nullptr;
  PyRef payload;
  if (with_payload) {
    payload = PyRef::steal(new_payload_dict(result.payload ? *result.payload : Payload{}));
    if (!payload) return nullptr;
  }
  PyRef tuple = PyRef::steal(PyTuple_New(with_payload ? 3 : 2));
  if (!tuple) return nullptr;
  PyTuple_SetItem(tuple.get(), 0, id.release());  // steals
  PyTuple_SetItem(tuple.get(), 1, distance.release());
  if (with_payload) PyTuple_SetItem(tuple.get(), 2, payload.release());
  return tuple.release();
}

}  // namespace

PyObject* new_result_list(std::span<const tarnvault_core::SearchResult> results,
                          bool with_payload) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(results.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < results.size(); ++i) {
    PyObject* tuple = new_result_tuple(results[i], with_payload);
    if (tuple == nullptr) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), tuple);  // steals
  }
  return list.release();
}

PyObject* new_id_list(std::span<const std::uint64_t> ids) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(ids.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < ids.size(); ++i) {
    PyObject* id = PyLong_FromUnsignedLongLong(ids[i]);
    if (id == nullptr) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), id);  // steals
  }
  return list.release();
}

PyObject* new_float_list(std::span<const float> values) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(values.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < values.size(); ++i) {
    PyObject* value = PyFloat_FromDouble(static_cast<double>(values[i]));
    if (value == nullptr) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), value);  // steals
  }
  return list.release();
}

}  // namespace tarnvault_py
