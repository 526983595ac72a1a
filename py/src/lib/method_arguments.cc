#include "method_arguments.h"

#include "convert.h"

namespace tarnvault_py {

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

}  // namespace tarnvault_py
