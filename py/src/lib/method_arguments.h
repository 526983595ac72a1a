// The arguments that Index and Collection methods of the same name take,
// converted the same way for both: (id, vector), (query, k), (ids, vectors)
// and (queries, k). Each returns false with the exception set when an
// argument does not convert.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "float_buffer.h"
#include "py_api.h"
#include "vector_list.h"

namespace tarnvault_py {

using TwoArguments = std::array<PyObject*, 2>;

bool convert_insert_arguments(const TwoArguments& arguments, std::uint64_t& id,
                              FloatBuffer& vector);
bool convert_search_arguments(const TwoArguments& arguments, FloatBuffer& query, std::size_t& k);
// Also refuses ids and vectors of different lengths (ValueError). A float32
// array whose rows are contiguous is read in place.
bool convert_insert_batch_arguments(const TwoArguments& arguments, std::vector<std::uint64_t>& ids,
                                    VectorList& vectors);
bool convert_search_batch_arguments(const TwoArguments& arguments, VectorList& queries,
                                    std::size_t& k);

}  // namespace tarnvault_py
