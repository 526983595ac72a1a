"""Single-thread exact-scan speed of Index.search and Index.search_batch,
k=10, with resident memory of the filled index and, where python3-faiss is
installed, IndexFlatL2 / IndexFlatIP on the same data for comparison.

    PYTHONPATH=build/py python3 bench/scan_speed.py [count] [dimensions] [metrics]

e.g. `... scan_speed.py 1000000 128,768 euclidean,cosine,dot`. Set
TARNVAULT_SIMD=avx2 or scalar to measure a lower instruction-set level.
GB/s scanned = count x dimension x 4 bytes per query / time per query.
"""
import os
import sys
import time

# One thread for every BLAS the peers may use, before anything loads one.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
os.environ.setdefault("OMP_NUM_THREADS", "1")

import numpy as np  # noqa: E402

from _tarnvault import Index  # noqa: E402


def best_seconds(action, repeat):
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        action()
        best = min(best, time.perf_counter() - start)
    return best


def resident_bytes():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) * 1024
    return 0


def per_query(action, queries, repeat=3):
    return best_seconds(lambda: [action(q) for q in queries], repeat) / len(queries)


def report(label, seconds, count, dimension):
    scanned = count * dimension * 4 / seconds / 1e9
    print(f"  {label:<34} {seconds * 1e3:8.2f} ms/query {scanned:7.1f} GB/s scanned")


def faiss_rows(metric, vectors, queries, count, dimension):
    try:
        import faiss
    except ImportError:
        return
    faiss.omp_set_num_threads(1)
    index = faiss.IndexFlatL2(dimension) if metric == "euclidean" else faiss.IndexFlatIP(dimension)
    index.add(vectors)
    name = type(index).__name__
    report(f"faiss {name} single", per_query(lambda q: index.search(q[None, :], 10), queries[:10]), count, dimension)
    report(f"faiss {name} batch of 100", best_seconds(lambda: index.search(queries, 10), 3) / len(queries), count, dimension)


def main():
    count = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
    dimensions = [int(d) for d in (sys.argv[2] if len(sys.argv) > 2 else "128,768").split(",")]
    metrics = (sys.argv[3] if len(sys.argv) > 3 else "euclidean,cosine,dot").split(",")
    print(f"{count} random float32 vectors, k=10, SIMD level {os.environ.get('TARNVAULT_SIMD', 'best')}, "
          f"load average {os.getloadavg()[0]:.1f}")
    rng = np.random.default_rng(1)
    for dimension in dimensions:
        vectors = rng.standard_normal((count, dimension), dtype=np.float32)
        queries = rng.standard_normal((100, dimension), dtype=np.float32)
        query_lists = queries.tolist()
        for metric in metrics:
            before = resident_bytes()
            index = Index(metric, dimension)
            index.insert_batch(np.arange(count, dtype=np.uint64), vectors)
            grown = resident_bytes() - before
            print(f"d={dimension} {metric}: index resident {grown / 2**20:.0f} MiB "
                  f"= {grown / vectors.nbytes:.3f} x the raw vectors")
            report("search, NumPy query", per_query(lambda q: index.search(q, 10), queries[:20]), count, dimension)
            report("search, list query", per_query(lambda q: index.search(q, 10), query_lists[:20]), count, dimension)
            report("search_batch of 100", best_seconds(lambda: index.search_batch(queries, 10), 3) / len(queries),
                   count, dimension)
            del index
            if metric != "cosine":
                faiss_rows(metric, vectors, queries, count, dimension)


if __name__ == "__main__":
    main()
