#include "buffer_input.h"

#include <bit>
#include <cstring>
#include <memory>

#include "elements.h"
#include "held_buffer.h"

namespace tarnvault_py {
namespace {

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

}  // namespace

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

}  // namespace tarnvault_py
