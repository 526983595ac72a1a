"""Compaction beside numpy.save + fsync of the same live bytes, in one run.

    PYTHONPATH=build/py /usr/bin/python3 bench/compact_bench.py [--counts 100000,1000000]
        [--dimension 128] [--repeats 3] [--replace] [--dir DIR]

For each N: a collection of N float32 vectors (standard normal) is built
with insert_batch and flushed; then every other id is deleted (or, with
--replace, inserted again with a new vector) and the collection flushed
again. Untimed. Then, timed:

- compact: Collection.compact() on that collection, which rewrites data.qvf
  with the live records and syncs it, renames it into place and syncs the
  directory. Each repeat starts from a copy of the uncompacted directory
  (copied, synced to disk and reopened outside the timing). Best of the repeats, wall clock,
  CPU time of that run beside it.
- numpy.save + fsync: a uint8 array of exactly the bytes compaction wrote
  (bytes_after), saved over an existing file of the same size (repeated, not
  a first write), then fsync; best of the repeats. "x numpy" is numpy's time
  divided by ours: compaction's rate as a fraction of writing the same bytes
  durably. The target is at least 0.5.

Space: data.qvf after the compaction must be exactly the live records,
N/2 x (28 + 4 d) bytes (empty payloads); the script fails otherwise.
The load average is printed before and after, since the machine may be
shared.
"""
import argparse
import os
import shutil
import tempfile
import time

import numpy as np

from _tarnvault import Collection


def timed(action):
    cpu_start = time.process_time()
    start = time.perf_counter()
    value = action()
    return {"seconds": time.perf_counter() - start,
            "cpu_seconds": time.process_time() - cpu_start, "value": value}


def best(results):
    return min(results, key=lambda r: r["seconds"])


def prepare(path, count, dimension, replace, rng):
    vectors = rng.standard_normal((count, dimension), dtype=np.float32)
    collection = Collection.open_or_create(path, dimension, "euclidean")
    collection.insert_batch(np.arange(count, dtype=np.uint64), vectors)
    collection.flush()
    half = np.arange(0, count, 2, dtype=np.uint64)
    if replace:
        collection.insert_batch(half, rng.standard_normal((len(half), dimension),
                                                          dtype=np.float32))
    else:
        collection.delete_batch(half)
    collection.flush()
    collection.close()


def compact_runs(workdir, pristine, repeats):
    runs = []
    target = os.path.join(workdir, "compacted")
    for _ in range(repeats):
        shutil.rmtree(target, ignore_errors=True)
        shutil.copytree(pristine, target)
        os.sync()  # the copy's dirty pages are not the compaction's to write
        collection = Collection.open(target)
        runs.append(timed(collection.compact))
        collection.close()
    return runs, target


def numpy_runs(path, size, repeats):
    array = np.random.default_rng(1).integers(0, 256, size, dtype=np.uint8)

    def save():
        with open(path, "wb") as f:
            np.save(f, array)
            f.flush()
            os.fsync(f.fileno())
    save()  # the first write; the repeats overwrite an existing file
    runs = [timed(save) for _ in range(repeats)]
    os.remove(path)
    return runs


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--counts", default="100000,1000000")
    parser.add_argument("--dimension", type=int, default=128)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--replace", action="store_true",
                        help="replace every other vector instead of deleting it")
    parser.add_argument("--dir", default=None)
    args = parser.parse_args()
    dimension = args.dimension
    record = 28 + 4 * dimension
    workdir = tempfile.mkdtemp(prefix="compact-bench-", dir=args.dir)
    rng = np.random.default_rng(7)
    failed = False
    try:
        print(f"d = {dimension}, half {'replaced' if args.replace else 'deleted'}, "
              f"in {workdir}; load average {os.getloadavg()[0]:.2f}")
        print(f"{'what':<28} {'N':>9} {'seconds':>8} {'cpu s':>7} {'MB/s':>8} {'x numpy':>8}")
        for count in (int(c) for c in args.counts.split(",") if c):
            pristine = os.path.join(workdir, "pristine")
            shutil.rmtree(pristine, ignore_errors=True)
            prepare(pristine, count, dimension, args.replace, rng)
            ours, compacted = compact_runs(workdir, pristine, args.repeats)
            stats = best(ours)["value"]
            raw = numpy_runs(os.path.join(workdir, "live.npy"), stats["bytes_after"],
                             args.repeats)
            mine, theirs = best(ours), best(raw)
            for name, r in (("compact", mine), ("numpy.save + fsync, same bytes", theirs)):
                print(f"{name:<28} {count:>9,} {r['seconds']:8.3f} {r['cpu_seconds']:7.3f} "
                      f"{stats['bytes_after'] / r['seconds'] / 1e6:8.1f} "
                      f"{theirs['seconds'] / r['seconds']:8.3f}")
            live = count // 2 if not args.replace else count
            expected = live * record
            size = os.path.getsize(os.path.join(compacted, "data.qvf"))
            space_ok = size == expected == stats["bytes_after"]
            failed = failed or not space_ok
            print(f"  space: data.qvf {stats['bytes_before']:,} -> {size:,} bytes, "
                  f"{stats['records_dropped']:,} records dropped; live records "
                  f"{live:,} x {record} = {expected:,}: {'exact' if space_ok else 'WRONG'}")
            shutil.rmtree(compacted)
            shutil.rmtree(pristine)
        print(f"load average {os.getloadavg()[0]:.2f}")
    finally:
        shutil.rmtree(workdir)
    raise SystemExit(1 if failed else 0)


if __name__ == "__main__":
    main()
