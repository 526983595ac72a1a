"""Quick timing of the Python Collection: insert_batch of 100,000 x 128
float32 vectors (in batches of 10,000, the log synced every 100 records),
flush, reopen (recovery from the data file alone), a reopen that replays an
unflushed log of 10,000 inserts, and k=10 searches.

    PYTHONPATH=build/py python3 bench/collection_quick.py [count] [dimension] [dir]
"""
import shutil
import sys
import tempfile
import time

import numpy as np

from _tarnvault import Collection


def timed(action):
    start = time.perf_counter()
    result = action()
    return time.perf_counter() - start, result


def main():
    count = int(sys.argv[1]) if len(sys.argv) > 1 else 100_000
    dimension = int(sys.argv[2]) if len(sys.argv) > 2 else 128
    workdir = tempfile.mkdtemp(prefix="collection-bench-", dir=sys.argv[3] if len(sys.argv) > 3 else None)
    path = f"{workdir}/collection"
    rng = np.random.default_rng(1)
    vectors = rng.standard_normal((count, dimension), dtype=np.float32)
    ids = np.arange(count, dtype=np.uint64)
    queries = rng.standard_normal((100, dimension), dtype=np.float32)
    batch = 10_000

    def insert_all(collection, first=0):
        for start in range(0, count, batch):
            collection.insert_batch(ids[start:start + batch] + first, vectors[start:start + batch])

    collection = Collection.open_or_create(path, dimension, "euclidean")
    insert_seconds, _ = timed(lambda: insert_all(collection))
    flush_seconds, _ = timed(collection.flush)
    del collection
    reopen_seconds, collection = timed(lambda: Collection.open_or_create(path, dimension, "euclidean"))

    single = timed(lambda: [collection.search(q, 10) for q in queries])[0] / len(queries)
    batched = timed(lambda: collection.search_batch(queries, 10))[0] / len(queries)

    replayed = min(batch, count)
    collection.insert_batch(ids[:replayed] + count, vectors[:replayed])
    del collection  # unflushed: the next open replays the log
    replay_seconds, collection = timed(lambda: Collection.open_or_create(path, dimension, "euclidean"))
    del collection

    print(f"{count} x {dimension} float32 in {workdir}")
    print(f"insert_batch:            {insert_seconds:.3f} s  ({count / insert_seconds:,.0f} vectors/s)")
    print(f"flush:                   {flush_seconds * 1e3:.1f} ms")
    print(f"reopen after flush:      {reopen_seconds * 1e3:.1f} ms")
    print(f"reopen replaying {replayed} logged inserts: {replay_seconds * 1e3:.1f} ms")
    print(f"search k=10:             {single * 1e3:.2f} ms per query")
    print(f"search_batch k=10 (100): {batched * 1e3:.2f} ms per query")
    shutil.rmtree(workdir)


if __name__ == "__main__":
    main()
