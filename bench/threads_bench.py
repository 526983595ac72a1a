"""Searches beside other Python threads. Goals (quiet machine, two cores):

  1. While one thread runs searches, a pure-Python counting thread keeps
     >= 85% of the speed it has alone.
  2. Two threads searching one cache-resident index (2*10^4 x 128) reach
     >= 1.7x the queries/s of one thread.

    PYTHONPATH=build/py python3 bench/threads_bench.py [seconds per measurement]

Prints the load average before and after: on a shared machine the figures
are only as good as the cores that were free.
"""
import os
import sys
import threading
import time

import numpy as np

from _tarnvault import Index

DIMENSION = 128
K = 10


def make_index(count, seed=1):
    rng = np.random.default_rng(seed)
    index = Index("euclidean", DIMENSION)
    index.insert_batch(np.arange(count, dtype=np.uint64),
                       rng.standard_normal((count, DIMENSION), dtype=np.float32))
    return index


def queries(count, seed=2):
    return np.random.default_rng(seed).standard_normal((count, DIMENSION), dtype=np.float32).tolist()


def run_threads(workers, seconds):
    """Runs each worker(stop) on its own thread for `seconds`; returns what
    each returned."""
    stop = threading.Event()
    results = [None] * len(workers)

    def run(i):
        results[i] = workers[i](stop)

    threads = [threading.Thread(target=run, args=(i,)) for i in range(len(workers))]
    for thread in threads:
        thread.start()
    time.sleep(seconds)
    stop.set()
    for thread in threads:
        thread.join()
    return results


def counter(stop):
    count = 0
    start = time.perf_counter()
    while not stop.is_set():
        count += 1
    return count / (time.perf_counter() - start)


def searcher(index, qs, batch=None):
    def work(stop):
        done = 0
        start = time.perf_counter()
        while not stop.is_set():
            if batch is None:
                for q in qs:
                    index.search(q, K)
                done += len(qs)
            else:
                index.search_batch(qs[:batch], K)
                done += batch
        return done / (time.perf_counter() - start)
    return work


def main():
    seconds = float(sys.argv[1]) if len(sys.argv) > 1 else 3.0
    print(f"load average before: {' '.join(f'{x:.2f}' for x in os.getloadavg())}, "
          f"{os.cpu_count()} cores, {seconds:g} s per measurement")

    # 1. The counting thread beside a searching thread.
    solo = run_threads([counter], seconds)[0]
    for label, count, batch in [("search, 10^5 x 128", 100_000, None),
                                ("search, 2*10^4 x 128", 20_000, None),
                                ("search_batch of 16, 10^5 x 128", 100_000, 16)]:
        index = make_index(count)
        beside, qps = run_threads([counter, searcher(index, queries(16), batch)], seconds)
        print(f"counting thread beside {label}: {beside / solo:.0%} of solo "
              f"({qps:.0f} queries/s meanwhile)")

    # 2. One versus two threads searching one cache-resident index.
    index = make_index(20_000)
    qs = queries(64)
    one = run_threads([searcher(index, qs)], seconds)[0]
    two = sum(run_threads([searcher(index, qs), searcher(index, qs[32:] + qs[:32])], seconds))
    print(f"search 2*10^4 x 128: 1 thread {one:.0f} queries/s, 2 threads {two:.0f} "
          f"queries/s: {two / one:.2f}x")

    print(f"load average after: {' '.join(f'{x:.2f}' for x in os.getloadavg())}")


if __name__ == "__main__":
    main()
