"""ShardedCollection on a local Dask cluster: results equal one Collection's,
reopening, and the loss of a worker. The cluster listens on 127.0.0.1 only."""
import contextlib
import faulthandler
import json
import math
import os
import signal
import sys
import threading
import time

import pytest

np = pytest.importorskip("numpy")
distributed = pytest.importorskip("distributed")

from tarnvault import Collection  # noqa: E402
from tarnvault.dask import ShardedCollection, ShardUnavailableError, shard_of  # noqa: E402

TIMEOUT = 60  # seconds for any one wait on the cluster
DIM = 8


@pytest.fixture(scope="module", autouse=True)
def time_limit():
    # A hung cluster must not hang the suite: dump the stacks and exit.
    faulthandler.dump_traceback_later(300, exit=True, file=sys.__stderr__)
    yield
    faulthandler.cancel_dump_traceback_later()


@contextlib.contextmanager
def local_cluster():
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  host="127.0.0.1", scheduler_port=0,
                                  dashboard_address="127.0.0.1:0") as cluster, \
            distributed.Client(cluster, direct_to_workers=True) as client:
        client.wait_for_workers(2, timeout=TIMEOUT)
        yield client


@pytest.fixture(scope="module")
def client():
    with local_cluster() as client:
        yield client


def coarse_data(seed, n):
    """Small integer components, so that many distances tie; a zero row
    (NaN cosine distances)."""
    rng = np.random.default_rng(seed)
    vectors = rng.integers(-2, 3, (n, DIM)).astype(np.float32)
    vectors[n // 2] = 0.0
    return vectors


def rank_key(pair):
    _, distance = pair
    return (math.isnan(distance), 0.0 if math.isnan(distance) else distance, pair[0])


def assert_exact(got, want, distance_of):
    """Same distances rank by rank; each id at its true distance; ties by id."""
    np.testing.assert_array_equal([d for _, d in got], [d for _, d in want])
    for id, distance in got:
        assert distance == distance_of[id] or (math.isnan(distance)
                                                and math.isnan(distance_of[id]))
    assert len({id for id, _ in got}) == len(got)
    assert got == sorted(got, key=rank_key)


def test_routing_is_pinned():
    ids = np.array([0, 1, 2, 3, 41, 2**32, 2**63, 2**64 - 1], dtype=np.uint64)
    # The shard of an id decides which directory holds it: these never change.
    assert shard_of(ids, 1).tolist() == [0] * 8
    assert shard_of(ids, 2).tolist() == [1, 1, 0, 1, 1, 0, 1, 0]
    assert shard_of(ids, 3).tolist() == [1, 2, 1, 0, 0, 1, 1, 2]
    assert shard_of(ids, 7).tolist() == [2, 2, 4, 2, 6, 6, 6, 0]
    # SplitMix64 seeded with 0 first yields 0xE220A8397B1DCDAF.
    assert shard_of([0], 2**63).tolist() == [0xE220A8397B1DCDAF % 2**63]
    assert np.bincount(shard_of(np.arange(40000), 4)).min() > 9500


@pytest.mark.parametrize("metric", ["euclidean", "cosine", "dot"])
def test_results_equal_one_collection(client, tmp_path, metric):
    vectors = coarse_data(1, 700)
    queries = coarse_data(2, 12)
    queries[0, 3] = np.nan  # every distance NaN: all of them tie
    one = Collection.open_or_create(str(tmp_path / "one"), DIM, metric)
    sharded = ShardedCollection.open_or_create(client, tmp_path / "sharded", DIM, metric,
                                               shards=3, timeout=TIMEOUT)
    # Batches with repeated ids (the later pair wins), single inserts that
    # replace, NumPy and list input.
    ids = np.arange(600, dtype=np.uint64)
    ids[10:20] = 3
    for target in (one, sharded):
        target.insert_batch(ids.tolist(), vectors[:600])
        target.insert_batch(list(range(600, 700)), vectors[600:].tolist())
        target.insert(3, vectors[0].tolist())
        target.insert(2**64 - 1, vectors[1])
    everything = {q: dict(one.search(queries[q], 10**6)) for q in range(len(queries))}
    for k in (1, 5, 40, 10**6):
        got, want = sharded.search_batch(queries, k), one.search_batch(queries, k)
        for q in range(len(queries)):
            assert_exact(got[q], want[q], everything[q])
        assert sharded.search(queries[4], k) == got[4]
    stored = set(ids.tolist()) | set(range(600, 700)) | {2**64 - 1}
    assert len(got[1]) == len(everything[1]) == len(stored)
    assert sharded.search(queries[1][:-1], 5) == []
    assert sharded.search_batch([queries[1], queries[2][:-1]], 5)[1] == []
    assert sharded.search_batch(queries, 0) == [[]] * len(queries)
    sharded.close()


def test_bad_input_changes_nothing(client, tmp_path):
    with ShardedCollection.open_or_create(client, tmp_path, DIM, "dot", shards=2,
                                          timeout=TIMEOUT) as sharded:
        sharded.insert_batch([1, 2], np.ones((2, DIM)))
        before = sharded.search(np.ones(DIM), 10)
        cases = [
            (ValueError, "same length", ([1, 2, 3], np.ones((2, DIM)))),
            (ValueError, f"expected {DIM}, got 3", ([7, 8], np.ones((2, 3)))),
            (ValueError, f"expected {DIM}, got {DIM - 1}",
             ([7, 8], [[0.0] * DIM, [0.0] * (DIM - 1)])),
            (OverflowError, "", ([7, -1], np.ones((2, DIM)))),
            (OverflowError, "", (np.array([7, -1]), np.ones((2, DIM)))),
            (OverflowError, "", ([2**64], np.ones((1, DIM)))),
            (TypeError, "", ([7, 1.5], np.ones((2, DIM)))),
        ]
        for kind, text, args in cases:
            with pytest.raises(kind, match=text):
                sharded.insert_batch(*args)
        with pytest.raises(ValueError, match="dimension mismatch"):
            sharded.insert(9, [1.0])
        assert sharded.search(np.ones(DIM), 10) == before
    with pytest.raises(ValueError, match="collection is closed"):
        sharded.search(np.ones(DIM), 1)
    with pytest.raises(ValueError, match="Invalid metric"):
        ShardedCollection.open_or_create(client, tmp_path / "x", DIM, "Dot", shards=2)
    assert not (tmp_path / "x").exists()


def test_reopen_with_a_fresh_cluster(tmp_path):
    path = tmp_path / "sharded"
    vectors = coarse_data(3, 300)
    with local_cluster() as client:
        with ShardedCollection.open_or_create(client, path, DIM, "euclidean", shards=2,
                                              timeout=TIMEOUT) as sharded:
            sharded.insert_batch(range(300), vectors)
            expected = sharded.search_batch(vectors[:20], 15)
    assert json.loads((path / "shards.json").read_text()) == {
        "format": 1, "shards": 2, "dimension": DIM, "metric": "euclidean",
        "routing": "splitmix64"}
    assert sorted(os.listdir(path)) == ["shard-0", "shard-1", "shards.json"]
    with local_cluster() as client:
        with ShardedCollection.open(client, path, timeout=TIMEOUT) as sharded:
            assert (sharded.shards, sharded.dimension, sharded.metric) == (2, DIM, "euclidean")
            assert sharded.search_batch(vectors[:20], 15) == expected
        with ShardedCollection.open_or_create(client, path, DIM, "euclidean",
                                              timeout=TIMEOUT) as sharded:
            assert sharded.shards == 2
        for shards, dimension in ((3, DIM), (2, DIM + 1)):
            with pytest.raises(OSError, match="collection error"):
                ShardedCollection.open_or_create(client, path, dimension, "euclidean",
                                                 shards=shards, timeout=TIMEOUT)
        with pytest.raises(OSError, match="no sharded collection"):
            ShardedCollection.open(client, tmp_path / "missing", timeout=TIMEOUT)


def kill_worker_of(client, address):
    pid = client.run(os.getpid, workers=[address])[address]
    os.kill(pid, signal.SIGKILL)


def test_pinned_shard_whose_worker_is_gone_raises_naming_it(client, tmp_path):
    workers = sorted(client.scheduler_info()["workers"])
    sharded = ShardedCollection.open_or_create(client, tmp_path, DIM, "dot", shards=2,
                                               workers=workers, timeout=5)
    sharded.insert_batch(range(50), coarse_data(4, 50))
    kill_worker_of(client, workers[0])
    # The nanny restarts the worker under a new address, so shard 0 has no
    # worker it may live on: every call fails, naming it, and returns nothing.
    for _ in range(2):
        with pytest.raises(ShardUnavailableError, match=r"^shard 0 \(") as caught:
            sharded.search(np.ones(DIM), 3)
        assert caught.value.shard == 0
    sharded.close()
    client.wait_for_workers(2, timeout=TIMEOUT)


def test_killed_worker_loses_nothing_flushed(client, tmp_path):
    rng = np.random.default_rng(5)
    flushed = rng.standard_normal((400, DIM)).astype(np.float32)
    sharded = ShardedCollection.open_or_create(client, tmp_path, DIM, "euclidean", shards=2,
                                               timeout=TIMEOUT)
    sharded.insert_batch(range(400), flushed)
    sharded.flush()
    victim = sharded.placement[0]
    stop = threading.Event()

    def keep_inserting():  # unflushed writes in flight when the worker dies
        next_id = 1000
        while not stop.is_set():
            try:
                sharded.insert_batch(range(next_id, next_id + 50),
                                     rng.standard_normal((50, DIM)))
            except ShardUnavailableError:
                pass
            next_id += 50

    writer = threading.Thread(target=keep_inserting)
    writer.start()
    try:
        time.sleep(0.5)
        kill_worker_of(client, victim)
        time.sleep(0.5)
    finally:
        stop.set()
        writer.join()
    deadline = time.monotonic() + TIMEOUT
    while True:  # a call either raises naming the shard or answers in full
        try:
            found = sharded.search_batch(flushed, 1)
            break
        except ShardUnavailableError as error:
            assert error.shard == 0
            assert time.monotonic() < deadline
            time.sleep(0.2)
    assert [row[0] for row in found] == [(i, 0.0) for i in range(400)]
    assert sharded.placement[0] != victim
    assert sharded.reconnect() == []
    sharded.insert(5000, flushed[0])
    assert sharded.search(flushed[0], 2)[0][1] == 0.0
    sharded.close()


def test_query_pads_numpy_results(client, tmp_path):
    vectors = coarse_data(6, 40)
    with ShardedCollection.open_or_create(client, tmp_path, DIM, "euclidean", shards=2,
                                          timeout=TIMEOUT) as sharded:
        sharded.insert_batch(range(40), vectors)
        queries = [vectors[0], vectors[1][:-1], vectors[2]]
        ids, distances = sharded.query(queries, 50)
        assert ids.shape == distances.shape == (3, 50)
        assert (ids.dtype, distances.dtype) == (np.uint64, np.float32)
        for row, expected in ((0, sharded.search(vectors[0], 50)), (1, []),
                              (2, sharded.search(vectors[2], 50))):
            n = len(expected)
            assert list(zip(ids[row, :n].tolist(), distances[row, :n].tolist())) == expected
            assert (ids[row, n:] == 2**64 - 1).all() and np.isinf(distances[row, n:]).all()
        one_ids, one_distances = sharded.query(vectors[0], 5)
        assert one_ids.shape == (1, 5)
        assert one_ids[0].tolist() == ids[0, :5].tolist()


@pytest.mark.parametrize("metric", ["euclidean", "cosine", "dot"])
def test_payloads_filters_and_deletes_equal_one_collection(client, tmp_path, metric):
    vectors = coarse_data(7, 300)
    queries = coarse_data(8, 6)
    payloads = [None if i % 10 == 0 else {"group": i % 3, "even": i % 2 == 0, "name": f"v{i}"}
                for i in range(300)]
    one = Collection.open_or_create(str(tmp_path / "one"), DIM, metric)
    sharded = ShardedCollection.open_or_create(client, tmp_path / "sharded", DIM, metric,
                                               shards=3, timeout=TIMEOUT)
    for target in (one, sharded):
        target.insert_batch(range(299), vectors[:299], payloads=payloads[:299])
        target.insert(299, vectors[299], payload={"group": 2, "nested": {"a": [1, 2.5]}})
        assert target.delete(5) and not target.delete(5)
        assert target.delete_batch([6, 7, 7, 1000]) == 2
    for where in (None, {"group": 1}, {"group": {"$in": [0, 2]}}, {"$not": {"even": True}},
                  {"missing": {"$exists": True}}):
        everything = [dict(one.search(q, 10**6, where=where)) for q in queries]
        for k in (1, 5, 1000):
            got = sharded.search_batch(queries, k, where=where)
            want = one.search_batch(queries, k, where=where)
            for q in range(len(queries)):
                assert_exact(got[q], want[q], everything[q])
            ids, distances = sharded.query(queries, k, where=where)
            for q in range(len(queries)):
                n = len(got[q])
                assert list(zip(ids[q, :n].tolist(), distances[q, :n].tolist())) == got[q]
    for id, distance, payload in sharded.search(queries[0], 50, with_payload=True):
        assert (distance, payload) == (dict(one.search(queries[0], 10**6))[id], one.get(id)[1])
    for id in (0, 1, 5, 299, 2**64 - 1):
        assert sharded.get(id) == one.get(id)
        assert (id in sharded) == (id in one)
    assert (-1 in sharded, 2**64 in sharded) == (False, False)
    assert len(sharded) == len(one) == 297
    assert sorted(sharded.ids()) == sorted(one.ids())
    sharded.close()
    with ShardedCollection.open(client, tmp_path / "sharded", timeout=TIMEOUT) as reopened:
        assert len(reopened) == 297 and 5 not in reopened
        assert reopened.get(299) == one.get(299)


def test_compact_reclaims_every_shard_and_keeps_the_results(client, tmp_path):
    vectors = coarse_data(9, 400)
    queries = coarse_data(10, 4)
    with ShardedCollection.open_or_create(client, tmp_path, DIM, "euclidean", shards=3,
                                          timeout=TIMEOUT) as sharded:
        sharded.insert_batch(range(400), vectors, payloads=[{"i": i} for i in range(400)])
        sharded.flush()
        assert sharded.delete_batch(range(0, 400, 2)) == 200
        sharded.insert_batch(range(1, 41, 2), vectors[:20])  # replaces 20 odd ids
        before = sharded.search_batch(queries, 50, with_payload=True)
        result = sharded.compact()
        shards = result.pop("shards")
        assert len(shards) == 3
        for key in ("bytes_before", "bytes_after", "records_dropped"):
            assert result[key] == sum(part[key] for part in shards)
        assert result["records_dropped"] == 220
        for i, part in enumerate(shards):
            assert part["bytes_after"] < part["bytes_before"]
            assert os.path.getsize(tmp_path / f"shard-{i}" / "data.qvf") == part["bytes_after"]
        assert sharded.search_batch(queries, 50, with_payload=True) == before
        assert sharded.compact()["records_dropped"] == 0
        assert len(sharded) == 200
