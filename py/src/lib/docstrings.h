// Method docstrings shared by Index and Collection. Each starts with its text
// signature line and "--", which the interpreter turns into
// __text_signature__.
#pragma once

namespace tarnvault_py {

inline constexpr char kInsertBatchDoc[] =
    "insert_batch($self, ids, vectors)\n"
    "--\n"
    "\n"
    "Insert multiple vectors at once.\n"
    "\n"
    "Args:\n"
    "    ids (list[int]): List of unique identifiers.\n"
    "    vectors (list[list[float]]): List of vectors.";

inline constexpr char kSearchBatchDoc[] =
    "search_batch($self, queries, k)\n"
    "--\n"
    "\n"
    "Search for nearest neighbors for multiple queries.\n"
    "\n"
    "Args:\n"
    "    queries (list[list[float]]): List of query vectors.\n"
    "    k (int): Number of neighbors per query.\n"
    "\n"
    "Returns:\n"
    "    list[list[tuple[int, float]]]: Results for each query.";

}  // namespace tarnvault_py
