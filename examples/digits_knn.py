"""Handwritten digits, classified by exact k-nearest-neighbour search.

The data is the 8x8 digits set (1797 images, 64 grey levels each) that
Debian's python3-sklearn ships as a gzipped CSV; reading it needs only NumPy.
The training images go into a tarnvault Collection on disk, the collection is
flushed and reopened (recovered from disk), and every held-out image is
labelled by a majority vote of its nearest stored neighbours. The neighbours
are then checked against an independent NumPy brute force.
"""

import argparse
import collections
import gzip
import importlib.util
import json
import os
import pathlib
import shutil
import sys
import tempfile
import time

import numpy as np

import _tarnvault

K = 5


def find_digits_csv():
    sklearn = importlib.util.find_spec("sklearn")
    if sklearn is None or not sklearn.submodule_search_locations:
        sys.exit("digits data not found: install Debian's python3-sklearn (scripts/bootstrap does)")
    for root in sklearn.submodule_search_locations:
        path = pathlib.Path(root, "datasets", "data", "digits.csv.gz")
        if path.exists():
            return path
    sys.exit("digits.csv.gz is missing from the sklearn package")


def load_digits(path):
    with gzip.open(path, "rt") as f:
        table = np.loadtxt(f, delimiter=",", dtype=np.float32)
    return table[:, :-1], table[:, -1].astype(np.int64)


def progress(done, total, width=40):
    filled = width * done // total
    bar = "#" * filled + "." * (width - filled)
    print(f"\r  [{bar}] {done}/{total}", end="" if done < total else "\n", flush=True)


def store(path, vectors, batch=100):
    collection = _tarnvault.Collection.open_or_create(str(path), vectors.shape[1], "euclidean")
    ids = np.arange(len(vectors), dtype=np.uint64)
    for start in range(0, len(vectors), batch):
        stop = min(start + batch, len(vectors))
        collection.insert_batch(ids[start:stop], vectors[start:stop])
        progress(stop, len(vectors))
    collection.flush()
    return collection


def vote(neighbour_ids, train_labels):
    counts = collections.Counter(int(train_labels[i]) for i in neighbour_ids)
    return counts.most_common(1)[0][0]


def agrees_with_numpy(train64, query, hits, k):
    """Independent check in float64: the returned neighbours carry their true
    distances and none of them is farther than the k-th nearest (ties allowed)."""
    d = np.sqrt(((train64 - query.astype(np.float64)) ** 2).sum(axis=1))
    kth = np.partition(d, k - 1)[k - 1]
    ids = np.array([i for i, _ in hits])
    got = np.array([dist for _, dist in hits])
    return (len(hits) == k and np.allclose(got, d[ids], rtol=1e-6, atol=1e-5)
            and bool((d[ids] <= kth + 1e-5).all()))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--dir", help="collection directory (default: a fresh temporary one)")
    args = parser.parse_args()

    vectors, labels = load_digits(find_digits_csv())
    rng = np.random.default_rng(2026)
    order = rng.permutation(len(vectors))
    test_idx, train_idx = order[:360], order[360:]
    train, train_labels = np.ascontiguousarray(vectors[train_idx]), labels[train_idx]
    test, test_labels = np.ascontiguousarray(vectors[test_idx]), labels[test_idx]
    print(f"digits: {len(train)} training and {len(test)} held-out images of {train.shape[1]} pixels")

    workdir = pathlib.Path(args.dir) if args.dir else pathlib.Path(tempfile.mkdtemp(prefix="digits-"))
    path = workdir / "collection"
    if path.exists():
        shutil.rmtree(path)

    print(f"storing into {path}")
    collection = store(path, train)
    del collection  # closes the files; the next open recovers from disk

    start = time.perf_counter()
    collection = _tarnvault.Collection.open_or_create(str(path), train.shape[1], "euclidean")
    opened = time.perf_counter() - start
    meta = json.loads((path / "meta.json").read_text())
    recovered = len(collection.search(train[0], 10**9))
    sizes = {name: os.path.getsize(path / name) for name in ("data.qvf", "wal.log")}
    print(f"reopened in {opened * 1000:.1f} ms: {recovered} vectors recovered "
          f"(meta.json says {meta['vector_count']}; data.qvf {sizes['data.qvf']} bytes, "
          f"wal.log {sizes['wal.log']} bytes)")
    if recovered != len(train):
        sys.exit(f"recovery lost vectors: {recovered} != {len(train)}")

    start = time.perf_counter()
    results = collection.search_batch(test, K)
    elapsed = time.perf_counter() - start
    predicted = np.array([vote([i for i, _ in hits], train_labels) for hits in results])
    accuracy = float((predicted == test_labels).mean())
    print(f"{K}-NN accuracy on held-out digits: {accuracy:.1%} "
          f"({len(test) / elapsed:,.0f} queries/s, {elapsed / len(test) * 1e6:.0f} us per query)")

    train64 = train.astype(np.float64)
    mismatches = sum(not agrees_with_numpy(train64, q, hits, K) for q, hits in zip(test, results))
    print(f"neighbours checked against NumPy brute force: {len(test) - mismatches}/{len(test)} agree")
    if mismatches or accuracy < 0.9:
        sys.exit(1)
    if not args.dir:
        shutil.rmtree(workdir)


if __name__ == "__main__":
    main()
