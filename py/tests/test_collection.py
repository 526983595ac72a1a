import json
import math
import os
import random
import signal
import subprocess
import sys
import time

import pytest

import _tarnvault
from _tarnvault import Collection
from conftest import f32

FILES = ("meta.json", "wal.log", "data.qvf")


def contents(path):
    return {name: (path / name).read_bytes() for name in FILES}


def run_python(code, *args):
    """Runs code in a fresh interpreter that imports the same module."""
    env = dict(os.environ)
    module_dir = os.path.dirname(_tarnvault.__file__)
    env["PYTHONPATH"] = os.pathsep.join([module_dir, env.get("PYTHONPATH", "")])
    return subprocess.Popen([sys.executable, "-c", code, *map(str, args)], env=env,
                            stdout=subprocess.PIPE, text=True)


@pytest.fixture
def path(tmp_path):
    return tmp_path / "collection"


def open_collection(path, dimension=2, metric="euclidean"):
    return Collection.open_or_create(str(path), dimension, metric)


# Tests that drop a collection to close it open their own: a fixture would
# keep it alive.
@pytest.fixture
def coll(path):
    return open_collection(path)


# --- surface ---------------------------------------------------------------

def test_module_lists_both_classes_in_order():
    assert _tarnvault.__all__ == ["Index", "Collection"]


@pytest.mark.parametrize("args, kwargs", [((), {}), (("p", 2, "dot"), {}), ((), {"path": "p"})])
def test_calling_the_class_is_refused(args, kwargs):
    with pytest.raises(TypeError) as caught:
        Collection(*args, **kwargs)
    assert caught.value.args == ("No constructor defined for Collection",)


def test_docstrings_and_signatures():
    assert Collection.__doc__ == (
        "Persistent vector collection backed by disk storage.\n\n"
        "Stores vectors and metadata on disk with WAL (Write-Ahead Log) protection\n"
        "for durability. Supports crash recovery.")
    assert Collection.open_or_create.__text_signature__ == (
        "(path, dimension, metric, *, sync='batched')")
    assert '    metric (str): Distance metric ("cosine", "euclidean", "dot").' in (
        Collection.open_or_create.__doc__.splitlines())
    assert Collection.flush.__text_signature__ == "($self)"
    assert Collection.flush.__doc__ == (
        "Flush all pending writes to disk (checkpoint).\n\n"
        "This ensures all data is durable and truncates the WAL.")
    assert Collection.insert.__doc__.startswith("Insert a vector into the collection.")
    assert Collection.insert_batch.__doc__ == _tarnvault.Index.insert_batch.__doc__
    assert Collection.search_batch.__doc__ == _tarnvault.Index.search_batch.__doc__
    assert [name for name in vars(Collection) if not name.startswith("__")] == [
        "open_or_create", "insert", "search", "flush", "insert_batch", "search_batch", "open",
        "query", "delete", "delete_batch", "get", "ids", "close", "compact", "dimension",
        "metric"]


def test_not_subclassable_and_no_instance_attributes(coll):
    with pytest.raises(TypeError):
        type("Sub", (Collection,), {})
    with pytest.raises(AttributeError):
        coll.extra = 1


@pytest.mark.parametrize("call, message", [
    (lambda: Collection.open_or_create(),
     "Collection.open_or_create() missing 3 required positional arguments: "
     "'path', 'dimension', and 'metric'"),
    (lambda: Collection.open_or_create(1, 2, "dot"),
     "argument 'path': 'int' object cannot be converted to 'PyString'"),
])
def test_binding_errors(call, message):
    with pytest.raises(TypeError) as caught:
        call()
    assert caught.value.args == (message,)
    with pytest.raises(TypeError):
        Collection.insert(object(), 1, [1.0])


def test_bad_metric_creates_nothing(path):
    with pytest.raises(ValueError, match="^Invalid metric$"):
        Collection.open_or_create(str(path), 2, "Cosine")
    assert not path.exists()


def test_open_through_an_instance_and_with_keywords(coll, tmp_path):
    other = coll.open_or_create(metric="dot", dimension=3, path=str(tmp_path / "a" / "b"))
    assert type(other) is Collection
    assert sorted(os.listdir(tmp_path / "a" / "b")) == sorted(FILES)


def test_flush_takes_no_arguments_and_may_repeat(coll):
    with pytest.raises(TypeError):
        coll.flush(1)
    assert coll.flush() is None
    assert coll.flush() is None


# --- writes and search -----------------------------------------------------

def test_insert_search_and_replace(coll):
    coll.insert_batch([1, 2, 2**64 - 1], [[0, 0], [3, 4], [1, 1]])
    coll.insert(2, (6.0, 8.0))  # an id already held is replaced, not refused
    assert coll.search([0, 0], 10) == [(1, 0.0), (2**64 - 1, f32(math.sqrt(2.0))), (2, 10.0)]
    assert coll.search([0, 0, 0], 5) == []
    assert coll.search_batch([[6, 8], [0]], 1) == [[(2, 0.0)], []]


def test_wrong_length_changes_nothing_on_disk(path):
    coll = open_collection(path)
    coll.insert(1, [1, 1])
    coll.flush()
    before = contents(path)
    with pytest.raises(ValueError) as caught:
        coll.insert(1, [1, 2, 3])
    assert caught.value.args == ("dimension mismatch: expected 2, got 3",)
    with pytest.raises(ValueError, match="^ids and vectors must have the same length$"):
        coll.insert_batch([1, 2], [[1, 1]])
    del coll
    assert contents(path) == before


@pytest.mark.parametrize("bad", [float("nan"), float("inf"), -float("inf"), 1e39])
def test_non_finite_components_are_refused_before_logging(path, bad):
    coll = open_collection(path)
    with pytest.raises(ValueError) as caught:
        coll.insert(5, [1.0, bad])
    assert len(caught.value.args) == 1
    assert caught.value.args[0].startswith("WAL corrupted: serialization failed: ")
    del coll
    assert (path / "wal.log").read_bytes() == b""
    assert (path / "data.qvf").read_bytes() == b""


class CallsBack:
    """A vector component whose conversion calls back into the collection."""

    def __init__(self, call):
        self.call = call

    def __float__(self):
        self.call()
        return 1.0


@pytest.mark.parametrize("outer, inner, error", [
    ("insert", "search", "Already mutably borrowed"),
    ("search", "insert", "Already borrowed"),
    ("search", "search", None),
])
def test_reentrant_calls_take_shared_or_exclusive_access(coll, outer, inner, error):
    callback = {"search": lambda: coll.search([0, 0], 1), "insert": lambda: coll.insert(9, [0, 0])}
    vector = [CallsBack(callback[inner]), 0.0]
    call = (lambda: coll.insert(1, vector)) if outer == "insert" else (lambda: coll.search(vector, 1))
    if error is None:
        call()
    else:
        with pytest.raises(RuntimeError, match=f"^{error}$"):
            call()


# --- opening ---------------------------------------------------------------

def test_second_open_is_refused_while_the_first_lives(path):
    coll = open_collection(path)
    with pytest.raises(OSError) as caught:
        Collection.open_or_create(str(path), 2, "euclidean")
    assert type(caught.value) is OSError
    assert caught.value.args == (f"collection error: lock failed: collection at {path} is already open",)
    assert caught.value.errno is None
    del coll
    open_collection(path)


def test_other_dimension_is_an_os_error(path):
    open_collection(path)
    with pytest.raises(OSError) as caught:
        Collection.open_or_create(str(path), 3, "euclidean")
    assert caught.value.args == ("collection error: dimension mismatch: collection has 2, config has 3",)


def test_reopen_in_the_same_process_with_and_without_flush(path):
    coll = open_collection(path)
    coll.insert_batch([1, 2], [[1, 0], [2, 0]])
    del coll  # not flushed: the log is replayed
    coll = Collection.open_or_create(str(path), 2, "dot")
    assert coll.search([1, 0], 5) == [(2, -2.0), (1, -1.0)]
    coll.insert(3, [3, 0])
    coll.flush()
    assert (path / "wal.log").read_bytes() == b""
    assert (path / "meta.json").read_text() == (
        '{\n  "dimension": 2,\n  "metric": "DotProduct",\n  "vector_count": 3,\n  "next_id": 4\n}')
    del coll
    coll = Collection.open_or_create(str(path), 2, "euclidean")
    assert [i for i, _ in coll.search([0, 0], 5)] == [1, 2, 3]


SEARCH_IN_CHILD = """
import json, sys
from _tarnvault import Collection
c = Collection.open_or_create(sys.argv[1], 2, "euclidean")
print(json.dumps(c.search([0.0, 0.0], 100)))
"""


@pytest.mark.parametrize("flush", [False, True])
def test_reopen_in_another_process(path, flush):
    coll = open_collection(path)
    coll.insert_batch(range(50), [[i, 0.5] for i in range(50)])
    if flush:
        coll.flush()
    expected = coll.search([0.0, 0.0], 100)
    del coll
    child = run_python(SEARCH_IN_CHILD, path)
    out, _ = child.communicate(timeout=60)
    assert child.returncode == 0
    assert [tuple(hit) for hit in json.loads(out)] == expected


# --- crashes ---------------------------------------------------------------

# Inserts batches of 100 (each one ends with a log sync) of ids from a start
# id on, flushes every fifth batch, and after each batch appends to the
# progress file the id below which everything is durable, synced. Each
# vector is (id, 1), so its dot-product distance from (1, 0) is -id. After
# 50 batches (some 30 ms) it waits to be killed, which bounds the
# collection's growth.
INSERT_UNTIL_KILLED = """
import os, sys, time
from _tarnvault import Collection
path, progress, next_id = sys.argv[1], sys.argv[2], int(sys.argv[3])
c = Collection.open_or_create(path, 2, "dot")
print("opened", flush=True)
fd = os.open(progress, os.O_WRONLY | os.O_APPEND | os.O_CREAT)
for batch in range(1, 51):
    ids = list(range(next_id, next_id + 100))
    c.insert_batch(ids, [[float(i), 1.0] for i in ids])
    if batch % 5 == 0:
        c.flush()
    next_id += 100
    os.write(fd, b"%d\\n" % next_id)
    os.fsync(fd)
time.sleep(60)
"""


def durable_below(progress):
    if not progress.exists():
        return 0
    lines = progress.read_text().split("\n")[:-1]  # only complete lines
    return int(lines[-1]) if lines else 0


def test_killed_writers_never_lose_synced_inserts(tmp_path):
    path, progress = tmp_path / "collection", tmp_path / "progress"
    rng = random.Random(7)
    durable = 0
    for _ in range(30):
        child = run_python(INSERT_UNTIL_KILLED, path, progress, durable)
        if rng.random() < 0.25:
            time.sleep(rng.uniform(0.0, 0.05))  # in start-up or recovery
        else:
            assert child.stdout.readline() == "opened\n"
            time.sleep(rng.uniform(0.0, 0.03))  # while inserting
        child.send_signal(signal.SIGKILL)
        child.wait()
        durable = max(durable, durable_below(progress))

        coll = Collection.open_or_create(str(path), 2, "dot")
        found = dict(coll.search([1.0, 0.0], 2**63))
        del coll
        assert all(found.get(i) == -i for i in range(durable)), "a synced insert was lost"
        assert all(distance == -i for i, distance in found.items()), "a vector was damaged"
