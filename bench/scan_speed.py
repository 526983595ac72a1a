"""Single-thread exact-scan speed of Index.search and Index.search_batch,
k=10, with resident memory of the filled index and, where python3-faiss is
installed, IndexFlatL2 / IndexFlatIP on the same data for comparison.

    PYTHONPATH=build/py python3 bench/scan_speed.py [--where] [count] [dimensions] [metrics]

e.g. `... scan_speed.py 1000000 128,768 euclidean,cosine,dot`. Set
TARNVAULT_SIMD=avx2 or scalar to measure a lower instruction-set level.
With --where every vector gets a payload {"category": c}, c uniform in
0..99, and single-query searches filtered by `where` to 1%, 10%, 50% and
100% of the vectors are timed beside the unfiltered one, with their ratio to
it (the goal is at most 1.5x); their GB/s still counts every stored vector,
though a filtered scan skips the distances of those that do not match.
GB/s scanned = count x dimension x 4 bytes per query / time per query. Wall
time and this thread's CPU time are both shown: on a busy machine the CPU
time is the fairer figure (both are the best of three runs).
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
    """(wall, cpu): the best wall time and the best thread CPU time."""
    wall = cpu = float("inf")
    for _ in range(repeat):
        start, start_cpu = time.perf_counter(), time.thread_time()
        action()
        wall = min(wall, time.perf_counter() - start)
        cpu = min(cpu, time.thread_time() - start_cpu)
    return wall, cpu


def resident_bytes():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) * 1024
    return 0


def per_query(action, queries, repeat=3):
    wall, cpu = best_seconds(lambda: [action(q) for q in queries], repeat)
    return wall / len(queries), cpu / len(queries)


def batch_per_query(action, queries, repeat=3):
    wall, cpu = best_seconds(lambda: action(queries), repeat)
    return wall / len(queries), cpu / len(queries)


def report(label, seconds, count, dimension):
    wall, cpu = seconds
    gigabytes = count * dimension * 4 / 1e9
    print(f"  {label:<32} {wall * 1e3:8.2f} ms/query {gigabytes / wall:7.1f} GB/s scanned"
          f" | cpu {cpu * 1e3:8.2f} ms {gigabytes / cpu:7.1f} GB/s")


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
    report(f"faiss {name} batch of 100", batch_per_query(lambda qs: index.search(qs, 10), queries), count, dimension)


WHERE = [
    ("where category == 7 (1%)", {"category": 7}),
    ("where category < 10 (10%)", {"category": {"$lt": 10}}),
    ("where category < 50 (50%)", {"category": {"$lt": 50}}),
    ("where category >= 0 (100%)", {"category": {"$gte": 0}}),
]


def filtered_rows(index, categories, queries, count, dimension):
    """Single-query searches with and without `where`, end to end from Python."""
    unfiltered = per_query(lambda q: index.search(q, 10), queries)
    report("search, no filter", unfiltered, count, dimension)
    for label, where in WHERE:
        seconds = per_query(lambda q: index.search(q, 10, where=where), queries)
        report(label, seconds, count, dimension)
        print(f"  {'':<32} {seconds[0] / unfiltered[0]:8.2f}x unfiltered wall"
              f" | cpu {seconds[1] / unfiltered[1]:.2f}x")
    # The filter must agree with the payloads, or the figures mean nothing.
    found = index.search(queries[0], 10, where={"category": 7})
    assert found and all(categories[i] == 7 for i, _ in found), found


def main():
    args = sys.argv[1:]
    where = "--where" in args
    args = [a for a in args if a != "--where"]
    count = int(args[0]) if len(args) > 0 else 1_000_000
    dimensions = [int(d) for d in (args[1] if len(args) > 1 else "128,768").split(",")]
    metrics = (args[2] if len(args) > 2 else "euclidean,cosine,dot").split(",")
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
            if where:
                categories = rng.integers(0, 100, count).tolist()
                index.insert_batch(np.arange(count, dtype=np.uint64), vectors,
                                   payloads=[{"category": c} for c in categories])
                filtered_rows(index, categories, queries[:20], count, dimension)
                print(f"  load average {os.getloadavg()[0]:.1f}")
                del index
                continue
            index.insert_batch(np.arange(count, dtype=np.uint64), vectors)
            grown = resident_bytes() - before
            print(f"d={dimension} {metric}: index resident {grown / 2**20:.0f} MiB "
                  f"= {grown / vectors.nbytes:.3f} x the raw vectors")
            report("search, NumPy query", per_query(lambda q: index.search(q, 10), queries[:20]), count, dimension)
            report("search, list query", per_query(lambda q: index.search(q, 10), query_lists[:20]), count, dimension)
            report("search_batch of 100", batch_per_query(lambda qs: index.search_batch(qs, 10), queries),
                   count, dimension)
            del index
            if metric != "cosine":
                faiss_rows(metric, vectors, queries, count, dimension)


if __name__ == "__main__":
    main()
