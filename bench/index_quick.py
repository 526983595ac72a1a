"""Quick timing of the Python Index: batch insert of 100,000 x 128 float32
vectors from a NumPy array and from a list of lists, then k=10 searches.

    PYTHONPATH=build/py python3 bench/index_quick.py [count] [dimension]
"""
import sys
import time

import numpy as np

from _tarnvault import Index


def seconds(action, repeat=1):
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        action()
        best = min(best, time.perf_counter() - start)
    return best


def main():
    count = int(sys.argv[1]) if len(sys.argv) > 1 else 100_000
    dimension = int(sys.argv[2]) if len(sys.argv) > 2 else 128
    rng = np.random.default_rng(1)
    vectors = rng.standard_normal((count, dimension), dtype=np.float32)
    ids = np.arange(count, dtype=np.uint64)
    vector_lists, id_list = vectors.tolist(), ids.tolist()
    queries = rng.standard_normal((100, dimension), dtype=np.float32)

    def fresh_insert(ids_in, vectors_in):
        index = Index("euclidean", dimension)
        return seconds(lambda: index.insert_batch(ids_in, vectors_in))

    print(f"{count} x {dimension} float32, best of 3")
    print(f"insert_batch from NumPy arrays:   {min(fresh_insert(ids, vectors) for _ in range(3)):.3f} s")
    print(f"insert_batch from lists of lists: {min(fresh_insert(id_list, vector_lists) for _ in range(3)):.3f} s")

    index = Index("euclidean", dimension)
    index.insert_batch(ids, vectors)
    single = seconds(lambda: [index.search(q, 10) for q in queries], repeat=3) / len(queries)
    batch = seconds(lambda: index.search_batch(queries, 10), repeat=3) / len(queries)
    print(f"search k=10 (NumPy query):        {single * 1e3:.2f} ms per query")
    print(f"search_batch k=10, 100 queries:   {batch * 1e3:.2f} ms per query")


if __name__ == "__main__":
    main()
