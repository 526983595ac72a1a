"""Opening a Collection next to numpy.load of the same matrix, and the
speed of Collection.insert_batch with the default sync policy.

    PYTHONPATH=build/py /usr/bin/python3 bench/open_bench.py [count] [dimension] [logged] [dir]

Defaults: 1,000,000 x 128 vectors, 100,000 of them still in the log for the
second open. Every open runs in a fresh process (so each pays for touching
fresh memory, as numpy.load does) after the files were read once into the
page cache; each figure is the best of three, by wall clock, with the CPU
time of that run beside it (steadier on a shared machine). Peak resident
memory (VmHWM) of each process is printed beside the time of what it did,
together with the process's size before it (interpreter and imports).
"""
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

import numpy as np

REPEATS = 3
INSERT_BENCH_COUNT = 100_000

# Run in a child process: prints {"seconds", "cpu_seconds", "hwm_kib", "base_kib"}.
CHILD = r"""
import json, sys, time
import numpy as np
from _tarnvault import Collection

def status_kib(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field):
                return int(line.split()[1])

what, path, dimension = sys.argv[1], sys.argv[2], int(sys.argv[3])
base = status_kib("VmRSS:")
start = time.perf_counter()
cpu_start = time.process_time()
if what == "npy":
    kept = np.load(path)
else:
    kept = Collection.open_or_create(path, dimension, "euclidean")
seconds = time.perf_counter() - start
cpu_seconds = time.process_time() - cpu_start
print(json.dumps({"seconds": seconds, "cpu_seconds": cpu_seconds,
                  "hwm_kib": status_kib("VmHWM:"), "base_kib": base}))
"""


def warm(path):
    """Reads every file under path once so that it sits in the page cache."""
    paths = [path] if os.path.isfile(path) else [
        os.path.join(root, name) for root, _, names in os.walk(path) for name in names]
    for file_path in paths:
        with open(file_path, "rb") as f:
            while f.read(1 << 24):
                pass


def run_child(what, path, dimension):
    warm(path)
    best = None
    for _ in range(REPEATS):
        out = subprocess.run([sys.executable, "-c", CHILD, what, path, str(dimension)],
                             check=True, capture_output=True, text=True).stdout
        result = json.loads(out)
        if best is None or result["seconds"] < best["seconds"]:
            best = result
    return best


def write_data_file(path, vectors, first_id=0):
    """Appends flushed live records with empty payloads, as inserts leave them."""
    count, dimension = vectors.shape
    record = np.dtype([("deleted", "u1"), ("id", "<u8"), ("dim", "<u4"),
                       ("vector", "<f4", (dimension,)), ("payload_len", "<u4"),
                       ("payload", "S11")])
    records = np.zeros(count, dtype=record)
    records["id"] = np.arange(first_id, first_id + count, dtype=np.uint64)
    records["dim"] = dimension
    records["vector"] = vectors
    records["payload_len"] = 11
    records["payload"] = b'{"data":{}}'
    with open(path, "ab") as f:
        records.tofile(f)


def insert_batch_rate(workdir, vectors):
    from _tarnvault import Collection
    path = os.path.join(workdir, "insert-bench")
    collection = Collection.open_or_create(path, vectors.shape[1], "euclidean")
    ids = list(range(len(vectors)))
    start = time.perf_counter()
    collection.insert_batch(ids, vectors)
    seconds = time.perf_counter() - start
    del collection
    shutil.rmtree(path)
    return len(vectors) / seconds


def main():
    count = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
    dimension = int(sys.argv[2]) if len(sys.argv) > 2 else 128
    logged = int(sys.argv[3]) if len(sys.argv) > 3 else 100_000
    workdir = tempfile.mkdtemp(prefix="open-bench-", dir=sys.argv[4] if len(sys.argv) > 4 else None)
    try:
        from _tarnvault import Collection
        rng = np.random.default_rng(7)
        vectors = rng.standard_normal((count, dimension), dtype=np.float32)

        rate = insert_batch_rate(workdir, vectors[:min(count, INSERT_BENCH_COUNT)])

        npy = os.path.join(workdir, "matrix.npy")
        np.save(npy, vectors)
        path = os.path.join(workdir, "collection")
        Collection.open_or_create(path, dimension, "euclidean")  # writes meta.json
        write_data_file(os.path.join(path, "data.qvf"), vectors)
        # A flush rewrites meta.json with the vector count, as a collection
        # filled by inserts and flushed would have it.
        Collection.open_or_create(path, dimension, "euclidean").flush()

        rows = [("numpy.load of the .npy matrix", run_child("npy", npy, dimension)),
                ("open, flushed", run_child("open", path, dimension))]
        if logged:
            collection = Collection.open_or_create(path, dimension, "euclidean")
            collection.insert_batch(list(range(count, count + logged)), vectors[:logged])
            del collection  # unflushed: the log is replayed at every open
            log_bytes = os.path.getsize(os.path.join(path, "wal.log"))
            data_bytes = os.path.getsize(os.path.join(path, "data.qvf"))
            shutil.copytree(path, path + "-pristine")
            # Each open that replays the log appends to the data file: time
            # every repeat on the same starting files.
            best = None
            for _ in range(REPEATS):
                shutil.rmtree(path)
                shutil.copytree(path + "-pristine", path)
                result = run_child_once_warm("open", path, dimension)
                if best is None or result["seconds"] < best["seconds"]:
                    best = result
            rows.append((f"open, {logged:,} records in the log", best))

        reference = rows[0][1]["seconds"]
        print(f"{count:,} x {dimension} float32 ({count * dimension * 4 / 2**20:.0f} MiB) in {workdir}")
        print(f"{'what':<40} {'seconds':>8} {'x numpy':>8} {'cpu s':>8} {'VmHWM MiB':>10} "
              f"{'before MiB':>11}")
        for name, r in rows:
            print(f"{name:<40} {r['seconds']:8.3f} {r['seconds'] / reference:8.2f} "
                  f"{r['cpu_seconds']:8.3f} {r['hwm_kib'] / 1024:10.0f} "
                  f"{r['base_kib'] / 1024:11.0f}")
        if logged:
            print(f"(log {log_bytes / 2**20:.0f} MiB, data file {data_bytes / 2**20:.0f} MiB)")
        print(f"Collection.insert_batch of {min(count, INSERT_BENCH_COUNT):,} x {dimension}, "
              f"sync every 100: {rate:,.0f} vectors/s")
    finally:
        shutil.rmtree(workdir)


def run_child_once_warm(what, path, dimension):
    warm(path)
    out = subprocess.run([sys.executable, "-c", CHILD, what, path, str(dimension)],
                         check=True, capture_output=True, text=True).stdout
    return json.loads(out)


if __name__ == "__main__":
    main()
