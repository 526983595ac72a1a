"""Sharded search on a local Dask cluster against one Collection in one process.

    PYTHONPATH=build/py /usr/bin/python3 bench/dask_shards.py [count] [dimension]
        [--via-scheduler] [--profile]

Data: `count` x `dimension` (default 10^6 x 128) standard-normal float32,
seeded; 100 queries from the same generator; k = 10; euclidean.

1. One Collection in this process: insert_batch, then the median over 5 calls
   of search_batch(100 queries), and the median of 20 single searches.
2. A LocalCluster of 2 worker processes with 1 thread each on 127.0.0.1, the
   client talking to workers directly (``--via-scheduler``: through the
   scheduler, Dask's default), a ShardedCollection of 2 shards holding the
   same vectors: the same measurements. Every batch result's distances are
   checked against step 1's, rank by rank.
3. The fixed cost of a call: a single search of an empty 2-shard collection
   (two actor round trips, no scan).

Prints queries/s of both and their ratio, the CPU time per query of the
single process and of each process of the cluster (client, scheduler, each
worker), the single-query latencies, and the load average before and after,
since the client, the scheduler and both workers share the machine's cores
with whatever else runs: the CPU times hardly depend on that load, the wall
clock figures do.
"""
import os
import statistics
import sys
import tempfile
import time

import numpy as np

# Dask's statistical profiler samples every worker thread 100 times a second;
# --profile keeps it on (Dask's default), otherwise the workers start without.
if "--profile" not in sys.argv:
    os.environ["DASK_DISTRIBUTED__WORKER__PROFILE__ENABLED"] = "False"
from distributed import Client, LocalCluster  # noqa: E402

from tarnvault import Collection
from tarnvault.dask import ShardedCollection

K = 10
BATCH = 100_000


def median_seconds(action, repeats):
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        action()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def cpu_times(client):
    # A LocalCluster runs its scheduler inside the client's process.
    if client.run_on_scheduler(os.getpid) == os.getpid():
        times = {"client and scheduler": time.process_time()}
    else:
        times = {"client": time.process_time(),
                 "scheduler": client.run_on_scheduler(time.process_time)}
    for n, (_, seconds) in enumerate(sorted(client.run(time.process_time).items())):
        times[f"worker {n}"] = seconds
    return times


def load_and_measure(target, ids, vectors, queries):
    start = time.perf_counter()
    for first in range(0, len(ids), BATCH):
        target.insert_batch(ids[first:first + BATCH], vectors[first:first + BATCH])
    load = time.perf_counter() - start
    target.search_batch(queries, K)  # warm-up
    batch = median_seconds(lambda: target.search_batch(queries, K), 5)
    single = median_seconds(lambda: target.search(queries[0], K), 20)
    return load, batch, single, target.search_batch(queries, K)


def main():
    args = [a for a in sys.argv[1:] if not a.startswith("--")]
    count = int(args[0]) if args else 1_000_000
    dimension = int(args[1]) if len(args) > 1 else 128
    direct = "--via-scheduler" not in sys.argv
    rng = np.random.default_rng(1)
    vectors = rng.standard_normal((count, dimension), dtype=np.float32)
    ids = np.arange(count, dtype=np.uint64)
    queries = rng.standard_normal((100, dimension), dtype=np.float32)
    workdir = tempfile.mkdtemp(prefix="dask-shards-bench-")
    print(f"{count} x {dimension}, k={K}, load average before: {os.getloadavg()}")

    one = Collection.open_or_create(f"{workdir}/one", dimension, "euclidean")
    one_load, one_batch, one_single, expected = load_and_measure(one, ids, vectors, queries)
    start = time.process_time()
    for _ in range(5):
        one.search_batch(queries, K)
    one_batch_cpu = (time.process_time() - start) / 5
    del one

    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                      dashboard_address="127.0.0.1:0") as cluster, \
            Client(cluster, direct_to_workers=direct) as client:
        sharded = ShardedCollection.open_or_create(client, f"{workdir}/sharded", dimension,
                                                   "euclidean", shards=2)
        sharded_load, sharded_batch, sharded_single, got = load_and_measure(
            sharded, ids, vectors, queries)
        for want, have in zip(expected, got):
            np.testing.assert_array_equal([d for _, d in have], [d for _, d in want])
        # CPU seconds per batch call in each process: unlike the wall clock,
        # these hardly depend on what else the machine runs.
        before = cpu_times(client)
        for _ in range(5):
            sharded.search_batch(queries, K)
        cpu = {name: (after - before[name]) / 5 for name, after in cpu_times(client).items()}
        sharded.close()
        empty = ShardedCollection.open_or_create(client, f"{workdir}/empty", dimension,
                                                 "euclidean", shards=2)
        round_trip = median_seconds(lambda: empty.search(queries[0], K), 50)
        empty.close()

    n = len(queries)
    print(f"client to workers: {'direct' if direct else 'through the scheduler'}; "
          f"worker profiler {'on' if '--profile' in sys.argv else 'off'}")
    print(f"load (insert_batch):  one {one_load:7.2f} s   sharded {sharded_load:7.2f} s")
    print(f"search_batch of {n}:  one {n / one_batch:7.1f} q/s   "
          f"sharded {n / sharded_batch:7.1f} q/s   ratio {one_batch / sharded_batch:.2f}x")
    one_cpu = one_batch_cpu / n * 1e3
    print(f"CPU per query in search_batch: one {one_cpu:.2f} ms; sharded "
          + ", ".join(f"{name} {seconds / n * 1e3:.2f} ms" for name, seconds in cpu.items()))
    print(f"single search:        one {one_single * 1e3:7.2f} ms  "
          f"sharded {sharded_single * 1e3:7.2f} ms  "
          f"empty 2-shard call {round_trip * 1e3:.2f} ms")
    print(f"load average after: {os.getloadavg()}")


if __name__ == "__main__":
    main()
