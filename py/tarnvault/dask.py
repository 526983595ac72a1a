"""Sharded collections on a Dask cluster.

A ``ShardedCollection`` spreads its vectors over N ordinary ``Collection``
directories, ``{path}/shard-0`` ... ``{path}/shard-{N-1}``. Each shard is
opened and owned by a Dask actor living on one worker, so its vectors stay in
that worker's memory and its scans run on that worker's cores. The client
routes writes and merges search results; the scheduler only places actors.

What runs where:

- client (your process): argument checks, routing of ids to shards, one
  message per shard per call, and the merge of the per-shard top-k;
- each worker: the actors of the shards placed on it, each holding one open
  ``Collection`` (its memory, its scans, its files);
- scheduler: places the actors and notices lost workers. Create the client
  with ``Client(..., direct_to_workers=True)``: otherwise Dask relays every
  actor call through the scheduler, which makes every call many times slower
  (``bench/dask_shards.py --via-scheduler`` measures it).

Routing. An id goes to shard ``splitmix64(id) % N``, where ``splitmix64`` is
the first output of a SplitMix64 generator seeded with the id::

    z = (id + 0x9E3779B97F4A7C15) mod 2**64
    z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) mod 2**64
    z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) mod 2**64
    z =   z ^ (z >> 31)

The rule is recorded as "splitmix64" in ``{path}/shards.json`` and never
changes between versions: the shard of an id is a property of the data on
disk. ``shard_of`` computes it.

Search is exact. Every shard scans all of its vectors and returns its own k
best; the client keeps the k best of those. The result holds the same
distances, rank by rank, as one ``Collection`` holding the same vectors.
Equal distances are listed by ascending id (one ``Collection`` lists them in
its internal order instead). Which of several equally distant ids fill the
last places of a result is unspecified: each shard cuts its own ties.

Failure. A shard's files are an ordinary collection directory, so whatever a
returned ``flush`` made durable survives the loss of its worker (SIGKILL
included). When the worker holding a shard's actor is lost, the next call (or
``reconnect()``) creates a new actor on a live worker, which opens the
directory and recovers it. A call that cannot reach a shard raises
``ShardUnavailableError`` naming the shard; no call returns a partial result.
A failed ``insert_batch`` may leave any subset of its pairs stored: each
shard stores a prefix of its own part.

Shard directories must be reachable by the worker that owns the shard. On one
machine, or with ``path`` on a filesystem every worker mounts, any worker can
take over any shard. With disks local to each machine, pin shard i to the
machine holding its directory with ``workers=[...]`` (Dask worker addresses,
host names or worker names, one per shard); a shard is then only re-created
on a worker that matches its entry, and a worker that finds no collection in
the shard's directory refuses to create an empty one in its place.
"""

from __future__ import annotations

import asyncio
import json
import operator
import os
import threading
import uuid

import numpy as np

from _tarnvault import Collection

__all__ = ["ShardedCollection", "ShardUnavailableError", "shard_of"]

METRICS = ("euclidean", "cosine", "dot")
ROUTING = "splitmix64"
MANIFEST = "shards.json"
MAX_ID = 2**64 - 1

_GAMMA = np.uint64(0x9E3779B97F4A7C15)
_MIX1 = np.uint64(0xBF58476D1CE4E5B9)
_MIX2 = np.uint64(0x94D049BB133111EB)


def shard_of(ids, shards):
    """The shard of each id (uint64 array-like) among `shards`: an intp array."""
    z = np.array(ids, dtype=np.uint64, ndmin=1)
    with np.errstate(over="ignore"):  # the arithmetic is modulo 2**64 by design
        z = z + _GAMMA
        z = (z ^ (z >> np.uint64(30))) * _MIX1
        z = (z ^ (z >> np.uint64(27))) * _MIX2
        z ^= z >> np.uint64(31)
    return (z % np.uint64(shards)).astype(np.intp)


class ShardUnavailableError(ConnectionError):
    """A shard's actor could not be reached or re-created."""

    def __init__(self, shard, path, reason):
        super().__init__(f"shard {shard} ({path}) is unavailable: {reason}")
        self.shard = shard
        self.path = path


# ---------------------------------------------------------------------------
# Worker side: the actor that owns one shard, and the manifest it keeps.


def _shard_path(root, shard):
    return os.path.join(root, f"shard-{shard}")


def _load_manifest(root):
    """The manifest under `root` as a dict, or None when there is none."""
    try:
        with open(os.path.join(root, MANIFEST), encoding="utf-8") as f:
            manifest = json.load(f)
    except FileNotFoundError:
        return None
    if manifest.get("routing") != ROUTING:
        raise OSError(f"{root}/{MANIFEST}: unknown routing {manifest.get('routing')!r}")
    return manifest


def _read_manifest(root):
    """The manifest under `root`; runs as a task on a worker."""
    manifest = _load_manifest(root)
    if manifest is None:
        raise OSError(f"no sharded collection at {root}: {MANIFEST} is missing")
    return manifest


def _settle_manifest(root, manifest):
    """Write `manifest` under `root`, or check it against the one there.

    A different shard count or dimension is refused; a different metric
    replaces the stored one, as reopening a Collection with another metric
    does. Written to a temporary file and renamed, so a crash leaves either
    the old or the new manifest; shards placed on one machine may write the
    same manifest at once."""
    stored = _load_manifest(root)
    if stored is not None:
        for field in ("shards", "dimension"):
            if stored[field] != manifest[field]:
                raise OSError(f"collection error: {root} has {field} {stored[field]}, "
                              f"asked for {manifest[field]}")
        if stored == manifest:
            return
    os.makedirs(root, exist_ok=True)
    temporary = os.path.join(root, f".{MANIFEST}.{uuid.uuid4().hex}")
    with open(temporary, "w", encoding="utf-8") as f:
        json.dump(manifest, f, indent=2)
        f.write("\n")
        f.flush()
        os.fsync(f.fileno())
    os.replace(temporary, os.path.join(root, MANIFEST))
    directory = os.open(root, os.O_RDONLY)
    try:
        os.fsync(directory)
    finally:
        os.close(directory)


class _Shard:
    """Dask actor owning the Collection of one shard on its worker.

    Dask runs an actor's methods one at a time on the worker's actor thread.
    Search results go back as NumPy arrays, not lists of tuples, so that the
    message is small and cheap to decode on the client."""

    def __init__(self, root, shard, manifest, create):
        path = _shard_path(root, shard)
        if create:
            _settle_manifest(root, manifest)
        elif not os.path.exists(os.path.join(path, "meta.json")):
            # Never stand in an empty shard for one whose files live elsewhere.
            raise OSError(f"no collection at {path} on this worker")
        self._collection = Collection.open_or_create(path, manifest["dimension"],
                                                     manifest["metric"])

    def insert(self, id, vector, options):
        self._collection.insert(id, vector, **options)

    def insert_batch(self, ids, vectors, options):
        self._collection.insert_batch(ids, vectors, **options)

    def search_batch(self, queries, k, options):
        """(counts, ids, distances, payloads): row i's results are the next
        counts[i]; payloads is a list beside them, or None without with_payload."""
        rows = self._collection.search_batch(queries, k, **options)
        counts = np.fromiter(map(len, rows), dtype=np.int64, count=len(rows))
        total = int(counts.sum())
        ids = np.fromiter((r[0] for row in rows for r in row), dtype=np.uint64, count=total)
        distances = np.fromiter((r[1] for row in rows for r in row), dtype=np.float32,
                                count=total)
        payloads = [r[2] for row in rows for r in row] if options.get("with_payload") else None
        return counts, ids, distances, payloads

    def delete_batch(self, ids):
        return self._collection.delete_batch(ids)

    def get(self, id):
        return self._collection.get(id)

    def contains(self, id):
        return id in self._collection

    def ids(self):
        return np.array(self._collection.ids(), dtype=np.uint64)

    def flush(self):
        self._collection.flush()

    def compact(self):
        return self._collection.compact()

    def count(self):
        return len(self._collection)

    def close(self):
        # Dropping the last reference writes out buffers and releases the
        # directory's lock now rather than whenever Dask drops the actor.
        collection, self._collection = self._collection, None
        close = getattr(collection, "close", None)
        if close is not None:
            close()
        del collection


# ---------------------------------------------------------------------------
# Client side.


def _as_ids(ids):
    """`ids` as a 1-D uint64 array; every element must be an int in range."""
    if isinstance(ids, np.ndarray) and ids.dtype.kind in "ui":
        if ids.ndim != 1:
            raise TypeError("argument 'ids': expected a 1-D sequence of ints")
        if ids.dtype.kind == "i" and ids.size and ids.min() < 0:
            raise OverflowError("argument 'ids': can't convert negative int to unsigned")
        return ids.astype(np.uint64, copy=False)
    values = [operator.index(i) for i in ids]
    for i in values:
        if not 0 <= i <= MAX_ID:
            raise OverflowError(f"argument 'ids': id {i} is outside 0..2**64-1")
    return np.array(values, dtype=np.uint64).reshape(-1)


def _as_id(id):
    id = operator.index(id)
    if not 0 <= id <= MAX_ID:
        raise OverflowError(f"argument 'id': id {id} is outside 0..2**64-1")
    return id


def _as_rows(vectors, dimension, what):
    """`vectors` as a float32 array of shape (n, width), or a list of 1-D rows
    when their lengths differ."""
    try:
        array = np.asarray(vectors, dtype=np.float32)
    except ValueError:  # rows of different lengths
        return [np.asarray(v, dtype=np.float32).reshape(-1) for v in vectors]
    if array.ndim == 1 and array.size == 0:
        return array.reshape(0, dimension)
    if array.ndim != 2:
        raise TypeError(f"argument '{what}': expected a sequence of vectors")
    return array


async def _settle(future):
    try:
        return "ok", await future
    except Exception as error:  # noqa: BLE001 - reported per shard by the caller
        return "error", error


async def _gather(calls, owners, timeout):
    """Await the actor calls; each outcome is ("ok", result), ("error", exception),
    ("lost", None) once its actor's future leaves "finished" (its worker is gone)
    or ("timeout", None)."""
    loop = asyncio.get_running_loop()
    deadline = None if timeout is None else loop.time() + timeout
    tasks = [asyncio.ensure_future(_settle(c)) for c in calls]
    outcomes = [None] * len(tasks)
    pending = set(tasks)
    while pending:
        # A call to a worker that died before the scheduler noticed keeps
        # retrying its connection; the owner's status is what says it is gone.
        wait = 0.05 if deadline is None else max(0.0, min(0.05, deadline - loop.time()))
        _, pending = await asyncio.wait(pending, timeout=wait)
        for n, task in enumerate(tasks):
            if task in pending and (owners[n].status != "finished"
                                    or (deadline is not None and loop.time() >= deadline)):
                task.cancel()
                pending.discard(task)
                outcomes[n] = ("lost", None) if owners[n].status != "finished" else (
                    "timeout", None)
    return [outcome or task.result() for outcome, task in zip(outcomes, tasks)]


class ShardedCollection:
    """A collection split over N Collection shards, each owned by a Dask actor.

    Obtain one with ``ShardedCollection.open_or_create`` or ``open``; see the
    module's docstring for routing, the merge and failure handling."""

    def __init__(self, client, path, manifest, workers, timeout):
        self._client = client
        self._path = os.fspath(path)
        self._manifest = manifest
        self._pins = workers
        self._timeout = timeout
        self._futures = [None] * manifest["shards"]
        self._actors = [None] * manifest["shards"]
        self._lock = threading.Lock()
        self._closed = False

    # -- creating and reopening ---------------------------------------------

    @classmethod
    def open_or_create(cls, client, path, dimension, metric, shards=None, *,
                       workers=None, timeout=None):
        """Open the sharded collection at `path`, or create one of `shards` shards.

        `shards` defaults to the stored count, or to the number of workers for a
        new collection. `workers` optionally pins shard i to workers[i] (an
        address, host name or worker name); `timeout` (seconds) bounds every
        wait for the cluster."""
        path = os.fspath(path)
        dimension = operator.index(dimension)
        if dimension < 0:
            raise OverflowError("argument 'dimension': can't convert negative int to unsigned")
        if metric not in METRICS:
            raise ValueError("Invalid metric")
        if shards is None:
            try:
                shards = cls._fetch_manifest(client, path, workers, timeout)["shards"]
            except OSError:
                shards = len(client.scheduler_info()["workers"])
        shards = operator.index(shards)
        if shards < 1:
            raise ValueError("shards must be at least 1")
        manifest = {"format": 1, "shards": shards, "dimension": dimension,
                    "metric": metric, "routing": ROUTING}
        return cls._start(client, path, manifest, workers, timeout, create=True)

    @classmethod
    def open(cls, client, path, *, workers=None, timeout=None):
        """Reopen an existing sharded collection with its stored settings."""
        path = os.fspath(path)
        manifest = cls._fetch_manifest(client, path, workers, timeout)
        return cls._start(client, path, manifest, workers, timeout, create=False)

    @staticmethod
    def _fetch_manifest(client, path, workers, timeout):
        future = client.submit(_read_manifest, path, pure=False,
                               workers=None if workers is None else [workers[0]])
        return future.result(timeout=timeout)

    @classmethod
    def _start(cls, client, path, manifest, workers, timeout, create):
        if workers is not None and len(workers) != manifest["shards"]:
            raise ValueError(f"workers has {len(workers)} entries for "
                             f"{manifest['shards']} shards")
        collection = cls(client, path, manifest, workers, timeout)
        try:
            collection._place(range(manifest["shards"]), create)
        except BaseException:
            collection.close()  # the shards that did open let go of their directories
            raise
        return collection

    def _place(self, shards, create):
        """Start the actors of `shards` and wait until each has opened its
        directory; on failure, raise the first shard's error."""
        live = sorted(self._client.scheduler_info()["workers"])
        load = {w: 0 for w in live}
        for i, actor in enumerate(self._actors):
            if actor is not None and i not in shards and actor._address in load:
                load[actor._address] += 1
        for i in shards:
            if self._pins is not None:
                target = self._pins[i]
            elif live:
                target = min(live, key=lambda w: (load[w], w))
                load[target] += 1
            else:
                target = None
            if self._futures[i] is not None:
                self._futures[i].release()
            self._actors[i] = None
            self._futures[i] = self._client.submit(
                _Shard, self._path, i, self._manifest, create, actor=True, pure=False,
                key=f"tarnvault-shard-{i}-{uuid.uuid4().hex}",
                workers=None if target is None else [target], allow_other_workers=False)
        failures = []
        for i in shards:
            try:
                self._actors[i] = self._futures[i].result(timeout=self._timeout)
            except Exception as error:  # noqa: BLE001
                failures.append((i, error))
        if failures:
            for i, _ in failures:
                self._futures[i].release()
                self._futures[i] = None
            i, error = failures[0]
            if isinstance(error, (OSError, ValueError)) and not _is_timeout(error):
                error.add_note(f"while opening shard {i} ({_shard_path(self._path, i)})")
                raise error
            raise ShardUnavailableError(i, _shard_path(self._path, i),
                                        f"no worker could open it ({error!r})") from error

    def reconnect(self):
        """Re-create the actors of shards whose worker was lost; returns their numbers."""
        self._check_open()
        with self._lock:
            lost = [i for i, f in enumerate(self._futures) if f is None or f.status != "finished"]
            if lost:
                self._place(lost, create=False)
            return lost

    # -- calling the shards ---------------------------------------------------

    def _call(self, calls):
        """Run {shard: (method, args)} on the shards in parallel; their results
        by shard. Raises the first shard's failure once every shard has ended."""
        self.reconnect()
        futures = {}
        failures = {}
        for i, (method, args) in calls.items():
            try:
                futures[i] = getattr(self._actors[i], method)(*args)
            except ValueError as error:  # Dask: "Worker holding Actor was lost"
                failures[i] = self._unavailable(i, error)
        shards = list(futures)
        settled = self._client.sync(_gather, [futures[i] for i in shards],
                                    [self._futures[i] for i in shards], self._timeout)
        results = {}
        for i, (outcome, value) in zip(shards, settled):
            if outcome == "ok":
                results[i] = value
            elif outcome == "timeout":
                failures[i] = TimeoutError(
                    f"shard {i} ({_shard_path(self._path, i)}) did not answer within "
                    f"{self._timeout} s")
            elif outcome == "lost" or self._lost(i, value):
                failures[i] = self._unavailable(i, value)
            else:
                value.add_note(f"on shard {i} ({_shard_path(self._path, i)})")
                failures[i] = value
        if failures:
            raise failures[min(failures)]
        return results

    def _lost(self, shard, error):
        # The actor's future leaves "finished" once the scheduler sees its worker
        # go; before that, Dask reports the broken connection as this OSError.
        return (self._futures[shard].status != "finished"
                or (isinstance(error, OSError) and "Unable to contact Actor" in str(error)))

    def _unavailable(self, shard, error):
        error = ShardUnavailableError(
            shard, _shard_path(self._path, shard),
            f"its worker {self._actors[shard]._address} was lost"
            + ("" if error is None else f" ({error})") + "; the next call re-creates it")
        return error

    def _all(self, method, *args):
        return self._call({i: (method, args) for i in range(self.shards)})

    def _check_open(self):
        if self._closed:
            raise ValueError("collection is closed")

    # -- the collection's surface ---------------------------------------------

    @property
    def shards(self):
        """Number of shards."""
        return self._manifest["shards"]

    @property
    def dimension(self):
        return self._manifest["dimension"]

    @property
    def metric(self):
        return self._manifest["metric"]

    @property
    def placement(self):
        """Address of the worker holding each shard's actor (None while lost)."""
        return [None if a is None else a._address for a in self._actors]

    def insert(self, id, vector, *, payload=None):
        """Insert (or replace) one vector; it goes to shard ``shard_of(id)``."""
        self._check_open()
        id = _as_id(id)
        vector = np.asarray(vector, dtype=np.float32)
        options = {} if payload is None else {"payload": payload}
        self._call({self._shard_of(id): ("insert", (id, vector, options))})

    def insert_batch(self, ids, vectors, *, payloads=None):
        """Insert pairs, one message per shard. The arguments are checked whole
        before anything is sent; a failure on a shard (a payload it refuses, a
        disk error) may leave any subset of the pairs stored, each shard
        keeping a prefix of its part."""
        self._check_open()
        ids = _as_ids(ids)
        vectors = _as_rows(vectors, self.dimension, "vectors")
        if len(ids) != len(vectors):
            raise ValueError("ids and vectors must have the same length")
        if payloads is not None:
            payloads = list(payloads)
            if len(payloads) != len(ids):
                raise ValueError("ids and payloads must have the same length")
        for row in (vectors if isinstance(vectors, list) else vectors[:1]):
            if len(row) != self.dimension:
                raise ValueError(f"dimension mismatch: expected {self.dimension}, "
                                 f"got {len(row)}")
        vectors = np.asarray(vectors)
        calls = {}
        for shard, part in self._route(ids):
            options = {} if payloads is None else {"payloads": [payloads[j] for j in part]}
            calls[shard] = ("insert_batch", (ids[part], vectors[part], options))
        self._call(calls)

    def delete(self, id):
        """Remove an id; True when it was present."""
        self._check_open()
        id = _as_id(id)
        return bool(self._call({self._shard_of(id): ("delete_batch", ([id],))}).popitem()[1])

    def delete_batch(self, ids):
        """Remove ids, one message per shard; the number that were present."""
        self._check_open()
        ids = _as_ids(ids)
        return sum(self._call({shard: ("delete_batch", (ids[part],))
                               for shard, part in self._route(ids)}).values())

    def get(self, id):
        """(vector, payload) of an id, or None when it is absent."""
        self._check_open()
        id = _as_id(id)
        return self._call({self._shard_of(id): ("get", (id,))}).popitem()[1]

    def __contains__(self, id):
        self._check_open()
        id = operator.index(id)
        if not 0 <= id <= MAX_ID:
            return False
        return self._call({self._shard_of(id): ("contains", (id,))}).popitem()[1]

    def ids(self):
        """Every stored id, shard by shard (an order of no other meaning)."""
        parts = self._all("ids")
        return np.concatenate([parts[i] for i in range(self.shards)]).tolist()

    def _shard_of(self, id):
        return int(shard_of(id, self.shards)[0])

    def _route(self, ids):
        """(shard, positions of its ids in order) for every shard that has any."""
        route = shard_of(ids, self.shards)
        order = np.argsort(route, kind="stable")  # keeps each shard's pairs in order
        bounds = np.searchsorted(route[order], np.arange(self.shards + 1))
        return [(i, order[bounds[i]:bounds[i + 1]]) for i in range(self.shards)
                if bounds[i] < bounds[i + 1]]

    def search(self, query, k, *, where=None, with_payload=False):
        """The k nearest (id, distance) pairs, nearest first, ties by id; with
        `where`, only vectors whose payload matches; with `with_payload`,
        (id, distance, payload) triples."""
        return self.search_batch([query], k, where=where, with_payload=with_payload)[0]

    def search_batch(self, queries, k, *, where=None, with_payload=False):
        """One result list per query, searched on every shard in parallel."""
        valid, ids, distances, kept, payloads = self._top_k(queries, k, where, with_payload)
        if with_payload:
            merged = [list(zip(i[:c], d[:c], p[:c])) for i, d, p, c in
                      zip(ids.tolist(), distances.tolist(), payloads, kept.tolist())]
        else:
            merged = [list(zip(i[:c], d[:c]))
                      for i, d, c in zip(ids.tolist(), distances.tolist(), kept.tolist())]
        answers = iter(merged)
        return [next(answers) if v else [] for v in valid]

    def query(self, queries, k, *, where=None):
        """(ids, distances): NumPy arrays of shape (n, k), uint64 and float32, row
        i holding query i's results as search_batch orders them; rows with fewer
        than k results are padded with id 2**64-1 and distance +inf. A 1-D
        query counts as one."""
        try:
            single = np.ndim(queries) == 1
        except ValueError:  # rows of different lengths
            single = False
        if single:
            queries = [queries]
        valid, ids, distances, kept, _ = self._top_k(queries, k, where, False)
        k = operator.index(k)
        out_ids = np.full((len(valid), k), MAX_ID, dtype=np.uint64)
        out_distances = np.full((len(valid), k), np.inf, dtype=np.float32)
        rows = np.flatnonzero(valid)
        width = ids.shape[1]
        mask = np.arange(width) < kept[:, None]
        out_ids[rows, :width] = np.where(mask, ids, MAX_ID)
        out_distances[rows, :width] = np.where(mask, distances, np.inf)
        return out_ids, out_distances

    def _top_k(self, queries, k, where, with_payload):
        """Search every shard; returns (valid, ids, distances, kept, payloads):
        which queries had the right length, and for each of those its merged
        results, the first kept[q] of each row being real."""
        self._check_open()
        rows = _as_rows(queries, self.dimension, "queries")
        k = operator.index(k)
        if k < 0:
            raise OverflowError("argument 'k': can't convert negative int to unsigned")
        options = {}
        if where is not None:
            options["where"] = where
        if with_payload:
            options["with_payload"] = True
        valid = np.array([len(r) == self.dimension for r in rows], dtype=bool)
        if k == 0 or not valid.any():
            nothing = np.zeros((int(valid.sum()), 0))
            return (valid, nothing.astype(np.uint64), nothing.astype(np.float32),
                    np.zeros(len(nothing), dtype=np.int64), [[] for _ in nothing])
        sent = np.asarray(rows if valid.all() else [r for r, v in zip(rows, valid) if v],
                          dtype=np.float32)
        parts = self._all("search_batch", sent, k, options)
        return (valid,) + _merge([parts[i] for i in range(self.shards)], len(sent), k)

    def flush(self):
        """Flush every shard in parallel; returns once all of them are durable."""
        self._check_open()
        self._all("flush")

    def compact(self):
        """Compact every shard in parallel (see ``Collection.compact``): each
        rewrites its data file without its dead records. Returns the sums over
        the shards of ``bytes_before``, ``bytes_after`` and ``records_dropped``,
        and under ``"shards"`` the list of each shard's own dict, by shard
        number. A shard's failure is raised once every shard has ended; the
        others are compacted."""
        self._check_open()
        parts = self._all("compact")
        shards = [parts[i] for i in range(self.shards)]
        total = {key: sum(part[key] for part in shards)
                 for key in ("bytes_before", "bytes_after", "records_dropped")}
        return {**total, "shards": shards}

    def __len__(self):
        self._check_open()
        return sum(self._all("count").values())

    def close(self):
        """Close every shard's collection and release the actors. Idempotent."""
        if self._closed:
            return
        try:
            live = {i: ("close", ()) for i, f in enumerate(self._futures)
                    if f is not None and f.status == "finished"}
            if live:
                self._call_without_reconnect(live)
        finally:
            self._closed = True
            for future in self._futures:
                if future is not None:
                    future.release()
            self._futures = [None] * self.shards
            self._actors = [None] * self.shards

    def _call_without_reconnect(self, calls):
        futures = [getattr(self._actors[i], m)(*a) for i, (m, a) in calls.items()]
        self._client.sync(_gather, futures, [self._futures[i] for i in calls], self._timeout)

    def __enter__(self):
        return self

    def __exit__(self, kind, value, traceback):
        """Flush, then close; the close happens even when the flush fails."""
        try:
            if not self._closed:
                self.flush()
        except Exception:
            if kind is None:
                raise
        finally:
            self.close()

    def __repr__(self):
        state = "closed " if self._closed else ""
        return (f"<{state}ShardedCollection {self._path!r} {self.metric} "
                f"dim={self.dimension} shards={self.shards}>")


def _is_timeout(error):
    return isinstance(error, TimeoutError) or type(error).__name__ == "TimeoutError"


def _merge(parts, n, k):
    """The k best of each query's per-shard results, ascending by (distance,
    id), NaN last; an exact top-k since every shard returned its own k best.
    Returns (ids, distances, kept, payloads): row q's first kept[q] entries
    are results; payloads[q] lists theirs when the shards sent payloads."""
    width = sum(int(counts.max(initial=0)) for counts, *_ in parts)
    ids = np.zeros((n, width), dtype=np.uint64)
    distances = np.zeros((n, width), dtype=np.float32)
    empty = np.ones((n, width), dtype=bool)
    origin = np.zeros((n, width), dtype=np.int64)  # place in the shards' results, end to end
    column = offset = 0
    for counts, shard_ids, shard_distances, _ in parts:
        if len(shard_ids) == 0:
            continue
        rows = np.repeat(np.arange(n), counts)
        starts = np.cumsum(counts) - counts
        places = column + np.arange(len(shard_ids)) - np.repeat(starts, counts)
        ids[rows, places] = shard_ids
        distances[rows, places] = shard_distances
        empty[rows, places] = False
        origin[rows, places] = offset + np.arange(len(shard_ids))
        column += int(counts.max())
        offset += len(shard_ids)
    order = np.lexsort((ids, distances, empty), axis=-1)[:, :k]
    kept = np.minimum(sum(counts for counts, *_ in parts), k)
    payloads = None
    if parts and parts[0][3] is not None:
        every = [p for *_, shard_payloads in parts for p in shard_payloads]
        chosen = np.take_along_axis(origin, order, axis=-1).tolist()
        payloads = [[every[j] for j in chosen[q][:kept[q]]] for q in range(n)]
    return (np.take_along_axis(ids, order, axis=-1),
            np.take_along_axis(distances, order, axis=-1), kept, payloads)
