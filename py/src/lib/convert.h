// Conversion between Python objects and the core's values, both ways:
//   - arguments in: ids, sizes, text, float vectors and lists of them, read
//     element by element or, for exporters known to be safe, straight from
//     their buffer;
//   - payloads (dicts of JSON values) both ways, and `where` dicts to the
//     core's filters;
//   - names of metrics and sync modes;
//   - results out: search results as lists of tuples.
// Each converting function returns false with a Python exception set on
// failure.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "calling.h"
#include "core/distance/distance.h"
#include "core/filter/filter.h"
#include "core/index/brute_force/brute_force_index.h"
#include "core/payload/payload.h"
#include "core/storage/wal/sync_mode.h"

namespace tarnvault_py {

// ---------------------------------------------------------------------------
// Where converted vectors live.

// The growable float array that converted vectors live in. Growing it leaves
// new components uninitialised: every one is written by the conversion right
// away, and zero-filling a batch of a million vectors first would cost as
// much as copying it.
template <typename T>
struct UninitialisedAllocator : std::allocator<T> {
  template <typename U>
  struct rebind {
    using other = UninitialisedAllocator<U>;
  };

  UninitialisedAllocator() = default;
  template <typename U>
  UninitialisedAllocator(const UninitialisedAllocator<U>&) noexcept {}

  template <typename U>
  void construct(U* place) noexcept {
    ::new (static_cast<void*>(place)) U;
  }
  template <typename U, typename... Args>
  void construct(U* place, Args&&... args) {
    ::new (static_cast<void*>(place)) U(std::forward<Args>(args)...);
  }
};

using FloatBuffer = std::vector<float, UninitialisedAllocator<float>>;

// An exporter's buffer held for as long as its memory is read. While held,
// the exporter may not resize or free that memory (a NumPy array refuses to
// resize with a BufferError), so a pointer into it stays valid.
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

// A list of float vectors. Converted rows are kept in one contiguous array,
// so that a batch is copied once and each vector is handed to the core as a
// span into it. Rows that are already float32 in memory an exporter holds
// still for us can instead be read where they are: the core copies them
// straight into its own storage, with no intermediate copy of the batch.
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
  // Copies rows read in place into the list's own array and lets go of the
  // exporter's buffer. Needs the interpreter lock.
  void own_rows() {
    if (!borrowed_) return;
    FloatBuffer values(borrowed_rows_ * borrowed_columns_);
    std::vector<std::size_t> ends(borrowed_rows_);
    for (std::size_t i = 0; i < borrowed_rows_; ++i) {
      const std::span<const float> row = (*this)[i];
      std::copy(row.begin(), row.end(), values.data() + i * borrowed_columns_);
      ends[i] = (i + 1) * borrowed_columns_;
    }
    clear();
    values_ = std::move(values);
    ends_ = std::move(ends);
  }

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

// ---------------------------------------------------------------------------
// Single elements: an id (any integer through __index__) and a vector
// component (any number through the interpreter's float conversion). Errors
// are left exactly as the interpreter raised them.

// int, bool, or any object with __index__, in [0, 2^64). Otherwise the
// interpreter's TypeError or OverflowError is set and false returned.
bool extract_id(PyObject* value, std::uint64_t& out);

// Nearest float, ties to even, as IEEE-754 narrowing does: magnitudes beyond
// the float range become infinities and NaN stays NaN. Spelled out because a
// C++ cast of an out-of-range finite double is undefined behaviour.
inline float round_to_float32(double value) {
  constexpr double kLargestFloat = std::numeric_limits<float>::max();
  if (std::isnan(value) || std::fabs(value) <= kLargestFloat) return static_cast<float>(value);
  // Half an ulp (2^104 / 2) above the largest float the rounding goes up to
  // infinity; the tie goes there too, because the largest float is odd.
  constexpr double kRoundsToInfinity = kLargestFloat + 0x1p103;
  const float magnitude = std::fabs(value) < kRoundsToInfinity
                              ? std::numeric_limits<float>::max()
                              : std::numeric_limits<float>::infinity();
  return std::signbit(value) ? -magnitude : magnitude;
}

// The interpreter's float conversion, narrowed by round_to_float32. Inline:
// it runs once per component of every vector given as a list.
inline bool extract_float(PyObject* value, float& out) {
  const double number = PyFloat_AsDouble(value);
  // An exact float converts without failing; anything else may fail.
  if (number == -1.0 && !PyFloat_CheckExact(value) && PyErr_Occurred()) return false;
  out = round_to_float32(number);
  return true;
}

// ---------------------------------------------------------------------------
// Named parameters, by parameter kind. An exception whose type is exactly
// TypeError is re-raised as a TypeError prefixed with "argument
// '{parameter}': " (its cause kept); every other exception (OverflowError,
// UnicodeEncodeError, a re-entrancy RuntimeError) passes through unchanged.

// Id: int (bool included) or any object with __index__, in [0, 2^64).
bool convert_id(PyObject* value, const char* parameter, std::uint64_t& out);

// Size: as Id, narrowed to the machine word.
bool convert_size(PyObject* value, const char* parameter, std::size_t& out);

// Text: str or a subclass, as UTF-8.
bool convert_text(PyObject* value, const char* parameter, std::string& out);

// Float vector: any sequence except str; each element through the float
// conversion, rounded to the nearest float.
bool convert_float_vector(PyObject* value, const char* parameter, FloatBuffer& out);

// Id list: a sequence as for Float vector; each element as Id.
bool convert_id_list(PyObject* value, const char* parameter, std::vector<std::uint64_t>& out);

// Vector list: a sequence as for Float vector; each element a Float vector.
bool convert_vector_list(PyObject* value, const char* parameter, VectorList& out);

// As convert_vector_list, but a float32 array whose rows are contiguous is
// read in place rather than copied. Only for the last parameter a method
// converts, when no Python code runs until the core has copied every row:
// the result must be what a copy taken at conversion time would give.
bool convert_vector_list_in_place(PyObject* value, const char* parameter, VectorList& out);

// As convert_float_vector, into a list of one row, which reads a contiguous
// float32 buffer in place. The same rule as for convert_vector_list_in_place.
bool convert_float_vector_in_place(PyObject* value, const char* parameter, VectorList& out);

// Applies the "argument '{parameter}': " rule to the pending exception.
void prefix_type_error(const char* parameter);

// Flag: exactly True or False.
bool convert_flag(PyObject* value, const char* parameter, bool& out);

// Path: str (as Text) or an os.PathLike, through os.fspath.
bool convert_path(PyObject* value, const char* parameter, std::string& out);

// ---------------------------------------------------------------------------
// Names a Python caller may choose, compared exactly, byte for byte: the
// metrics "euclidean", "cosine", "dot" (Hamming has no Python name) and the
// log's sync modes "always", "batched", "never".

// The metric named by name, or nothing with ValueError "Invalid metric" set.
std::optional<tarnvault_core::DistanceMetric> parse_metric(std::string_view name);
// The Python name of a metric ("euclidean" ...).
const char* metric_python_name(tarnvault_core::DistanceMetric metric);
// The sync mode named by name, or nothing with ValueError "Invalid sync mode".
std::optional<tarnvault_core::SyncMode> parse_sync_mode(std::string_view name);

// ---------------------------------------------------------------------------
// Payloads: a dict with str keys and JSON values. None, bool, int (-2**63 ..
// 2**64-1), finite float and str; list or tuple; dict with str keys. The
// payload dict is the first nesting level and containers may nest to level
// 125, so that a logged record stays within the reader's 127 levels. An int
// >= 0 becomes the unsigned kind and an int < 0 the signed one, so 1 and 1.0
// stay distinct both ways.
//
// A payload that is not a dict, a key that is not a str or a value of
// another type raise TypeError naming the key (and take the argument
// prefix); a non-finite float, an int out of range and nesting too deep
// raise ValueError. No Python code runs during the conversion.

inline constexpr int kMaxPayloadNesting = 125;

// None or {} give the empty payload.
bool convert_payload(PyObject* value, const char* parameter, tarnvault_core::Payload& out);
// None gives no payloads (out empty, given false); otherwise a sequence of
// payloads, each as convert_payload.
bool convert_payload_list(PyObject* value, const char* parameter,
                          std::vector<tarnvault_core::Payload>& out);

// A new dict of the payload's keys and values, or null with an exception set.
PyObject* new_payload_dict(const tarnvault_core::Payload& payload);

// ---------------------------------------------------------------------------
// Filters: a `where` dict converted to the core's Filter, once per call.
//   {"f": v}                     Eq(f, v), v not an operator dict
//   {"f": {"$eq": v}} ...        $eq $ne $gt $gte $lt $lte: that condition
//   {"f": {"$in": [v, ...]}}     In; "$nin": Not(In)
//   {"f": {"$contains": "s"}}    Contains
//   {"f": {"$exists": bool}}     Exists, or Not(Exists)
//   {"$and": [w, ...]}, "$or"    And / Or folded left; non-empty lists
//   {"$not": w}                  Not
// Several entries in one dict, or several operators on one field, are
// joined with And in the dict's order. An operator dict is a non-empty dict
// whose keys all begin with "$"; any other dict (even {}) is a literal
// object; a dict mixing both is refused. Operands follow the payload value
// rules. Everything refused raises ValueError "invalid filter: ...".

// None and {} give no filter (out empty).
bool convert_where(PyObject* value, std::optional<tarnvault_core::Filter>& out);

// ---------------------------------------------------------------------------
// Search results as Python objects: a list of new (id, distance) tuples, or
// (id, distance, payload dict) with payloads, in the core's order, every
// list and tuple created at its final size.

// A new list of result tuples, or null with an exception set.
PyObject* new_result_list(std::span<const tarnvault_core::SearchResult> results,
                          bool with_payload = false);

// A new list of count result lists; search_one(i) returns the results of
// query i and is called in order.
template <typename SearchOne>
PyObject* new_result_lists(std::size_t count, SearchOne&& search_one, bool with_payload = false) {
  PyRef lists = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(count)));
  if (!lists) return nullptr;
  for (std::size_t i = 0; i < count; ++i) {
    const std::vector<tarnvault_core::SearchResult> results = search_one(i);
    PyObject* list = new_result_list(results, with_payload);
    if (list == nullptr) return nullptr;
    PyList_SetItem(lists.get(), static_cast<Py_ssize_t>(i), list);  // steals list
  }
  return lists.release();
}

// A new list of ints.
PyObject* new_id_list(std::span<const std::uint64_t> ids);

// A new list of floats, each the float widened exactly.
PyObject* new_float_list(std::span<const float> values);

}  // namespace tarnvault_py
