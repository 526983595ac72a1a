// Conversion of named parameters from Python objects, by parameter kind.
// Each function returns false with a Python exception set on failure. An
// exception whose type is exactly TypeError is re-raised as a TypeError
// prefixed with "argument '{parameter}': " (its cause kept); every other
// exception (OverflowError, UnicodeEncodeError, a re-entrancy RuntimeError)
// passes through unchanged.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "py_api.h"
#include "float_buffer.h"
#include "vector_list.h"

namespace tarnvault_py {

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

// Applies the "argument '{parameter}': " rule to the pending exception.
void prefix_type_error(const char* parameter);

}  // namespace tarnvault_py
